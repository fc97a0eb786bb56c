// The entry operations relative to the folder handles the walk opened.
#include "sweep/entryops.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif
#include <unistd.h>

// A symbolic link is judged by the file it points to, as the folder listing lists it as that
// file; only regular files are taken. An entry listed as a file is never followed: a link put in
// its place leads nowhere.
namespace
{
// Signals do not restart what they interrupt (the console's write must give up on a stop); a
// system call on a file that a signal interrupts is made again.
template <typename Call> int again(Call call)
{
    int result;
    do
        result = call();
    while (result != 0 && errno == EINTR);
    return result;
}
} // namespace

bool readStatus(const Folder &folder, const QByteArray &name, bool isLink, EntryStatus &status)
{
    const int handle = folder.handle;
    const int follow = isLink ? 0 : AT_SYMLINK_NOFOLLOW;
#ifdef STATX_BTIME
    struct statx info;
    if (again([&] {
            return ::statx(handle, name.constData(), follow | AT_STATX_SYNC_AS_STAT,
                           STATX_TYPE | STATX_INO | STATX_BTIME | STATX_CTIME, &info);
        }) != 0 ||
        !S_ISREG(info.stx_mode))
        return false;
    // A birth time of zero is one the file system never recorded (images, old inode formats).
    const bool hasBirth = (info.stx_mask & STATX_BTIME) &&
                          (info.stx_btime.tv_sec != 0 || info.stx_btime.tv_nsec != 0);
    const struct statx_timestamp &time = hasBirth ? info.stx_btime : info.stx_ctime;
    status.createdMs = qint64(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
    status.id =
        FileId{quint64(makedev(info.stx_dev_major, info.stx_dev_minor)), quint64(info.stx_ino)};
#else
    struct stat info;
    if (again([&] { return ::fstatat(handle, name.constData(), &info, follow); }) != 0 ||
        !S_ISREG(info.st_mode))
        return false;
#if defined(Q_OS_DARWIN) || defined(Q_OS_FREEBSD) || defined(Q_OS_NETBSD)
    const struct timespec &time = info.st_birthtimespec;
#else
    const struct timespec &time = info.st_ctim;
#endif
    status.createdMs = qint64(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
    status.id = fileIdOf(info);
#endif
    return true;
}

Removal removeEntry(const Folder &folder, const QByteArray &name)
{
    if (again([&] { return ::unlinkat(folder.handle, name.constData(), 0); }) == 0)
        return Removal::Removed;
    return (errno == ENOENT || errno == EISDIR) ? Removal::Vanished : Removal::Refused;
}
