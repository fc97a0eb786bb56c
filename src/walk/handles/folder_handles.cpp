// What the sweep does to a folder's entries, relative to the folder's handle. A symbolic link is
// judged by the file it points to, as the listing lists it as that file; an entry listed as a file
// is never followed: a link put in its place leads nowhere.
#include "walk/walk.h"

#include "walk/handles/again.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

bool Folder::readStatus(const QByteArray &name, bool isLink, EntryStatus &status) const
{
    struct statx info;
    if (again([&] {
            return ::statx(handle, name.constData(),
                           (isLink ? 0 : AT_SYMLINK_NOFOLLOW) | AT_STATX_SYNC_AS_STAT,
                           STATX_TYPE | STATX_INO | STATX_BTIME | STATX_CTIME, &info);
        }) != 0) {
        status.error = errno;
        return false;
    }
    if (!S_ISREG(info.stx_mode))
        return false;
    // A birth time of zero is one the file system never recorded (images, old inode formats).
    const bool hasBirth = (info.stx_mask & STATX_BTIME) &&
                          (info.stx_btime.tv_sec != 0 || info.stx_btime.tv_nsec != 0);
    const struct statx_timestamp &time = hasBirth ? info.stx_btime : info.stx_ctime;
    status.createdMs = qint64(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
    status.id =
        FileId{quint64(makedev(info.stx_dev_major, info.stx_dev_minor)), quint64(info.stx_ino)};
    return true;
}

int Folder::remove(const QByteArray &name) const
{
    return again([&] { return ::unlinkat(handle, name.constData(), 0); }) == 0 ? 0 : errno;
}

bool Folder::entryIsThere(const QByteArray &name) const
{
    struct stat status;
    return again([&] {
               return ::fstatat(handle, name.constData(), &status, AT_SYMLINK_NOFOLLOW);
           }) == 0;
}

// Each step is taken from the folder of the step before, by handle, so that a way beyond the
// system's path limit is followed as well as a short one.
QVector<WayStep> Folder::wayOfLink(const QByteArray &name) const
{
    QVector<WayStep> way;
    int at = handle;
    QByteArray current = name;
    char target[PATH_MAX];
    for (int step = 0; step < linksFollowedAtMost; ++step) {
        const ssize_t length = ::readlinkat(at, current.constData(), target, sizeof target);
        if (length <= 0 || size_t(length) >= sizeof target)
            break;
        const QByteArray pointed(target, int(length));
        const int slash = pointed.lastIndexOf('/');
        const QByteArray holder = slash < 0    ? QByteArray(".")
                                  : slash == 0 ? QByteArray("/")
                                               : pointed.left(slash);
        const int next = ::openat(at, holder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (at != handle)
            ::close(at);
        at = next;
        struct stat status;
        if (at < 0 || ::fstat(at, &status) != 0)
            break;
        current = pointed.mid(slash + 1);
        way.append({fileIdOf(status), QString(), current});
    }
    if (at >= 0 && at != handle)
        ::close(at);
    return way;
}

namespace
{
// Another run removing the same file holds it open for a moment, and two runs that meet there
// would each refuse the file because of the other; a program that has just let go of a file may
// still have a child that closes its copy of the descriptor a moment later. A file refused is so
// tried again, after pauses drawn at random (so that two runs part) and growing from a
// millisecond or two. Those two seconds are the whole run's, not each file's: whoever keeps many
// old files open in a swept folder cannot hold the run for hours. They are counted in pauses
// asked for, not in time gone by, so a busy machine gets as many tries as an idle one.
int leaseWaitLeftMs = 2000;

int pauseBeforeTryingAgain(int tried)
{
    static unsigned state = unsigned(::getpid());
    state = state * 1103515245u + 12345u;
    const long pausedNs = long(500000 + (state >> 8) % 1500000) << std::min(tried, 5);
    const struct timespec pause = {pausedNs / 1000000000, pausedNs % 1000000000};
    ::nanosleep(&pause, nullptr);
    return int(pausedNs / 1000000) + 1;
}
} // namespace

// The file judged, reached once (O_PATH: a FIFO or a device put in its place is never opened),
// checked on that handle, and opened through it by /proc (without it, no snapshot can be taken
// either, and every file is held), not blocking: another run's lease on the file cannot hold the
// run (the opening fails with EAGAIN then). The handle stays open with a lease taken (No), else it
// is closed.
Folder::InUse::Answer Folder::InUse::ask(const Folder &folder, const QByteArray &name, bool isLink,
                                         const FileId &id)
{
    const int reached = int(again([&] {
        return ::openat(folder.handle, name.constData(),
                        O_PATH | O_CLOEXEC | (isLink ? 0 : O_NOFOLLOW));
    }));
    if (reached < 0)
        return errno == ENOENT || errno == ELOOP ? Changed : Unknown;
    struct stat status;
    Answer found = Changed;
    if (::fstat(reached, &status) == 0 && S_ISREG(status.st_mode) && fileIdOf(status) == id &&
        status.st_nlink > 0) {
        char path[32];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", reached);
        handle =
            int(again([&] { return ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }));
        found = handle >= 0 ? No : errno == EAGAIN ? Yes : Unknown;
    }
    ::close(reached);
    if (handle < 0 || ::fcntl(handle, F_SETLEASE, F_WRLCK) == 0)
        return found;
    found = errno == EAGAIN ? Yes : Unknown;
    ::close(handle);
    handle = -1;
    return found;
}

Folder::InUse::InUse(const Folder &folder, const QByteArray &name, bool isLink, const FileId &id)
{
    answer = ask(folder, name, isLink, id);
    for (int tried = 0; answer == Yes && leaseWaitLeftMs > 0; ++tried) {
        leaseWaitLeftMs -= pauseBeforeTryingAgain(tried);
        answer = ask(folder, name, isLink, id);
    }
}

// Closing the handle gives the lease up.
Folder::InUse::~InUse()
{
    if (handle >= 0)
        ::close(handle);
}
