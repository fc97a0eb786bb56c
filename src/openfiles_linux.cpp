// The snapshot from one pass over /proc/<pid>/fd.
#include "openfiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>

namespace
{
bool isProcessFolder(const char *name)
{
    if (!*name)
        return false;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9')
            return false;
    }
    return true;
}

void addOpenFilesOfProcess(int processFolder, QSet<FileId> &files)
{
    const int handles = ::openat(processFolder, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handles < 0)
        return; // another user's process, or gone
    DIR *stream = ::fdopendir(handles);
    if (!stream) {
        ::close(handles);
        return;
    }
    while (const struct dirent *entry = ::readdir(stream)) {
        if (entry->d_name[0] == '.')
            continue;
        struct stat status;
        if (::fstatat(handles, entry->d_name, &status, 0) == 0 && S_ISREG(status.st_mode))
            files.insert(FileId{quint64(status.st_dev), quint64(status.st_ino)});
    }
    ::closedir(stream);
}

void addOwnOutput(QSet<FileId> &files)
{
    for (const int handle : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat status;
        if (::fstat(handle, &status) == 0 && S_ISREG(status.st_mode))
            files.insert(FileId{quint64(status.st_dev), quint64(status.st_ino)});
    }
}
} // namespace

QSet<FileId> filesHeldOpen()
{
    QSet<FileId> files;
    addOwnOutput(files);
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return files;
    const QByteArray self = QByteArray::number(qint64(::getpid()));
    while (const struct dirent *entry = ::readdir(proc)) {
        if (!isProcessFolder(entry->d_name) || self == entry->d_name)
            continue;
        const int processFolder =
            ::openat(::dirfd(proc), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (processFolder < 0)
            continue;
        addOpenFilesOfProcess(processFolder, files);
        ::close(processFolder);
    }
    ::closedir(proc);
    return files;
}
