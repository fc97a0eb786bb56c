// The entry operations relative to the folder handles the walk opened.
#include "sweep/entryops.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
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
    while (result < 0 && errno == EINTR);
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
#else
    struct stat info;
    if (again([&] { return ::fstatat(handle, name.constData(), &info, follow); }) != 0) {
        status.error = errno;
        return false;
    }
    if (!S_ISREG(info.st_mode))
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

FileOutcome removeEntry(const Folder &folder, const QByteArray &name)
{
    if (again([&] { return ::unlinkat(folder.handle, name.constData(), 0); }) == 0)
        return FileOutcome::Removed;
    return (errno == ENOENT || errno == EISDIR) ? FileOutcome::Gone : FileOutcome::Refused;
}

bool entryIsThere(const Folder &folder, const QByteArray &name)
{
    struct stat status;
    return again([&] {
               return ::fstatat(folder.handle, name.constData(), &status, AT_SYMLINK_NOFOLLOW);
           }) == 0;
}

#ifdef F_SETLEASE
namespace
{
// Another run removing the same file holds it open for a moment, and two runs that meet there
// would each refuse the file because of the other; a program that has just let go of a file may
// still have a child that closes its copy of the descriptor a moment later. A file refused is so
// tried again, after pauses drawn at random (so that two runs part) and growing from a
// millisecond or two: a program that really holds the file still holds it two seconds later.
// Those two seconds are the whole run's, not each file's: whoever keeps many old files open in a
// swept folder cannot hold the run for hours. Once they are spent, a file refused is refused at
// once. They are counted in pauses asked for, not in time gone by, so a busy machine gets as many
// tries as an idle one.
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

// The file judged, reached once: the entry is taken by a handle that opens nothing (O_PATH: a
// FIFO or a device put in its place is never opened, and a link listed is followed once, to its
// end), its kind and identity are checked on that handle, and only then is it opened, through
// that very handle, never by resolving the name again. -1 with the answer where it cannot be.
int openJudged(const Folder &folder, const QByteArray &name, bool isLink, const FileId &id,
               InUse::Answer &answer)
{
    const int reached = int(again([&] {
        return ::openat(folder.handle, name.constData(),
                        O_PATH | O_CLOEXEC | (isLink ? 0 : O_NOFOLLOW));
    }));
    if (reached < 0) {
        answer = errno == ENOENT || errno == ELOOP ? InUse::Changed : InUse::Unknown;
        return -1;
    }
    struct stat status;
    int opened = -1;
    answer = InUse::Changed;
    if (::fstat(reached, &status) == 0 && S_ISREG(status.st_mode) && fileIdOf(status) == id &&
        status.st_nlink > 0) {
        // Not blocking: another run's lease on the file cannot hold the run (the opening fails
        // with EAGAIN then).
        // Through /proc (without it, no snapshot can be taken either, and every file is held).
        char path[32];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", reached);
        opened =
            int(again([&] { return ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }));
        answer = opened >= 0 ? InUse::No : errno == EAGAIN ? InUse::Yes : InUse::Unknown;
    }
    ::close(reached);
    return opened;
}
} // namespace

// The answer for the file as it is opened now; the handle stays open with a lease taken (No),
// else it is closed.
InUse::Answer InUse::ask(const Folder &folder, const QByteArray &name, bool isLink,
                         const FileId &id)
{
    Answer found = Unknown;
    handle = openJudged(folder, name, isLink, id, found);
    if (handle < 0)
        return found;
    if (::fcntl(handle, F_SETLEASE, F_WRLCK) == 0)
        return No;
    found = errno == EAGAIN ? Yes : Unknown;
    ::close(handle);
    handle = -1;
    return found;
}
#endif

InUse::InUse(const Folder &folder, const QByteArray &name, bool isLink, const FileId &id)
{
#ifdef F_SETLEASE
    answer = ask(folder, name, isLink, id);
    for (int tried = 0; answer == Yes && leaseWaitLeftMs > 0; ++tried) {
        leaseWaitLeftMs -= pauseBeforeTryingAgain(tried);
        answer = ask(folder, name, isLink, id);
    }
#else
    Q_UNUSED(folder)
    Q_UNUSED(name)
    Q_UNUSED(isLink)
    Q_UNUSED(id)
#endif
}

// Closing the handle gives the lease up.
InUse::~InUse()
{
    if (handle >= 0)
        ::close(handle);
}

// Each step is taken from the folder of the step before, by handle, so that a way beyond the
// system's path limit is followed as well as a short one.
QVector<WayStep> wayOfLink(const Folder &folder, const QByteArray &name)
{
    QVector<WayStep> way;
    int at = folder.handle;
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
#ifdef O_PATH
        const int next = ::openat(at, holder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
        const int next = ::openat(at, holder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
        if (at != folder.handle)
            ::close(at);
        at = next;
        struct stat status;
        if (at < 0 || ::fstat(at, &status) != 0)
            break;
        current = pointed.mid(slash + 1);
        way.append({fileIdOf(status), QString(), current});
    }
    if (at >= 0 && at != folder.handle)
        ::close(at);
    return way;
}
