// Each subfolder is opened below its parent's handle, never through a symbolic link, so a folder
// swapped for a link while the walk goes on leads nowhere outside the tree.
#include "walk/walk.h"

#include "jobfile/namepatterns.h"
#include "system/lackofresources.h"
#include "system/stopsignals.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <new>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <vector>

namespace
{
// Signals do not restart what they interrupt (the console's write must give up on a stop): any
// other call they interrupt is made again, but the opening of a folder to walk into.
template <typename Call> long again(Call call)
{
    long result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

// Well below the usual limit of 1,024 descriptors per process.
constexpr int folderHandlesAtMost = 32;
constexpr std::size_t openAncestorsKept = 12;
// Left to the libraries (and, under test, the sanitizers), which open files of their own now and
// then, and to the place check and the removal, which hold two for a moment.
constexpr int descriptorsLeftFree = 4;

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
// A folder's way is only looked at, never opened, and never leaves the tree.
constexpr int stepFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr quint64 stepResolve =
    RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV | RESOLVE_NO_MAGICLINKS;

constexpr int openFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// A file reached by O_PATH, opened for real through that handle, never by its name again.
int reopened(int reached)
{
    char name[32];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", reached);
    return ::open(name, openFlags);
}

// The descriptor numbers free now: a descriptor must lie below the process's limit, so those
// open below it are taken (an inherited one above it takes none).
int freeDescriptors()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= rlim_t(INT_MAX))
        return INT_MAX;
    const int below = int(limit.rlim_cur);
    int open = 0;
    DIR *descriptors = ::opendir("/proc/self/fd");
    if (!descriptors)
        return errno == ENOENT ? INT_MAX : 0;
    while (const struct dirent *entry = ::readdir(descriptors)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) < below)
            ++open;
    }
    ::closedir(descriptors);
    return below - (open - 1); // the listing's own is not counted
}

// -1 with errno; ENOSYS where openat2 is not to be had: a kernel without it, or a system-call
// filter that does not know it, answers so in several ways. The caller then resolves by itself.
int openat2(int at, const char *name, int flags, quint64 resolve)
{
    struct open_how how = {};
    how.flags = quint64(flags);
    how.resolve = resolve;
    const int opened = int(::syscall(SYS_openat2, at, name, &how, sizeof how));
    if (opened < 0 && (errno == EPERM || errno == EINVAL || errno == E2BIG))
        errno = ENOSYS;
    return opened;
}

// Where openat2 is missing: a folder opened below `at`, never onto another mount (errno EXDEV).
int openOnMount(int at, const char *name, int flags)
{
    const int folder = ::openat(at, name, flags);
    if (folder >= 0 && isMountPoint(at, QByteArray(), folder, QByteArray())) {
        ::close(folder);
        errno = EXDEV;
        return -1;
    }
    return folder;
}

int openSubfolder(int parent, const char *name)
{
    const int folder = openat2(parent, name, folderFlags, RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS);
    return folder >= 0 || errno != ENOSYS ? folder : openOnMount(parent, name, folderFlags);
}

FileId idOfHandle(int handle)
{
    struct stat status;
    return ::fstat(handle, &status) == 0 ? fileIdOf(status) : FileId();
}

// Where a stretch of the way that begins at `from` ends: at the last '/' within `most` bytes, or
// after the first name where that name alone is longer.
int stretchEnd(const QByteArray &way, int from, int most)
{
    if (way.size() - from <= most)
        return way.size();
    int to = way.lastIndexOf('/', from + most);
    if (to <= from)
        to = way.indexOf('/', from + most);
    return to < 0 ? way.size() : to;
}

// The folder the way below the root leads to (the root itself for an empty way), as a handle that
// opens nothing; -1 with errno set when it leads through a link, onto another mount or nowhere.
// openat2 resolves it beneath the root a stretch at a time, so that a way longer than the system
// resolves at once (a tree deeper than the path limit) holds at most two handles; where openat2
// is missing, each name is opened below the last.
int resolveWay(int root, const QByteArray &below)
{
    bool byName = false;
    int at = root;
    for (int from = 0; from < below.size();) {
        const int to = stretchEnd(below, from, byName ? 0 : 2048);
        const QByteArray names = below.mid(from, to - from);
        const char *name = names.constData();
        const int next = int(again([&] {
            return byName ? openOnMount(at, name, stepFlags)
                          : openat2(at, name, stepFlags, stepResolve);
        }));
        if (next < 0 && errno == ENOSYS && !byName) {
            byName = true;
            continue;
        }
        const int error = errno;
        if (at != root)
            ::close(at);
        errno = error;
        if (next < 0)
            return -1;
        at = next;
        from = to + 1;
    }
    return at;
}

FolderOutcome leadsTo(int root, const QByteArray &below, const FileId &id)
{
    const int found = resolveWay(root, below);
    if (found < 0)
        return isLackOfResources(errno) ? FolderOutcome::NotListed : FolderOutcome::Moved;
    const bool same = idOfHandle(found) == id;
    if (found != root)
        ::close(found);
    return same ? FolderOutcome::Listed : FolderOutcome::Moved;
}

bool rootStillAt(const QByteArray &rootPath, const FileId &rootId)
{
    struct stat status;
    return again([&] { return ::stat(rootPath.constData(), &status); }) == 0 &&
           fileIdOf(status) == rootId;
}

// The entry's type as the listing gives it, asked for where it gives none (DT_UNKNOWN).
unsigned char kindOf(int folder, const char *name, unsigned char type)
{
    struct stat status;
    if (type == DT_UNKNOWN && ::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) == 0)
        type = IFTODT(status.st_mode);
    return type;
}

// A folder that is gone from its place, or is no folder there any more (a link or a file took
// its name), has vanished as far as the walk is concerned.
PassedOverReason passedOverFor(int error)
{
    if (error == EXDEV)
        return PassedOverReason::OtherMount;
    return error == ENOENT || error == ENOTDIR || error == ELOOP ? PassedOverReason::Gone
                                                                 : PassedOverReason::NotReadable;
}

bool leadsToFolder(int folder, const char *name)
{
    struct stat status;
    return ::fstatat(folder, name, &status, 0) == 0 && S_ISDIR(status.st_mode);
}

// One read of a folder: the matching files (and links) and the subfolders, each sorted, hidden
// entries (and so "." and "..") left out; with `passed`, what a verbose run names of the rest. 0,
// or the errno of a listing that failed or was stopped (EINTR).
int listFolder(int folder, const NamePatterns &patterns, std::vector<char> &buffer, NameList &files,
               NameList &folders, QVector<PassedOverName> *passed)
{
    ssize_t filled;
    while ((filled = ::getdents64(folder, buffer.data(), buffer.size())) > 0) {
        for (ssize_t at = 0; at < filled;) {
            const auto *entry = reinterpret_cast<const struct dirent64 *>(buffer.data() + at);
            at += entry->d_reclen;
            const char *name = entry->d_name;
            const bool hidden = name[0] == '.';
            if (hidden && (!passed || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0))
                continue;
            const int length = int(std::strlen(name));
            const unsigned char kind = kindOf(folder, name, entry->d_type);
            const bool matches = (kind == DT_REG || kind == DT_LNK) &&
                                 patterns.matches(QByteArray::fromRawData(name, length));
            // A hidden entry a verbose run names: a folder (or a link to one), or a file whose name
            // matches, which the operator may have expected to go.
            if (hidden) {
                if (kind == DT_DIR || matches || (kind == DT_LNK && leadsToFolder(folder, name)))
                    passed->append({QByteArray(name, length), PassedOverReason::Hidden});
            } else if (kind == DT_DIR) {
                folders.append(name, length, false);
            } else if (matches) {
                files.append(name, length, kind == DT_LNK);
            }
            if (passed && !hidden && kind == DT_LNK && leadsToFolder(folder, name))
                passed->append({QByteArray(name, length), PassedOverReason::LinkToFolder});
        }
        if (stopRequested())
            return EINTR;
    }
    if (filled < 0)
        return errno;
    files.sort();
    folders.sort();
    return 0;
}

// Where SIGIO cannot be had for the watch, every removal reads the reports. Another program opening
// a file the run holds a lease on also sends SIGIO: one read more.
std::atomic<bool> reportAnnounced{true};
bool alwaysRead = false;

void announceReport(int)
{
    reportAnnounced.store(true, std::memory_order_relaxed);
}

int startWatching()
{
    const int watcher = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    struct sigaction announce = {};
    announce.sa_handler = announceReport;
    announce.sa_flags = SA_RESTART;
    if (watcher >= 0 && !(::sigaction(SIGIO, &announce, nullptr) == 0 &&
                          ::fcntl(watcher, F_SETOWN, ::getpid()) == 0 &&
                          ::fcntl(watcher, F_SETFL, O_NONBLOCK | O_ASYNC) == 0))
        alwaysRead = true;
    return watcher;
}

// A watched folder reports its own move or deletion, and a folder moved out of it: the folder in
// hand is watched through its parent (the root, whose parent lies outside the tree, itself). A
// folder on the way can be deleted, or have another renamed over it, only once it is empty, so no
// file of it can go by then; and the sweep's own removals report nothing.
constexpr uint32_t wayChanges = IN_MOVE_SELF | IN_DELETE_SELF | IN_MOVED_FROM;

// Without a watch (no inotify, no room for more watches) a folder's place is checked by time alone.
int watchFolder(int watcher, int handle)
{
    if (watcher < 0)
        return -1;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", handle);
    return ::inotify_add_watch(watcher, path, wayChanges | IN_ONLYDIR);
}

// Another run removing the same file holds it open for a moment, and a program that has just let
// go of a file may have a child that closes its copy a moment later: a refused file is tried
// again, after growing pauses drawn at random (so that two runs that meet there part). The wait
// is the run's, so that files kept open cannot hold it for hours, and counted in pauses asked
// for, so a busy machine gets as many tries as an idle one.
int leaseWaitLeftMs = 2000;

int pauseBeforeTryingAgain(int tried)
{
    static unsigned state = unsigned(::getpid());
    state = state * 1103515245u + 12345u;
    const long pausedNs = long(500000 + (state >> 8) % 1500000) << std::min(tried, 5);
    // A report of a move (SIGIO) does not cut the pause short; a stop does.
    struct timespec pause = {pausedNs / 1000000000, pausedNs % 1000000000};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR && !stopRequested()) {
    }
    return int(pausedNs / 1000000) + 1;
}
} // namespace

QString decodedName(const QByteArray &name)
{
    return QFile::decodeName(name);
}

struct FolderWalk::State {
    State(FolderWalk &walk, int spare)
        : walk(walk), rootPath(QFile::encodeName(walk.path)),
          handlesAtMost(std::min(folderHandlesAtMost, spare)),
          watcher(spare > folderHandlesAtMost ? startWatching() : -1)
    {
    }
    ~State()
    {
        for (Level &level : walk.levels)
            close(level.handle);
        if (watcher >= 0)
            ::close(watcher);
    }

    FolderWalk &walk;
    const QByteArray rootPath;
    QByteArray below; // the way from the root to the folder entered last
    const int handlesAtMost;
    // Taken only where a descriptor is to spare beyond the walk's own: short of them, the walk
    // keeps its room and the place is checked by time alone.
    const int watcher;
    int handlesHeld = 0;
    std::size_t watched = 0;  // the levels from the root down whose watch was asked for
    std::vector<char> buffer; // made when first needed: there may be no memory for it

    int open(int parent, const char *name);
    const Folder *openAndEnter(int parent, const char *name);
    const Folder *notListed();
    void close(int &handle);
    const Folder *enter(int handle);
    void climbInto(std::size_t at);
    void watchWay(std::size_t upTo);
};

FolderWalk::FolderWalk(const QString &rootPath, const NamePatterns &patterns, bool namesPassedOver)
    : patterns(patterns), path(rootPath),
      state(new State(*this, freeDescriptors() - descriptorsLeftFree)),
      namesPassedOver(namesPassedOver)
{
    folder.rootPath = state->rootPath;
    folder.moveWatch = state->watcher;
    folder.walk = this;
}

FolderWalk::~FolderWalk() = default;

// Opens a folder within the bound on handles; without room, gives up the ancestors on the way
// down (all but the folder entered last and `parent`).
int FolderWalk::State::open(int parent, const char *name)
{
    std::vector<Level> &levels = walk.levels;
    const bool full = handlesHeld >= handlesAtMost;
    if (full && !levels.empty())
        watchWay(levels.size() - 1);
    for (std::size_t i = 1; full && i + 1 < levels.size(); ++i) {
        if (levels[i].handle != parent)
            close(levels[i].handle);
    }
    if (handlesHeld >= handlesAtMost) {
        errno = EMFILE;
        return -1;
    }
    const int opened =
        parent == AT_FDCWD ? ::open(name, folderFlags & ~O_NOFOLLOW) : openSubfolder(parent, name);
    handlesHeld += opened >= 0 ? 1 : 0;
    return opened;
}

// A folder not listed leaves no handle of the folder before it to act on.
const Folder *FolderWalk::State::notListed()
{
    Folder &folder = walk.folder;
    folder.outcome = FolderOutcome::NotListed;
    folder.path = walk.path;
    folder.files.clear();
    folder.handle = -1;
    return &folder;
}

const Folder *FolderWalk::State::openAndEnter(int parent, const char *name)
{
    const int handle = open(parent, name);
    const int error = errno;
    if (handle >= 0)
        return enter(handle);
    if (isLackOfResources(error))
        return notListed();
    // Not made again: a file system that answers each try so would hold the run. A stop that
    // interrupted it names nothing; the walk ends next.
    if (error != EINTR || !stopRequested())
        walk.passOver(walk.path, passedOverFor(error));
    return nullptr;
}

void FolderWalk::State::close(int &handle)
{
    if (handle < 0)
        return;
    ::close(handle);
    --handlesHeld;
    handle = -1;
}

// Lists the folder just opened and goes into it; a listing that failed part way is not taken for
// the whole folder.
const Folder *FolderWalk::State::enter(int handle)
{
    Folder &folder = walk.folder;
    NameList subfolders(decodedName);
    int error = 0;
    QVector<PassedOverName> passedNames;
    try {
        folder.files.clear();
        if (buffer.empty())
            buffer.resize(256 * 1024);
        error = listFolder(handle, walk.patterns, buffer, folder.files, subfolders,
                           walk.namesPassedOver ? &passedNames : nullptr);
        if (error == 0 && !passedNames.isEmpty())
            walk.passOver(passedNames);
    } catch (const std::bad_alloc &) {
        error = ENOMEM;
    }
    if (error != 0) {
        close(handle);
        return error == EINTR ? nullptr : notListed();
    }
    const Folder *yielded;
    try {
        yielded = walk.entered(subfolders);
    } catch (const std::bad_alloc &) {
        close(handle);
        throw;
    }
    std::vector<Level> &levels = walk.levels;
    Level &level = levels.back();
    level.handle = folder.handle = handle;
    level.id = folder.id = idOfHandle(handle);
    level.belowLength = below.size();
    folder.below = below;
    folder.rootHandle = levels.front().handle;
    folder.rootId = levels.front().id;
    if (levels.size() > openAncestorsKept + 1) {
        const std::size_t oldest = levels.size() - 1 - openAncestorsKept;
        watchWay(oldest + 1);
        close(levels[oldest].handle);
    }
    return yielded;
}

// A folder is watched by its handle, from the first time a removal asks for moves (a walk that
// removes nothing asks for no watch) or as its handle is given up, and each level before those
// below it: every level not yet watched still holds its handle.
void FolderWalk::State::watchWay(std::size_t upTo)
{
    for (; watched < upTo; ++watched)
        walk.levels[watched].watch = watchFolder(watcher, walk.levels[watched].handle);
}

const Folder *FolderWalk::enterRoot()
{
    return state->openAndEnter(AT_FDCWD, state->rootPath.constData());
}

const Folder *FolderWalk::enterSubfolder(int sub)
{
    const Level &top = levels.back();
    const QByteArray name = top.subfolders.bytesAt(sub);
    QByteArray &below = state->below;
    below.truncate(top.belowLength);
    if (!below.isEmpty())
        below += '/';
    below += name;
    return top.handle < 0 ? state->notListed() : state->openAndEnter(top.handle, name.constData());
}

// Only a parent with subfolders left to go into needs its handle again.
void FolderWalk::leaveLevel()
{
    if (levels.back().watch >= 0)
        ::inotify_rm_watch(state->watcher, levels.back().watch);
    state->close(levels.back().handle);
    levels.pop_back();
    state->watched = std::min(state->watched, levels.size());
    if (levels.empty())
        return;
    const Level &parent = levels.back();
    state->below.truncate(parent.belowLength);
    if (parent.handle < 0 && parent.next < parent.subfolders.size())
        state->climbInto(levels.size() - 1);
}

// Back into the folder at `at`, whose handle was given up: one no longer readable is passed over
// alone; one short of descriptors or memory keeps no handle, and its remaining subfolders are
// yielded as not listed.
void FolderWalk::State::climbInto(std::size_t at)
{
    Level &folder = walk.levels[at];
    const int root = walk.levels.front().handle;
    const int slash = below.lastIndexOf('/');
    const int parent = slash < 0 ? root : resolveWay(root, below.left(slash));
    int handle = parent < 0 ? -1 : open(parent, below.constData() + slash + 1);
    const int error = errno;
    if (parent >= 0 && parent != root)
        ::close(parent);
    if (handle >= 0 && idOfHandle(handle) == folder.id) {
        folder.handle = handle;
    } else if (handle >= 0 || passedOverFor(error) != PassedOverReason::NotReadable) {
        close(handle);
        walk.passOverMoved(at);
    } else if (!isLackOfResources(error)) {
        walk.passOver(walk.path.left(folder.pathLength), PassedOverReason::NotReadable);
        folder.subfolders.clear();
    }
}

// One whose place cannot be checked for lack of descriptors or memory is taken to be in it.
std::size_t FolderWalk::highestMoved(std::size_t moved) const
{
    if (!rootStillAt(state->rootPath, levels.front().id))
        return 0;
    for (std::size_t level = 1; level < moved; ++level) {
        if (leadsTo(levels.front().handle, state->below.left(levels[level].belowLength),
                    levels[level].id) == FolderOutcome::Moved)
            return level;
    }
    return moved;
}

// Every report waiting is read: a move, a deletion or an unmount of a watched folder, a folder
// moved out of one, or reports lost, ask for the place to be checked; a watch ended (a folder
// left), or a file moved out, does not.
bool Folder::reportedMoved() const
{
    if (moveWatch < 0)
        return false;
    walk->state->watchWay(std::max<std::size_t>(1, walk->levels.size() - 1));
    if (!(reportAnnounced.exchange(false, std::memory_order_relaxed) || alwaysRead))
        return false;
    bool moved = false;
    alignas(struct inotify_event) char buffer[4096];
    ssize_t got;
    while ((got = ::read(moveWatch, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + at);
            moved = moved ||
                    (event->mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_UNMOUNT | IN_Q_OVERFLOW)) ||
                    ((event->mask & IN_ISDIR) && (event->mask & IN_MOVED_FROM));
            at += ssize_t(sizeof(struct inotify_event) + event->len);
        }
    }
    return moved;
}

FolderOutcome Folder::place() const
{
    if (!rootStillAt(rootPath, rootId))
        return FolderOutcome::Moved;
    return leadsTo(rootHandle, below, id);
}

// A symbolic link is judged by the file it points to, as the listing lists it as that file; an
// entry listed as a file is never followed: a link put in its place leads nowhere.
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

// An entry listed as a file is opened by its name, never through a link and never blocking: a
// FIFO or a device a hostile rename put in its place in the moment since its status was read is
// let go at once, told apart by its identity. A link, a file the run may not open (not readable to
// it, or leased by another run), and any file asked again after a pause, in which anything may
// have taken its place, are reached by a handle that opens nothing (O_PATH) and checked there; a
// link's end, and a file asked again, are opened through that handle, never by name. Not
// blocking: another run's lease fails the opening (EAGAIN) rather than hold the run. Without /proc
// no snapshot can be taken either, and every file is held. The handle stays open with a lease
// taken (No).
Folder::InUse::InUse(const Folder &folder, const QByteArray &name, bool isLink, const FileId &id)
{
    const auto ask = [&](bool byPath) -> Answer {
        const auto openAs = [&](int flags) {
            return int(again([&] { return ::openat(folder.handle, name.constData(), flags); }));
        };
        const auto changed = [](int error) {
            return error == ENOENT || error == ELOOP || error == ENXIO;
        };
        int reached = byPath ? -1 : openAs(openFlags | O_NOFOLLOW);
        const bool opened = reached >= 0;
        int refused = byPath || opened ? 0 : errno; // why the file itself was not opened
        if (changed(refused))
            return Changed;
        if (!opened)
            reached = openAs(O_PATH | O_CLOEXEC | (isLink ? 0 : O_NOFOLLOW));
        if (reached < 0)
            return changed(errno) ? Changed : Unknown;
        struct stat status;
        Answer found = Changed;
        if (::fstat(reached, &status) == 0 && S_ISREG(status.st_mode) && fileIdOf(status) == id &&
            status.st_nlink > 0) {
            handle = opened ? reached : byPath ? int(again([&] { return reopened(reached); })) : -1;
            refused = byPath && handle < 0 ? errno : refused;
            found = handle >= 0 ? No : refused == EAGAIN ? Yes : Unknown;
        }
        if (reached != handle)
            ::close(reached);
        if (handle < 0 || ::fcntl(handle, F_SETLEASE, F_WRLCK) == 0)
            return found;
        found = errno == EAGAIN ? Yes : Unknown;
        ::close(handle);
        handle = -1;
        return found;
    };
    answer = ask(isLink);
    for (int tried = 0; answer == Yes && leaseWaitLeftMs > 0; ++tried) {
        leaseWaitLeftMs -= pauseBeforeTryingAgain(tried);
        answer = ask(true);
    }
}

// Closing the handle gives the lease up.
Folder::InUse::~InUse()
{
    if (handle >= 0)
        ::close(handle);
}
