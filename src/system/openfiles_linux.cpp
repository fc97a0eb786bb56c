// A file's identity comes from what fdinfo tells of each descriptor (its inode and the mount it
// was opened through), never from following the descriptor: that asks the file's file system, and
// one that does not answer (a network mount whose server went away, anywhere) would hold the run.
#include "system/openfiles.h"

#include "system/lackofresources.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QByteArray>
#include <QHash>

namespace
{
using Folder = std::unique_ptr<DIR, int (*)(DIR *)>;

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

// The number on the line `field` begins ("\nino:" of "ino:\t123\n"; fdinfo's first line, "pos:",
// is never asked for), or -1 where the text holds no such line.
long long fieldOf(const QByteArray &text, const char *field)
{
    const int at = text.indexOf(field);
    long long value;
    return at >= 0 && std::sscanf(text.constData() + at + std::strlen(field), "%lld", &value) == 1
               ? value
               : -1;
}

// The device of each mount, by its mount ID, from the mount tables of the processes that use
// them: a mount of another mount namespace is looked up in the table of a process that sees it.
// Pipes, sockets and the like lie on mounts no table shows: they are no file of any tree. Where a
// file system tells its files another device than its mount's (btrfs subvolumes), a file held
// open there is not recognised; the snapshot only stands in where no lease can be had.
using MountDevices = QHash<int, qint64>;

// Each line: mount ID, parent ID, major:minor, ...
void readMounts(MountDevices &devices, int proc, const char *table)
{
    for (const QByteArray &line : readProcFile(proc, table).split('\n')) {
        int id;
        unsigned major, minor;
        if (std::sscanf(line.constData(), "%d %*d %u:%u", &id, &major, &minor) == 3)
            devices.insert(id, qint64(makedev(major, minor)));
    }
}

// -1 where the mount is none of a folder tree; a mount not known is looked up once.
qint64 deviceOf(MountDevices &devices, int mountId, int proc, const char *process)
{
    const auto known = devices.constFind(mountId);
    if (known != devices.constEnd())
        return *known;
    readMounts(devices, proc, (QByteArray(process) + "/mountinfo").constData());
    return *devices.insert(mountId, devices.value(mountId, -1));
}

// False where the system does not tell the descriptor's inode.
bool addOpenFile(const QByteArray &info, QSet<FileId> &files, MountDevices &mounts, int proc,
                 const char *process)
{
    const long long inode = fieldOf(info, "\nino:");
    const long long mount = fieldOf(info, "\nmnt_id:");
    const qint64 device = mount < 0 ? -1 : deviceOf(mounts, int(mount), proc, process);
    if (device >= 0 && inode >= 0)
        files.insert(FileId{quint64(device), quint64(inode)});
    return inode >= 0;
}

// False when the look failed for lack of resources, or the system does not tell a descriptor's
// inode: a process that ended meanwhile, or one this program may not inspect, is simply not
// seen. A process's descriptors are listed one by one, not at once, and one moved to another
// number meanwhile (as a shell moves one aside while a command it starts runs) may be missed: the
// process is read again until a listing agrees with the one before and nothing it named was gone
// when read; ten readings at most, what any of them found counted.
bool addOpenFilesOfProcess(int proc, const char *process, QSet<FileId> &files, MountDevices &mounts)
{
    const QByteArray folder = "/proc/" + QByteArray(process) + "/fdinfo";
    const Folder stream(::opendir(folder.constData()), ::closedir);
    if (!stream)
        return !isLackOfResources(errno);
    const int handles = ::dirfd(stream.get());
    bool whole = true;
    bool nothingGone = false;
    QList<QByteArray> before;
    for (int reading = 0; reading < 10; ++reading) {
        QList<QByteArray> names;
        ::rewinddir(stream.get());
        errno = 0;
        while (const struct dirent *entry = ::readdir(stream.get())) {
            if (entry->d_name[0] != '.')
                names.append(entry->d_name);
        }
        whole = whole && !isLackOfResources(errno);
        if (nothingGone && names == before)
            break;
        nothingGone = true;
        for (const QByteArray &name : names) {
            const QByteArray info = readProcFile(handles, name.constData(), Read::Beginning);
            nothingGone = nothingGone && !(info.isEmpty() && errno == ENOENT);
            whole = (info.isEmpty() ? !isLackOfResources(errno)
                                    : addOpenFile(info, files, mounts, proc, process)) &&
                    whole;
        }
        before = names;
    }
    return whole;
}
} // namespace

FilesHeldOpen FilesHeldOpen::snapshot()
{
    FilesHeldOpen held;
    for (const int handle : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat status;
        if (::fstat(handle, &status) == 0 && S_ISREG(status.st_mode))
            held.ids.insert(fileIdOf(status));
    }
    const Folder proc(::opendir("/proc"), ::closedir);
    if (!proc) {
        held.complete = false;
        return held;
    }
    const int at = ::dirfd(proc.get());
    try {
        MountDevices mounts;
        readMounts(mounts, at, "self/mountinfo");
        const QByteArray self = QByteArray::number(qint64(::getpid()));
        errno = 0;
        while (const struct dirent *entry = ::readdir(proc.get())) {
            const char *name = entry->d_name; // a process's folder: digits alone
            if (*name && !name[std::strspn(name, "0123456789")] && self != name)
                held.complete = addOpenFilesOfProcess(at, name, held.ids, mounts) && held.complete;
            errno = 0;
        }
        held.complete = held.complete && errno == 0;
    } catch (const std::bad_alloc &) {
        held.complete = false;
    }
    return held;
}
