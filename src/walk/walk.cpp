#include "walk/walk.h"

#include "system/stopsignals.h"

#include <QDir>

#include <algorithm>
#include <new>
#include <utility>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#endif

QString joinedPath(const QString &folderPath, const QString &name)
{
    return folderPath + QDir::separator() + name;
}

// Short of memory outside a folder's own listing, the walk cannot go on where it was.
const Folder *FolderWalk::next()
{
    if (cutShort || stopRequested())
        return nullptr;
    try {
        if (!rootEntered) {
            rootEntered = true;
            if (const Folder *entered = enterRoot())
                return entered;
        }
        while (!levels.empty() && !stopRequested()) {
            Level &top = levels.back();
            if (top.next < top.subfolders.size()) {
                const int sub = top.next++;
                path.truncate(top.pathLength);
                path = joinedPath(path, top.subfolders.nameAt(sub));
                if (const Folder *entered = enterSubfolder(sub))
                    return entered;
                continue;
            }
            leaveLevel();
        }
    } catch (const std::bad_alloc &) {
        cutShort = true;
    }
    return nullptr;
}

const Folder *FolderWalk::entered(NameList &subfolders)
{
    folder.outcome = FolderOutcome::Listed;
    folder.path = path;
    const bool worthYielding = folder.files.size() > 0 || subfolders.size() > 0;
    levels.push_back({std::move(subfolders), 0, path.size()});
    return worthYielding ? &folder : nullptr;
}

void FolderWalk::passOver(const QString &passedPath, PassedOverReason reason)
{
    if (namesPassedOver)
        passedOver.append({passedPath, reason});
}

void FolderWalk::passOverMoved()
{
    if (folder.outcome == FolderOutcome::Listed && !levels.empty())
        passOverMoved(levels.size() - 1);
}

void FolderWalk::passOverMoved(std::size_t moved)
{
    const std::size_t highest = highestMoved(moved);
    for (std::size_t level = highest; level < levels.size(); ++level)
        levels[level].subfolders.clear();
    passOver(path.left(levels[highest].pathLength), PassedOverReason::Moved);
}

// The same order as the listing's files and folders, so that it never depends on the system's.
void FolderWalk::passOver(QVector<PassedOverName> names)
{
    std::sort(names.begin(), names.end(), [](const PassedOverName &a, const PassedOverName &b) {
        return NameList::precedes(decodedName, a.name, b.name);
    });
    for (const PassedOverName &name : names)
        passedOver.append({joinedPath(path, decodedName(name.name)), name.reason});
}

#ifdef Q_OS_UNIX
namespace
{
bool statusOf(int at, const QByteArray &path, struct stat &status)
{
    return (path.isEmpty() ? ::fstat(at, &status)
                           : ::fstatat(at, path.constData(), &status, AT_SYMLINK_NOFOLLOW)) == 0;
}
} // namespace

// A folder on another device is mounted there; so is one the system marks as the root of a
// mount, which tells a bind mount of a folder of the same file system.
bool isMountPoint(int parentAt, const QByteArray &parentPath, int at, const QByteArray &path)
{
    struct stat parent;
    struct stat folder;
    if (!statusOf(parentAt, parentPath, parent) || !statusOf(at, path, folder) ||
        parent.st_dev != folder.st_dev)
        return true;
#if defined(STATX_ATTR_MOUNT_ROOT)
    struct statx status;
    const int flags = AT_SYMLINK_NOFOLLOW | (path.isEmpty() ? AT_EMPTY_PATH : 0);
    if (::statx(at, path.constData(), flags, STATX_BASIC_STATS, &status) == 0 &&
        (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
        return (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
#endif
    return false;
}
#else
bool isMountPoint(int, const QByteArray &, int, const QByteArray &)
{
    return false;
}
#endif
