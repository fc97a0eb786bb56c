// The snapshot from one pass over /proc/<pid>/fd.
#include "system/openfiles.h"

#include "system/lackofresources.h"

#include <cerrno>
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

// False when the look failed for lack of resources: a process that ended meanwhile, or one this
// program may not inspect, is simply not seen, but a look that fails for lack of descriptors or
// memory leaves the snapshot incomplete.
bool addOpenFilesOfProcess(int proc, const char *process, QSet<FileId> &files)
{
    const QByteArray folder = QByteArray(process) + "/fd";
    const int handles = ::openat(proc, folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handles < 0)
        return !isLackOfResources(errno);
    DIR *stream = ::fdopendir(handles);
    if (!stream) {
        const int error = errno;
        ::close(handles);
        return !isLackOfResources(error);
    }
    bool whole = true;
    errno = 0;
    while (const struct dirent *entry = ::readdir(stream)) {
        if (entry->d_name[0] == '.')
            continue;
        struct stat status;
        if (::fstatat(handles, entry->d_name, &status, 0) == 0) {
            if (S_ISREG(status.st_mode))
                files.insert(fileIdOf(status));
        } else if (isLackOfResources(errno)) {
            whole = false;
        }
        errno = 0;
    }
    whole = whole && !isLackOfResources(errno);
    ::closedir(stream);
    return whole;
}

void addOwnOutput(QSet<FileId> &files)
{
    for (const int handle : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat status;
        if (::fstat(handle, &status) == 0 && S_ISREG(status.st_mode))
            files.insert(fileIdOf(status));
    }
}
} // namespace

FilesHeldOpen FilesHeldOpen::snapshot()
{
    FilesHeldOpen held;
    addOwnOutput(held.ids);
    DIR *proc = ::opendir("/proc");
    if (!proc) {
        held.complete = false;
        return held;
    }
    const QByteArray self = QByteArray::number(qint64(::getpid()));
    errno = 0;
    while (const struct dirent *entry = ::readdir(proc)) {
        if (!isProcessFolder(entry->d_name) || self == entry->d_name)
            continue;
        held.complete =
            addOpenFilesOfProcess(::dirfd(proc), entry->d_name, held.ids) && held.complete;
        errno = 0;
    }
    held.complete = held.complete && errno == 0;
    ::closedir(proc);
    return held;
}
