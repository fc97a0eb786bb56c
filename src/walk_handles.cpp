// The walk through folder handles. Each subfolder is opened below the handle of its parent and
// never through a symbolic link, so a folder swapped for a link while the walk goes on leads
// nowhere outside the tree; files are judged and removed relative to their folder's handle.
#include "walk.h"

#include "folderhandle.h"
#include "namepatterns.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#ifdef Q_OS_LINUX
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#endif
#include <unistd.h>

#include <vector>

namespace
{
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

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
// to clean, and is passed over as a link to a folder is.
FolderHandle openSubfolder(int parent, const char *name)
{
#if defined(SYS_openat2) && defined(RESOLVE_NO_XDEV)
    struct open_how how = {};
    how.flags = folderFlags;
    how.resolve = RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS;
    const long opened = ::syscall(SYS_openat2, parent, name, &how, sizeof how);
    // A kernel without openat2, or a system-call filter that does not know it, answers so; then
    // the checks below stand in.
    if (opened >= 0 || (errno != ENOSYS && errno != EPERM && errno != EINVAL && errno != E2BIG))
        return FolderHandle(int(opened));
#endif
    FolderHandle folder(::openat(parent, name, folderFlags));
    if (folder.isOpen() && isMountedOver(parent, folder.get()))
        folder.reset();
    return folder;
}

// The way back up from a folder whose parent's handle was given up: within the same mount, so
// no check of mounts is needed.
FolderHandle openParentOf(int folder)
{
    return FolderHandle(::openat(folder, "..", folderFlags));
}

FileId idOfHandle(int handle)
{
    struct stat status;
    if (::fstat(handle, &status) != 0)
        return FileId();
    return FileId{quint64(status.st_dev), quint64(status.st_ino)};
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

// Hands every entry of the folder to visit(name, type). On Linux the entries are read straight
// from the folder's handle, in large batches, without a second handle and a stream on it.
template <typename Visit> void readEntries(int folder, std::vector<char> &buffer, Visit visit)
{
#if defined(Q_OS_LINUX) && defined(__GLIBC__)
    for (;;) {
        const ssize_t filled = ::getdents64(folder, buffer.data(), buffer.size());
        if (filled <= 0)
            return;
        for (ssize_t at = 0; at < filled;) {
            const auto *entry = reinterpret_cast<const struct dirent64 *>(buffer.data() + at);
            visit(entry->d_name, entry->d_type);
            at += entry->d_reclen;
        }
    }
#else
    Q_UNUSED(buffer)
    const int readHandle = ::dup(folder);
    DIR *stream = readHandle < 0 ? nullptr : ::fdopendir(readHandle);
    if (!stream) {
        if (readHandle >= 0)
            ::close(readHandle);
        return;
    }
    while (const struct dirent *entry = ::readdir(stream))
        visit(entry->d_name, entry->d_type);
    ::closedir(stream);
#endif
}

QString decodeName(const QByteArray &name)
{
    return QFile::decodeName(name);
}

// One read of a folder: the files (and links) whose names match, and the subfolders; hidden
// entries (and so "." and "..") left out.
void listFolder(int folder, const NamePatterns &patterns, std::vector<char> &buffer,
                NameList &files, NameList &folders)
{
    files.clear();
    folders.clear();
    readEntries(folder, buffer, [&](const char *name, unsigned char type) {
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
}

// One folder on the way down. Only the deepest folders keep their handles open; an ancestor
// whose handle was given up is opened again through ".." of its child on the way back, and
// passed over if that no longer leads to the very same folder.
struct Frame {
    std::shared_ptr<FolderHandle> handle; // shared with the listing handed on; null when given up
    FileId id;
    int pathLength = 0;
    NameList subfolders{decodeName};
    int next = 0;
};

constexpr std::size_t openAncestorsKept = 32;

bool reopenFromChild(Frame &parent, const Frame &child)
{
    if (!child.handle)
        return false;
    FolderHandle reopened = openParentOf(child.handle->get());
    if (!reopened.isOpen() || !(idOfHandle(reopened.get()) == parent.id))
        return false;
    parent.handle = std::make_shared<FolderHandle>(std::move(reopened));
    return true;
}
} // namespace

struct FolderWalk::State {
    const NamePatterns &patterns;
    QString path;              // of the folder entered last
    FolderHandle root;         // until it is entered
    std::vector<Frame> frames; // the folder entered last is the last
    std::vector<char> buffer = std::vector<char>(256 * 1024);

    std::shared_ptr<ListedFolder> enter(FolderHandle handle);
};

std::shared_ptr<ListedFolder> FolderWalk::State::enter(FolderHandle handle)
{
    auto listed = std::make_shared<ListedFolder>(decodeName);
    Frame frame;
    listFolder(handle.get(), patterns, buffer, listed->files, frame.subfolders);
    frame.handle = std::make_shared<FolderHandle>(std::move(handle));
    frame.pathLength = path.size();
    listed->path = path;
    listed->handle = frame.handle;
    frames.push_back(std::move(frame));
    const std::size_t depth = frames.size();
    if (depth > openAncestorsKept) {
        // Coming down again after a deep subtree, that ancestor may have been given up already:
        // its identity was taken then, and must not be overwritten.
        Frame &ancestor = frames[depth - 1 - openAncestorsKept];
        if (ancestor.handle) {
            ancestor.id = idOfHandle(ancestor.handle->get());
            ancestor.handle.reset();
        }
    }
    return listed;
}

void FolderWalk::Delete::operator()(State *state) const
{
    delete state;
}

std::shared_ptr<ListedFolder> FolderWalk::enterNextFolder()
{
    if (state->root.isOpen())
        return state->enter(std::move(state->root));
    std::vector<Frame> &frames = state->frames;
    QString &path = state->path;
    while (!frames.empty()) {
        Frame &top = frames.back();
        if (top.next < top.subfolders.size() && top.handle) {
            const int sub = top.next++;
            FolderHandle child =
                openSubfolder(top.handle->get(), top.subfolders.bytesAt(sub).constData());
            if (!child.isOpen())
                continue; // no longer a real folder, or not readable, or a mount point
            path.truncate(top.pathLength);
            path = joinedPath(path, top.subfolders.nameAt(sub));
            return state->enter(std::move(child));
        }
        Frame finished = std::move(frames.back());
        frames.pop_back();
        if (!frames.empty()) {
            Frame &parent = frames.back();
            if (!parent.handle && !reopenFromChild(parent, finished))
                parent.subfolders.clear(); // the way back is gone: leave the rest alone
            path.truncate(parent.pathLength);
        }
    }
    return nullptr;
}

FolderWalk::FolderWalk(const QString &rootPath, const NamePatterns &patterns)
    : state(new State{patterns, rootPath, {}, {}})
{
    state->root = FolderHandle(::open(QFile::encodeName(rootPath).constData(),
                                      O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
    startListing();
}

// A symbolic link is judged by the file it points to, as the folder listing lists it as that
// file; only regular files are taken.
bool FolderWalk::readStatus(const WalkEntry &entry, EntryStatus &status)
{
    const int folder = entry.folder->get();
    const int follow = entry.isLink ? 0 : AT_SYMLINK_NOFOLLOW;
#ifdef STATX_BTIME
    struct statx info;
    if (::statx(folder, entry.encodedName.constData(), follow | AT_STATX_SYNC_AS_STAT,
                STATX_TYPE | STATX_INO | STATX_NLINK | STATX_BTIME | STATX_CTIME, &info) != 0 ||
        !S_ISREG(info.stx_mode))
        return false;
    // A birth time of zero is one the file system never recorded (images, old inode formats).
    const bool hasBirth = (info.stx_mask & STATX_BTIME) &&
                          (info.stx_btime.tv_sec != 0 || info.stx_btime.tv_nsec != 0);
    const struct statx_timestamp &time = hasBirth ? info.stx_btime : info.stx_ctime;
    status.createdMs = qint64(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
    status.id =
        FileId{quint64(makedev(info.stx_dev_major, info.stx_dev_minor)), quint64(info.stx_ino)};
    status.names = info.stx_nlink;
#else
    struct stat info;
    if (::fstatat(folder, entry.encodedName.constData(), &info, follow) != 0 ||
        !S_ISREG(info.st_mode))
        return false;
#if defined(Q_OS_DARWIN) || defined(Q_OS_FREEBSD) || defined(Q_OS_NETBSD)
    const struct timespec &time = info.st_birthtimespec;
#else
    const struct timespec &time = info.st_ctim;
#endif
    status.createdMs = qint64(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
    status.id = FileId{quint64(info.st_dev), quint64(info.st_ino)};
    status.names = quint64(info.st_nlink);
#endif
    return true;
}

Removal FolderWalk::remove(const WalkEntry &entry)
{
    if (::unlinkat(entry.folder->get(), entry.encodedName.constData(), 0) == 0)
        return Removal::Removed;
    return (errno == ENOENT || errno == EISDIR) ? Removal::Vanished : Removal::Refused;
}
