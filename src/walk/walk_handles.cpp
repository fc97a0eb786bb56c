// The walk through folder handles. Each subfolder is opened below the handle of its parent and
// never through a symbolic link, so a folder swapped for a link while the walk goes on leads
// nowhere outside the tree; the sweep judges and removes files relative to their folder's handle.
#include "walk/walk.h"

#include "jobfile/namepatterns.h"
#include "system/lackofresources.h"
#include "system/stopsignals.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/resource.h>
#include <sys/stat.h>
#include <utility>
#ifdef Q_OS_LINUX
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif
#include <unistd.h>

#include <vector>

namespace
{
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// The deepest folders on the way down keep their handles; an ancestor above them is opened again
// through ".." of its child on the way back.
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
// which open files of their own now and then.
constexpr int descriptorsLeftFree = 4;

// The folder handles the walk holds, counted until each is closed, wherever that happens: the
// sweep lets go of a folder it is done with in its own thread. Every listing let go of is told
// here too, as it may leave handles that only the walk holds, which it can give up; so are a
// folder given back and the end of the sweep. No wait is timed: libfaketime, which the tests
// preload, breaks the waits it times.
class HandleBudget
{
  public:
    explicit HandleBudget(int limit) : limit(std::max(limit, 0)) {}

    enum class Room { Taken, Waited, None };

    // The changes told so far; a wait for room lasts only until the next one.
    unsigned changesSoFar()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return changes;
    }

    // Room for one more handle. Without it, waits for a change after the `seen` one while others
    // hold handles; None when all handles held are ones only the walk holds (`walkAlone`), which
    // only the walk itself can give up.
    template <typename Count> Room take(Count walkAlone, unsigned seen)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (held < limit) {
            ++held;
            return Room::Taken;
        }
        if (held <= walkAlone())
            return Room::None;
        changed.wait(lock, [&] { return changes != seen; });
        return Room::Waited;
    }

    void giveBack()
    {
        std::lock_guard<std::mutex> lock(mutex);
        --held;
        ++changes;
        changed.notify_all();
    }

    void wake()
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++changes;
        changed.notify_all();
    }

  private:
    std::mutex mutex;
    std::condition_variable changed;
    const int limit;
    int held = 0;
    unsigned changes = 0;
};

using Handle = std::shared_ptr<FolderHandle>;

Handle counted(int descriptor, const std::shared_ptr<HandleBudget> &budget)
{
    return Handle(new FolderHandle{descriptor}, [budget](FolderHandle *handle) {
        ::close(handle->descriptor);
        delete handle;
        budget->giveBack();
    });
}

// Where the system cannot refuse to cross a mount point while opening: a folder on another device,
// or one the system marks as the root of a mount (a bind mount on the same device).
bool isMountedOver(int parent, int folder)
{
    struct stat parentStatus;
    struct stat folderStatus;
    if (::fstat(parent, &parentStatus) != 0 || ::fstat(folder, &folderStatus) != 0 ||
        parentStatus.st_dev != folderStatus.st_dev)
        return true;
#if defined(STATX_ATTR_MOUNT_ROOT)
    struct statx status;
    if (::statx(folder, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &status) == 0 &&
        (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
        return (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
#endif
    return false;
}

// A subfolder is opened below its parent's handle, never through a symbolic link, and never
// across a mount point: another file system (or a bind mount) inside a job's tree is not the job's
// to clean, and is passed over as a link to a folder is. A mount point leaves errno at EXDEV.
int openSubfolder(int parent, const char *name)
{
#if defined(SYS_openat2) && defined(RESOLVE_NO_XDEV)
    struct open_how how = {};
    how.flags = folderFlags;
    how.resolve = RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS;
    const long opened = ::syscall(SYS_openat2, parent, name, &how, sizeof how);
    // A kernel without openat2, or a system-call filter that does not know it, answers so; then
    // the checks below stand in.
    if (opened >= 0 || (errno != ENOSYS && errno != EPERM && errno != EINVAL && errno != E2BIG))
        return int(opened);
#endif
    const int folder = ::openat(parent, name, folderFlags);
    if (folder >= 0 && isMountedOver(parent, folder)) {
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

// One read of a folder: the files (and links) whose names match, and the subfolders; hidden
// entries (and so "." and "..") left out. 0, or the errno of a listing that failed.
int listFolder(int folder, const NamePatterns &patterns, std::vector<char> &buffer, NameList &files,
               NameList &folders)
{
    const int error = readEntries(folder, buffer, [&](const char *name, unsigned char type) {
        if (name[0] == '.')
            return;
        const int length = int(std::strlen(name));
        const EntryKind kind = kindOf(folder, name, type);
        if (kind == EntryKind::Folder)
            folders.append(name, length, false);
        else if ((kind == EntryKind::File || kind == EntryKind::Link) &&
                 patterns.matches(QByteArray::fromRawData(name, length)))
            files.append(name, length, kind == EntryKind::Link);
    });
    files.sort();
    folders.sort();
    return error;
}

// One folder on the way down. An ancestor whose handle was given up is opened again through ".."
// of its child on the way back, and passed over if that no longer leads to the very same folder.
struct Frame {
    Handle handle; // shared with the listing handed on; null when given up
    FileId id;
    int pathLength = 0;
    NameList subfolders{decodeName};
    int next = 0;
    bool lacking = false; // could not be opened again for lack of descriptors or memory
};
} // namespace

struct FolderWalk::State {
    State(FolderWalk &walk, const NamePatterns &patterns, const QString &rootPath)
        : walk(walk), patterns(patterns), rootPath(QFile::encodeName(rootPath)), path(rootPath),
          budget(std::make_shared<HandleBudget>(
              std::min(folderHandlesAtMost, freeDescriptors() - descriptorsLeftFree)))
    {
    }

    FolderWalk &walk;
    const NamePatterns &patterns;
    const QByteArray rootPath;
    QString path; // of the folder entered last
    std::shared_ptr<HandleBudget> budget;
    Handle root;               // until it is entered
    int rootError = 0;         // why the root could not be opened
    std::vector<Frame> frames; // the folder entered last is the last
    Handle climbingFrom;       // a folder just finished, while its parent is opened again from it
    std::vector<char> buffer;  // made when first needed: there may be no memory for it

    Handle open(int parent, const char *name, int &error);
    int walkAlone() const;
    bool giveUpAncestors();
    void climbInto(std::size_t at, Frame &child);
    Handle reopenFromAbove(std::size_t at, int &error);
    std::shared_ptr<ListedFolder> listing() const;
    std::shared_ptr<ListedFolder> enter(Handle handle, const QByteArray &name);
    std::shared_ptr<ListedFolder> notSwept() const;
    std::shared_ptr<ListedFolder> nextSubfolder(Frame &top);
};

// Opens a folder within the budget; without room, gives up the walk's ancestors or waits for the
// sweep to give handles back. Null with `error` set when it cannot be opened.
Handle FolderWalk::State::open(int parent, const char *name, int &error)
{
    for (;;) {
        if (walk.mustStop()) {
            error = EINTR;
            return nullptr;
        }
        const unsigned seen = budget->changesSoFar();
        if (walk.lookahead)
            walk.letGoOfReturned();
        const HandleBudget::Room room = budget->take([this] { return walkAlone(); }, seen);
        if (room == HandleBudget::Room::Taken)
            break;
        if (room == HandleBudget::Room::None && !giveUpAncestors()) {
            error = EMFILE;
            return nullptr;
        }
    }
    const int opened =
        parent < 0 ? ::open(name, folderFlags & ~O_NOFOLLOW) : openSubfolder(parent, name);
    if (opened >= 0)
        return counted(opened, budget);
    error = errno;
    budget->giveBack();
    return nullptr;
}

int FolderWalk::State::walkAlone() const
{
    int count = root ? 1 : 0;
    count += climbingFrom && climbingFrom.use_count() == 1 ? 1 : 0;
    for (const Frame &frame : frames)
        count += frame.handle && frame.handle.use_count() == 1 ? 1 : 0;
    return count;
}

// All but the folder entered last: it is the one the next subfolder is opened from.
bool FolderWalk::State::giveUpAncestors()
{
    bool gaveUp = false;
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
        gaveUp = gaveUp || frames[i].handle;
        frames[i].handle.reset();
    }
    return gaveUp;
}

// Back up into the folder at `at`, whose handle was given up: through ".." of the folder just
// finished, when that leads to the very same folder; else (that folder has moved away) by name
// from above. When the folder itself has moved, the rest of it is left alone; when it cannot be
// opened again for lack of descriptors, its remaining subfolders are reported.
void FolderWalk::State::climbInto(std::size_t at, Frame &child)
{
    Frame &folder = frames[at];
    int error = 0;
    climbingFrom = std::move(child.handle);
    Handle handle = climbingFrom ? open(climbingFrom->descriptor, "..", error) : nullptr;
    climbingFrom.reset();
    if (handle && !(idOfHandle(handle->descriptor) == folder.id))
        handle.reset();
    if (!handle && !isLackOfResources(error) && !child.lacking)
        handle = reopenFromAbove(at, error);
    if (handle)
        folder.handle = std::move(handle);
    else if (isLackOfResources(error) || child.lacking)
        folder.lacking = true;
    else
        folder.subfolders.clear();
}

// The folder at `at`, opened again step by step by name from the nearest folder above that is
// still open (or from the root's path), each step the very folder the walk entered there; null
// when one has moved (error 0) or cannot be opened.
Handle FolderWalk::State::reopenFromAbove(std::size_t at, int &error)
{
    std::size_t level = at;
    while (level > 0 && !frames[level - 1].handle)
        --level;
    Handle handle = level == 0 ? nullptr : frames[level - 1].handle;
    for (; level <= at; ++level) {
        const Frame *above = level == 0 ? nullptr : &frames[level - 1];
        Handle next = above ? open(handle->descriptor,
                                   above->subfolders.bytesAt(above->next - 1).constData(), error)
                            : open(-1, rootPath.constData(), error);
        if (next && !(idOfHandle(next->descriptor) == frames[level].id)) {
            next.reset();
            error = 0;
        }
        if (!next)
            return nullptr;
        handle = std::move(next);
    }
    return handle;
}

std::shared_ptr<ListedFolder> FolderWalk::State::listing() const
{
    const std::shared_ptr<HandleBudget> told = budget;
    return std::shared_ptr<ListedFolder>(new ListedFolder(decodeName),
                                         [told](ListedFolder *listed) {
                                             delete listed;
                                             told->wake();
                                         });
}

std::shared_ptr<ListedFolder> FolderWalk::State::notSwept() const
{
    std::shared_ptr<ListedFolder> listed = listing();
    listed->path = path;
    listed->depth = int(frames.size());
    listed->notSwept = true;
    return listed;
}

std::shared_ptr<ListedFolder> FolderWalk::State::enter(Handle handle, const QByteArray &name)
{
    std::shared_ptr<ListedFolder> listed;
    Frame frame;
    try {
        listed = listing();
        if (buffer.empty())
            buffer.resize(256 * 1024);
        const int error =
            listFolder(handle->descriptor, patterns, buffer, listed->files, frame.subfolders);
        if (error == EINTR)
            return nullptr;
        if (isLackOfResources(error))
            return notSwept();
    } catch (const std::bad_alloc &) {
        return notSwept();
    }
    listed->path = path;
    listed->depth = int(frames.size());
    listed->hasSubfolders = frame.subfolders.size() > 0;
    listed->id = idOfHandle(handle->descriptor);
    listed->nameInParent = name;
    listed->handle = handle;
    if (!frames.empty())
        listed->parent = frames.back().handle;
    frame.handle = std::move(handle);
    frame.id = listed->id;
    frame.pathLength = path.size();
    frames.push_back(std::move(frame));
    const std::size_t depth = frames.size();
    if (depth > openAncestorsKept)
        frames[depth - 1 - openAncestorsKept].handle.reset();
    return listed;
}

void FolderWalk::Delete::operator()(State *state) const
{
    delete state;
}

void FolderWalk::wakeListing()
{
    state->budget->wake();
}

// The next subfolder of the folder entered last that can be entered; null when it has none left.
// One that is no real folder any more, is not readable or is a mount point is passed over.
std::shared_ptr<ListedFolder> FolderWalk::State::nextSubfolder(Frame &top)
{
    while (top.next < top.subfolders.size()) {
        const int sub = top.next++;
        const QByteArray name = top.subfolders.bytesAt(sub);
        path.truncate(top.pathLength);
        path = joinedPath(path, top.subfolders.nameAt(sub));
        int error = 0;
        Handle child =
            top.lacking ? nullptr : open(top.handle->descriptor, name.constData(), error);
        if (child)
            return enter(std::move(child), QByteArray(name.constData(), name.size()));
        if (top.lacking || isLackOfResources(error))
            return notSwept();
    }
    return nullptr;
}

std::shared_ptr<ListedFolder> FolderWalk::enterNextFolder()
{
    State &walk = *state;
    if (walk.root)
        return walk.enter(std::move(walk.root), QByteArray());
    if (walk.rootError != 0)
        return isLackOfResources(std::exchange(walk.rootError, 0)) ? walk.notSwept() : nullptr;
    std::vector<Frame> &frames = walk.frames;
    while (!frames.empty()) {
        if (std::shared_ptr<ListedFolder> folder = walk.nextSubfolder(frames.back()))
            return folder;
        Frame finished = std::move(frames.back());
        frames.pop_back();
        if (!frames.empty()) {
            Frame &parent = frames.back();
            walk.path.truncate(parent.pathLength);
            if (!parent.handle)
                walk.climbInto(frames.size() - 1, finished);
        }
    }
    return nullptr;
}

FolderWalk::FolderWalk(const QString &rootPath, const NamePatterns &patterns)
    : state(new State(*this, patterns, rootPath))
{
    state->root = state->open(-1, state->rootPath.constData(), state->rootError);
    startListing();
}
