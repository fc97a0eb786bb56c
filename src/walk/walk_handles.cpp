// The walk through folder handles. Each subfolder is opened below the handle of its parent and
// never through a symbolic link, so a folder swapped for a link while the walk goes on leads
// nowhere outside the tree; the sweep judges and removes files relative to their folder's handle.
#include "walk/walk.h"

#include "jobfile/namepatterns.h"
#include "system/lackofresources.h"
#include "system/stopsignals.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <sys/resource.h>
#include <sys/stat.h>
#ifdef Q_OS_LINUX
#include <linux/openat2.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#endif
#include <unistd.h>

#include <vector>

namespace
{
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// The deepest folders on the way down keep their handles; an ancestor above them is opened again
// on the way back, by its way beneath the root's handle, as the place check finds it.
constexpr std::size_t openAncestorsKept = 12;

// The descriptor numbers free now: a descriptor must lie below the process's limit, so those
// open below it are taken (an inherited one above it takes none).
int freeDescriptors()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= rlim_t(INT_MAX))
        return INT_MAX;
    const int below = int(limit.rlim_cur);
    int open = 0;
#ifdef Q_OS_LINUX
    DIR *descriptors = ::opendir("/proc/self/fd");
    if (!descriptors)
        return errno == ENOENT ? INT_MAX : 0;
    while (const struct dirent *entry = ::readdir(descriptors)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) < below)
            ++open;
    }
    ::closedir(descriptors);
    --open; // the listing's own
#endif
    return below - open;
}

// A few descriptors are left to the libraries the program uses (and, under test, the sanitizers),
// which open files of their own now and then, and to the place check and the removal, which
// hold two for a moment.
constexpr int descriptorsLeftFree = 4;

// A subfolder is opened below its parent's handle, never through a symbolic link, and never
// across a mount point. A mount point leaves errno at EXDEV.
int openSubfolder(int parent, const char *name)
{
#if defined(SYS_openat2) && defined(RESOLVE_NO_XDEV)
    struct open_how how = {};
    how.flags = folderFlags;
    how.resolve = RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS;
    const long opened = ::syscall(SYS_openat2, parent, name, &how, sizeof how);
    // A kernel without openat2, or a system-call filter that does not know it, answers so; then
    // the mount check stands in.
    if (opened >= 0 || (errno != ENOSYS && errno != EPERM && errno != EINVAL && errno != E2BIG))
        return int(opened);
#endif
    const int folder = ::openat(parent, name, folderFlags);
    if (folder >= 0 && isMountPoint(parent, QByteArray(), folder, QByteArray())) {
        ::close(folder);
        errno = EXDEV;
        return -1;
    }
    return folder;
}

FileId idOfHandle(int handle)
{
    struct stat status;
    if (::fstat(handle, &status) != 0)
        return FileId();
    return fileIdOf(status);
}

// Signals do not restart what they interrupt (the console's write must give up on a stop); a
// look-up that a signal interrupts is made again.
template <typename Call> long again(Call call)
{
    long result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

// The way below the root, step by step where the system cannot resolve it at once: each name
// opened below the last, never through a link and never onto another mount.
int resolveStepByStep(int root, const QByteArray &below)
{
    int at = root;
    for (const QByteArray &name : below.split('/')) {
        int next = int(again([&] {
            return ::openat(at, name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }));
        if (next >= 0 && isMountPoint(at, QByteArray(), next, QByteArray())) {
            ::close(next);
            next = -1;
        }
        if (at != root)
            ::close(at);
        if (next < 0)
            return -1;
        at = next;
    }
    return at;
}

// The folder that the names lead to below `at`, resolved by the system in one call where it can
// (openat2, beneath `at`); -1 when they lead through a link, onto another mount or nowhere.
int resolveBeneath(int at, const QByteArray &names)
{
#if defined(SYS_openat2) && defined(RESOLVE_BENEATH)
    struct open_how how = {};
    how.flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV | RESOLVE_NO_MAGICLINKS;
    const int found =
        int(again([&] { return ::syscall(SYS_openat2, at, names.constData(), &how, sizeof how); }));
    if (found >= 0 || (errno != ENOSYS && errno != EPERM && errno != EINVAL && errno != E2BIG))
        return found;
#endif
    return resolveStepByStep(at, names);
}

// The folder the way below the root leads to (the root itself for an empty way), as a handle that
// opens nothing; -1 with errno set when it leads through a link, onto another mount or nowhere. A
// way longer than the system resolves at once (a tree deeper than the path limit) is resolved a
// stretch at a time, so that at most two handles are held on the way.
int resolveWay(int root, const QByteArray &below)
{
    constexpr int stretch = 2048;
    int at = root;
    for (int from = 0; from < below.size();) {
        int to = below.size();
        if (to - from > stretch) {
            to = below.lastIndexOf('/', from + stretch);
            if (to <= from)
                to = below.indexOf('/', from + stretch);
            if (to < 0)
                to = below.size();
        }
        const int next = resolveBeneath(at, below.mid(from, to - from));
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

// Whether the names below the root still lead to the folder `id` (Listed), lead elsewhere or
// nowhere (Moved), or could not be followed for lack of descriptors or memory (NotListed).
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

enum class EntryKind { File, Link, Folder, Other };

EntryKind kindOf(int folder, const char *name, unsigned char type)
{
    switch (type) {
    case DT_REG:
        return EntryKind::File;
    case DT_LNK:
        return EntryKind::Link;
    case DT_DIR:
        return EntryKind::Folder;
    case DT_UNKNOWN:
        break;
    default:
        return EntryKind::Other;
    }
    struct stat status;
    if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return EntryKind::Other;
    if (S_ISREG(status.st_mode))
        return EntryKind::File;
    if (S_ISLNK(status.st_mode))
        return EntryKind::Link;
    if (S_ISDIR(status.st_mode))
        return EntryKind::Folder;
    return EntryKind::Other;
}

// Hands every entry of the folder to visit(name, type); 0, or the errno of a listing that failed
// or was stopped (EINTR). On Linux the entries are read straight from the folder's handle, in
// large batches, without a second handle and a stream on it.
template <typename Visit> int readEntries(int folder, std::vector<char> &buffer, Visit visit)
{
#if defined(Q_OS_LINUX) && defined(__GLIBC__)
    for (;;) {
        const ssize_t filled = ::getdents64(folder, buffer.data(), buffer.size());
        if (filled <= 0)
            return filled == 0 ? 0 : errno;
        for (ssize_t at = 0; at < filled;) {
            const auto *entry = reinterpret_cast<const struct dirent64 *>(buffer.data() + at);
            visit(entry->d_name, entry->d_type);
            at += entry->d_reclen;
        }
        if (stopRequested())
            return EINTR;
    }
#else
    Q_UNUSED(buffer)
    const int readHandle = ::dup(folder);
    DIR *stream = readHandle < 0 ? nullptr : ::fdopendir(readHandle);
    if (!stream) {
        const int error = errno;
        if (readHandle >= 0)
            ::close(readHandle);
        return error;
    }
    errno = 0;
    while (const struct dirent *entry = ::readdir(stream))
        visit(entry->d_name, entry->d_type);
    const int error = errno;
    ::closedir(stream);
    return error;
#endif
}

QString decodeName(const QByteArray &name)
{
    return QFile::decodeName(name);
}

bool leadsToFolder(int folder, const char *name)
{
    struct stat status;
    return ::fstatat(folder, name, &status, 0) == 0 && S_ISDIR(status.st_mode);
}

// A hidden entry that a verbose run names: a folder (or a link to one), or a file whose name
// matches, which the operator may have expected to go.
void nameHidden(int folder, const char *name, unsigned char type, const NamePatterns &patterns,
                QVector<PassedOverName> &passed)
{
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return;
    const QByteArray bytes(name);
    const EntryKind kind = kindOf(folder, name, type);
    if (kind == EntryKind::Folder ||
        ((kind == EntryKind::File || kind == EntryKind::Link) && patterns.matches(bytes)) ||
        (kind == EntryKind::Link && leadsToFolder(folder, name)))
        passed.append({bytes, PassedOverReason::Hidden});
}

// One read of a folder: the files (and links) whose names match, and the subfolders; hidden
// entries (and so "." and "..") left out. With `passed`, also what a verbose run names of what
// the listing passes over: hidden entries and links to folders. 0, or the errno of a listing
// that failed.
int listFolder(int folder, const NamePatterns &patterns, std::vector<char> &buffer, NameList &files,
               NameList &folders, QVector<PassedOverName> *passed)
{
    const int error = readEntries(folder, buffer, [&](const char *name, unsigned char type) {
        if (name[0] == '.') {
            if (passed)
                nameHidden(folder, name, type, patterns, *passed);
            return;
        }
        const int length = int(std::strlen(name));
        const EntryKind kind = kindOf(folder, name, type);
        if (kind == EntryKind::Folder)
            folders.append(name, length, false);
        else if ((kind == EntryKind::File || kind == EntryKind::Link) &&
                 patterns.matches(QByteArray::fromRawData(name, length)))
            files.append(name, length, kind == EntryKind::Link);
        if (passed && kind == EntryKind::Link && leadsToFolder(folder, name))
            passed->append({QByteArray(name, length), PassedOverReason::LinkToFolder});
    });
    files.sort();
    folders.sort();
    return error;
}

// The folders on the way down are watched for moves (Linux: inotify), as they are entered, by
// their handles; a folder left is no longer watched. Without a watch (no inotify, no room for
// more watches) a folder's place is checked by time alone.
//
// The system announces each report with SIGIO, sent by the very call that made it (a rename),
// to this process before that call returns: a removal reads the reports only once one was
// announced, and otherwise makes no system call for them. Where the signal cannot be had for
// it, every removal reads them. Another program opening a file the run holds a lease on also
// sends SIGIO: one read more.
std::atomic<bool> reportAnnounced{true};
bool alwaysRead = false;

void announceReport(int)
{
    reportAnnounced.store(true, std::memory_order_relaxed);
}

int startWatching()
{
#ifdef Q_OS_LINUX
    const int watcher = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    struct sigaction announce = {};
    announce.sa_handler = announceReport;
    announce.sa_flags = SA_RESTART;
    if (watcher >= 0 && !(::sigaction(SIGIO, &announce, nullptr) == 0 &&
                          ::fcntl(watcher, F_SETOWN, ::getpid()) == 0 &&
                          ::fcntl(watcher, F_SETFL, O_NONBLOCK | O_ASYNC) == 0))
        alwaysRead = true;
    return watcher;
#else
    return -1;
#endif
}

int watchFolder(int watcher, int handle)
{
#ifdef Q_OS_LINUX
    if (watcher < 0)
        return -1;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", handle);
    return ::inotify_add_watch(watcher, path, IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR);
#else
    Q_UNUSED(watcher)
    Q_UNUSED(handle)
    return -1;
#endif
}

void stopWatching(int watcher, int watch)
{
#ifdef Q_OS_LINUX
    if (watch >= 0)
        ::inotify_rm_watch(watcher, watch);
#else
    Q_UNUSED(watcher)
    Q_UNUSED(watch)
#endif
}

// One folder on the way down.
struct Frame {
    int handle = -1; // -1 once given up; the root's is never given up
    int watch = -1;  // its watch for moves; -1 where it has none
    FileId id;
    int pathLength = 0;
    int belowLength = 0;
    NameList subfolders{decodeName};
    int next = 0;
    bool lacking = false; // could not be opened again for lack of descriptors or memory
};
} // namespace

struct FolderWalk::State {
    State(const NamePatterns &patterns, const QString &rootPath, QVector<PassedOver> *passedOver,
          int spare)
        : patterns(patterns), rootPath(QFile::encodeName(rootPath)), path(rootPath),
          handlesAtMost(std::min(folderHandlesAtMost, spare)),
          watcher(spare > folderHandlesAtMost ? startWatching() : -1), passedOver(passedOver)
    {
        folder.moveWatch = watcher;
    }
    ~State()
    {
        for (Frame &frame : frames)
            close(frame.handle);
        if (watcher >= 0)
            ::close(watcher);
    }

    const NamePatterns &patterns;
    const QByteArray rootPath;
    QString path;     // of the folder entered last
    QByteArray below; // its way from the root
    const int handlesAtMost;
    // Taken only where a descriptor is to spare beyond the walk's own: short of them, the walk
    // keeps its room and the place is checked by time alone.
    const int watcher;
    int handlesHeld = 0;
    bool rootEntered = false;
    std::vector<Frame> frames;             // the folder entered last is the last
    std::vector<char> buffer;              // made when first needed: there may be no memory for it
    Folder folder{decodeName};             // the one yielded last
    QVector<PassedOver> *const passedOver; // null unless the walk names what it passes over

    int open(int parent, const char *name, int &error);
    void close(int &handle);
    bool giveUpAncestorsBut(int kept);
    const Folder *enter(int handle);
    const Folder *notListed();
    const Folder *enterNextSubfolder();
    void leaveFolder();
    void passOver(const QString &passedPath, PassedOverReason reason);
    void climbInto(std::size_t at);
    std::size_t highestMoved(std::size_t moved) const;
    void passOverMoved(std::size_t moved);
};

void FolderWalk::Delete::operator()(State *state) const
{
    delete state;
}

// Opens a folder within the bound on handles; without room, gives up the ancestors on the way
// down (all but the folder entered last and `parent`). -1 with `error` set when it cannot.
int FolderWalk::State::open(int parent, const char *name, int &error)
{
    if (handlesHeld >= handlesAtMost &&
        !(giveUpAncestorsBut(parent) && handlesHeld < handlesAtMost)) {
        error = EMFILE;
        return -1;
    }
    const int opened =
        parent == AT_FDCWD ? ::open(name, folderFlags & ~O_NOFOLLOW) : openSubfolder(parent, name);
    if (opened < 0) {
        error = errno;
        return -1;
    }
    ++handlesHeld;
    return opened;
}

void FolderWalk::State::close(int &handle)
{
    if (handle < 0)
        return;
    ::close(handle);
    --handlesHeld;
    handle = -1;
}

bool FolderWalk::State::giveUpAncestorsBut(int kept)
{
    bool gaveUp = false;
    for (std::size_t i = 1; i + 1 < frames.size(); ++i) {
        if (frames[i].handle >= 0 && frames[i].handle != kept) {
            close(frames[i].handle);
            gaveUp = true;
        }
    }
    return gaveUp;
}

// Lists the folder just opened and goes into it; the folder to yield, or null when it has
// nothing to sweep or go into (or the listing was stopped).
const Folder *FolderWalk::State::enter(int handle)
{
    Frame frame;
    int error = 0;
    QVector<PassedOverName> passedNames;
    try {
        folder.files.clear();
        if (buffer.empty())
            buffer.resize(256 * 1024);
        error = listFolder(handle, patterns, buffer, folder.files, frame.subfolders,
                           passedOver ? &passedNames : nullptr);
        if (error == 0 && !passedNames.isEmpty())
            appendPassedOver(*passedOver, path, passedNames, decodeName);
    } catch (const std::bad_alloc &) {
        error = ENOMEM;
    }
    // A listing that failed part way (a damaged folder, an input or output error) is not taken
    // for the whole folder: it is named as not listed, as one short of descriptors or memory is.
    if (error != 0) {
        close(handle);
        return error == EINTR ? nullptr : notListed();
    }
    folder.outcome = FolderOutcome::Listed;
    folder.path = path;
    folder.id = idOfHandle(handle);
    folder.below = below;
    folder.handle = handle;
    if (frames.empty()) {
        folder.rootHandle = handle;
        folder.rootId = folder.id;
    }
    frame.handle = handle;
    frame.id = folder.id;
    frame.pathLength = path.size();
    frame.belowLength = below.size();
    const bool worthYielding = folder.files.size() > 0 || frame.subfolders.size() > 0;
    // A folder with nothing to sweep or go into is left at once: no removal needs its watch.
    if (worthYielding)
        frame.watch = watchFolder(watcher, handle);
    try {
        frames.push_back(std::move(frame));
    } catch (const std::bad_alloc &) {
        stopWatching(watcher, frame.watch);
        close(handle);
        throw;
    }
    if (frames.size() > openAncestorsKept + 1)
        close(frames[frames.size() - 1 - openAncestorsKept].handle);
    return worthYielding ? &folder : nullptr;
}

const Folder *FolderWalk::State::notListed()
{
    folder.outcome = FolderOutcome::NotListed;
    folder.path = path;
    folder.files.clear();
    folder.handle = -1;
    return &folder;
}

// The next subfolder of the folder entered last. One that is no real folder any more, is not
// readable or is a mount point is passed over; one that cannot be opened for lack of
// descriptors is yielded as not listed.
const Folder *FolderWalk::State::enterNextSubfolder()
{
    Frame &top = frames.back();
    const int sub = top.next++;
    const QByteArray name = top.subfolders.bytesAt(sub);
    path.truncate(top.pathLength);
    path = joinedPath(path, top.subfolders.nameAt(sub));
    below.truncate(top.belowLength);
    if (!below.isEmpty())
        below += '/';
    below += name;
    if (top.lacking)
        return notListed();
    int error = 0;
    const int child = open(top.handle, name.constData(), error);
    if (child < 0 && isLackOfResources(error))
        return notListed();
    if (child < 0) {
        passOver(path, passedOverFor(error));
        return nullptr;
    }
    return enter(child);
}

void FolderWalk::State::passOver(const QString &passedPath, PassedOverReason reason)
{
    if (passedOver)
        passedOver->append({passedPath, reason});
}

// Back up from the folder entered last into its parent. Only a parent with subfolders left to go
// into needs its handle again.
void FolderWalk::State::leaveFolder()
{
    Frame finished = std::move(frames.back());
    frames.pop_back();
    stopWatching(watcher, finished.watch);
    close(finished.handle);
    if (frames.empty())
        return;
    const Frame &parent = frames.back();
    path.truncate(parent.pathLength);
    below.truncate(parent.belowLength);
    if (parent.handle < 0 && parent.next < parent.subfolders.size())
        climbInto(frames.size() - 1);
}

// Back up into the folder at `at`, whose handle was given up, by the way the place check goes: its
// parent resolved beneath the root's handle (never given up), the folder opened below that as on
// the way down, and taken only when it is the very folder the walk entered there. One that has
// moved is passed over as a moved folder in hand is; one that may no longer be read is passed
// over alone; one that cannot be opened for lack of descriptors or memory has its remaining
// subfolders yielded as not listed.
void FolderWalk::State::climbInto(std::size_t at)
{
    Frame &folder = frames[at];
    const int root = frames.front().handle;
    const int slash = below.lastIndexOf('/');
    const int parent = slash < 0 ? root : resolveWay(root, below.left(slash));
    int error = errno;
    int handle = -1;
    if (parent >= 0) {
        handle = open(parent, below.constData() + slash + 1, error);
        if (parent != root)
            ::close(parent);
    }
    if (handle >= 0 && idOfHandle(handle) == folder.id) {
        folder.handle = handle;
    } else if (handle < 0 && isLackOfResources(error)) {
        folder.lacking = true;
    } else if (handle < 0 && passedOverFor(error) == PassedOverReason::NotReadable) {
        passOver(path, PassedOverReason::NotReadable);
        folder.subfolders.clear();
    } else {
        close(handle);
        passOverMoved(at);
    }
}

// The highest folder, from the root down to the one at `moved` (which has left its place), whose
// way no longer leads to it; the root when its path no longer does. One whose place cannot be
// checked for lack of descriptors or memory is taken to be in it.
std::size_t FolderWalk::State::highestMoved(std::size_t moved) const
{
    if (!rootStillAt(rootPath, frames.front().id))
        return 0;
    for (std::size_t level = 1; level < moved; ++level) {
        const Frame &frame = frames[level];
        if (leadsTo(frames.front().handle, below.left(frame.belowLength), frame.id) ==
            FolderOutcome::Moved)
            return level;
    }
    return moved;
}

// The folder at `moved`, the deepest on the way, has left its place, or one above it has: from the
// highest of them down, nothing more is listed or swept, and a verbose run names that one.
void FolderWalk::State::passOverMoved(std::size_t moved)
{
    const std::size_t highest = highestMoved(moved);
    for (std::size_t level = highest; level < frames.size(); ++level)
        frames[level].subfolders.clear();
    passOver(path.left(frames[highest].pathLength), PassedOverReason::Moved);
}

const Folder *FolderWalk::enterNextFolder()
{
    State &walk = *state;
    if (!walk.rootEntered) {
        walk.rootEntered = true;
        int error = 0;
        const int root = walk.open(AT_FDCWD, walk.rootPath.constData(), error);
        if (root < 0 && isLackOfResources(error))
            return walk.notListed();
        if (root < 0) {
            walk.passOver(walk.path, passedOverFor(error));
            return nullptr;
        }
        if (const Folder *folder = walk.enter(root))
            return folder;
    }
    while (!walk.frames.empty() && !stopRequested()) {
        const Frame &top = walk.frames.back();
        if (top.next >= top.subfolders.size())
            walk.leaveFolder();
        else if (const Folder *folder = walk.enterNextSubfolder())
            return folder;
    }
    return nullptr;
}

// Every report waiting is read: one of a move, a deletion or an unmount of a watched folder (or
// of reports lost) asks for the place to be checked; one that a watch ended (a folder left) does
// not.
bool reportedMoved(const Folder &folder)
{
#ifdef Q_OS_LINUX
    if (folder.moveWatch < 0 ||
        !(reportAnnounced.exchange(false, std::memory_order_relaxed) || alwaysRead))
        return false;
    bool moved = false;
    alignas(struct inotify_event) char buffer[4096];
    ssize_t got;
    while ((got = ::read(folder.moveWatch, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + at);
            moved = moved ||
                    (event->mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_UNMOUNT | IN_Q_OVERFLOW));
            at += ssize_t(sizeof(struct inotify_event) + event->len);
        }
    }
    return moved;
#else
    Q_UNUSED(folder)
    return false;
#endif
}

FolderOutcome placeOf(const Folder &folder)
{
    if (!rootStillAt(folder.rootPath, folder.rootId))
        return FolderOutcome::Moved;
    return leadsTo(folder.rootHandle, folder.below, folder.id);
}

void FolderWalk::passOverMoved()
{
    State &walk = *state;
    if (walk.folder.outcome == FolderOutcome::Listed && !walk.frames.empty())
        walk.passOverMoved(walk.frames.size() - 1);
}

FolderWalk::FolderWalk(const QString &rootPath, const NamePatterns &patterns, bool namesPassedOver)
    : state(new State(patterns, rootPath, namesPassedOver ? &passedOver : nullptr,
                      freeDescriptors() - descriptorsLeftFree))
{
    state->folder.rootPath = state->rootPath;
}

FolderWalk::~FolderWalk() = default;
