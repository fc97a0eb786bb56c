// The snapshot from one pass over /proc/<pid>/fdinfo. A file's identity is read from what the
// kernel tells of each descriptor (its inode and the mount it was opened through), never by
// following the descriptor to the file: that asks the file's file system, and one that does not
// answer (a network mount whose server went away, anywhere on the machine) would hold the run.
#include "system/openfiles.h"

#include "system/lackofresources.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QByteArray>
#include <QHash>

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

enum class Read { Whole, Beginning };

// A small file of /proc, read whole or only its first page (where the lines looked for stand);
// empty when it cannot be read, with errno telling why.
QByteArray readProcFile(int at, const char *path, Read read = Read::Whole)
{
    const int handle = ::openat(at, path, O_RDONLY | O_CLOEXEC);
    if (handle < 0)
        return QByteArray();
    QByteArray content;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(handle, buffer, sizeof buffer)) > 0) {
        content.append(buffer, int(got));
        if (read == Read::Beginning)
            break;
    }
    const int error = errno;
    ::close(handle);
    errno = got < 0 ? error : 0;
    return content;
}

// The number after `field` ("ino:\t123\n"), or -1 where the text holds no such line.
long long fieldOf(const QByteArray &text, const char *field)
{
    const int at = text.startsWith(field) ? 0 : text.indexOf(QByteArray("\n") + field);
    if (at < 0)
        return -1;
    const char *number = text.constData() + at + (at > 0 ? 1 : 0) + std::strlen(field);
    char *end = nullptr;
    const long long value = std::strtoll(number, &end, 10);
    return end == number ? -1 : value;
}

// The device of each mount, by its mount ID, from the mount tables of the processes that use
// them: a mount of another mount namespace is looked up in the table of a process that sees it.
// Pipes, sockets and the like lie on mounts no table shows: they are no file of any tree. Where a
// file system tells its files another device than its mount's (btrfs subvolumes), a file held
// open there is not recognised; the snapshot only stands in where no lease can be had.
class MountDevices
{
  public:
    // -1 where the mount is none of a folder tree.
    qint64 deviceOf(int mountId, int proc, const char *process)
    {
        const auto known = devices.constFind(mountId);
        if (known != devices.constEnd())
            return *known;
        read((QByteArray(process) + "/mountinfo").constData(), proc);
        return *devices.insert(mountId, devices.value(mountId, -1)); // looked up once
    }
    void readOwn(int proc) { read("self/mountinfo", proc); }

  private:
    // Each line: mount ID, parent ID, major:minor, ...
    void read(const char *table, int proc)
    {
        for (const QByteArray &line : readProcFile(proc, table).split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() < 3)
                continue;
            const QList<QByteArray> device = fields.at(2).split(':');
            bool ok[3] = {};
            const int id = fields.at(0).toInt(&ok[0]);
            const unsigned major = device.value(0).toUInt(&ok[1]);
            const unsigned minor = device.value(1).toUInt(&ok[2]);
            if (ok[0] && ok[1] && ok[2])
                devices.insert(id, qint64(makedev(major, minor)));
        }
    }

    QHash<int, qint64> devices;
};

// False when the look failed for lack of resources, or the system does not tell a descriptor's
// inode: a process that ended meanwhile, or one this program may not inspect, is simply not
// seen.
bool addOpenFilesOfProcess(int proc, const char *process, QSet<FileId> &files, MountDevices &mounts)
{
    const QByteArray folder = QByteArray(process) + "/fdinfo";
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
    try {
        errno = 0;
        while (const struct dirent *entry = ::readdir(stream)) {
            if (entry->d_name[0] == '.')
                continue;
            const QByteArray info = readProcFile(handles, entry->d_name, Read::Beginning);
            if (info.isEmpty()) {
                whole = whole && !isLackOfResources(errno);
            } else {
                const long long inode = fieldOf(info, "ino:");
                const long long mount = fieldOf(info, "mnt_id:");
                const qint64 device = mount < 0 ? -1 : mounts.deviceOf(int(mount), proc, process);
                if (inode < 0)
                    whole = false;
                else if (device >= 0)
                    files.insert(FileId{quint64(device), quint64(inode)});
            }
            errno = 0;
        }
    } catch (const std::bad_alloc &) {
        ::closedir(stream);
        throw;
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
    try {
        MountDevices mounts;
        mounts.readOwn(::dirfd(proc));
        const QByteArray self = QByteArray::number(qint64(::getpid()));
        errno = 0;
        while (const struct dirent *entry = ::readdir(proc)) {
            if (!isProcessFolder(entry->d_name) || self == entry->d_name)
                continue;
            held.complete = addOpenFilesOfProcess(::dirfd(proc), entry->d_name, held.ids, mounts) &&
                            held.complete;
            errno = 0;
        }
        held.complete = held.complete && errno == 0;
    } catch (const std::bad_alloc &) {
        held.complete = false;
    }
    ::closedir(proc);
    return held;
}
