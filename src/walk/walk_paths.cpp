// The walk for systems without folder handles: every step goes by path, through Qt. It cannot
// withstand a folder swapped for a link while it goes on.
#include "walk/walk.h"

#include "jobfile/namepatterns.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <utility>
#include <vector>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace
{
// Names are kept as UTF-8, which holds every name Qt lists.
QString decodeUtf8(const QByteArray &name)
{
    return QString::fromUtf8(name);
}

void append(NameList &names, const QString &name, bool isLink)
{
    const QByteArray bytes = name.toUtf8();
    names.append(bytes.constData(), bytes.size(), isLink);
}

struct PendingFolder {
    QString path;
    NameList subfolders{decodeUtf8};
    int next = 0;
};

// The device a folder lies on, where the system tells it; 0 where it does not.
quint64 deviceOf(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) == 0)
        return quint64(status.st_dev);
#else
    Q_UNUSED(path)
#endif
    return 0;
}

// Another file system, or a bind mount, inside a job's tree is not the job's to clean.
bool isMountPoint(quint64 parentDevice, const QString &path)
{
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    struct stat status;
    if (::stat(name.constData(), &status) != 0 || quint64(status.st_dev) != parentDevice)
        return true;
#if defined(STATX_ATTR_MOUNT_ROOT)
    struct statx info;
    if (::statx(AT_FDCWD, name.constData(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &info) == 0 &&
        (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
        return (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
#endif
    return false;
#else
    Q_UNUSED(parentDevice)
    Q_UNUSED(path)
    return false; // not detected on this system
#endif
}

} // namespace

struct FolderWalk::State {
    const NamePatterns &patterns;
    QString rootPath; // until it is entered
    std::vector<PendingFolder> pending;

    std::shared_ptr<ListedFolder> enter(const QString &path, const QString &name);
};

// Names are matched here rather than by Qt's name filters, which would also take the Kelvin sign
// for a "k". Links to files are listed as files; links to folders are not followed.
std::shared_ptr<ListedFolder> FolderWalk::State::enter(const QString &path, const QString &name)
{
    const QDir folder(path);
    auto listed = std::make_shared<ListedFolder>(decodeUtf8);
    listed->path = path;
    listed->depth = int(pending.size());
    listed->id = fileIdOf(path);
    listed->nameInParent = name.toUtf8();
    for (const QFileInfo &info : folder.entryInfoList(QDir::Files, QDir::Unsorted)) {
        if (patterns.matches(info.fileName()))
            append(listed->files, info.fileName(), info.isSymLink());
    }
    listed->files.sort();
    PendingFolder next;
    next.path = path;
    const QStringList subfolders =
        folder.entryList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Unsorted);
    const quint64 device = subfolders.isEmpty() ? 0 : deviceOf(path);
    for (const QString &name : subfolders) {
        if (!isMountPoint(device, joinedPath(path, name)))
            append(next.subfolders, name, false);
    }
    next.subfolders.sort();
    listed->hasSubfolders = next.subfolders.size() > 0;
    pending.push_back(std::move(next));
    return listed;
}

void FolderWalk::Delete::operator()(State *state) const
{
    delete state;
}

void FolderWalk::wakeListing() {}

std::shared_ptr<ListedFolder> FolderWalk::enterNextFolder()
{
    if (!state->rootPath.isNull())
        return state->enter(std::exchange(state->rootPath, QString()), QString());
    std::vector<PendingFolder> &pending = state->pending;
    while (!pending.empty()) {
        PendingFolder &top = pending.back();
        if (top.next < top.subfolders.size()) {
            const QString name = top.subfolders.nameAt(top.next++);
            return state->enter(joinedPath(top.path, name), name);
        }
        pending.pop_back();
    }
    return nullptr;
}

FolderWalk::FolderWalk(const QString &rootPath, const NamePatterns &patterns)
    : state(new State{patterns, rootPath, {}})
{
    startListing();
}
