// Every step goes by path, through Qt: unlike the walk by folder handles, it cannot withstand a
// folder swapped for a link while it goes on.
#include "walk/walk.h"

#include "jobfile/namepatterns.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#else
constexpr int AT_FDCWD = -100;
#endif

namespace
{
void append(NameList &names, const QString &name, bool isLink)
{
    const QByteArray bytes = name.toUtf8();
    names.append(bytes.constData(), bytes.size(), isLink);
}

// Qt lists nothing of a folder it cannot read, and says nothing of it either: a verbose run asks
// first, and names the folder. Qt tells no error: a folder that cannot even be looked at, in a
// parent that may not be entered, is no more gone than its parent.
bool isReadable(const QString &path, QVector<PassedOver> &passedOver)
{
    const QFileInfo info(path);
    if (info.isDir() && info.isReadable())
        return true;
    const bool gone = !info.exists() && QFileInfo(info.path()).isExecutable();
    passedOver.append({path, gone ? PassedOverReason::Gone : PassedOverReason::NotReadable});
    return false;
}

QString pathOf(const Folder &folder, const QByteArray &name)
{
    return joinedPath(folder.path, decodedName(name));
}

bool isThere(const QFileInfo &info)
{
    return info.exists() || info.isSymLink();
}
} // namespace

// Names are kept as UTF-8, which holds every name Qt lists.
QString decodedName(const QByteArray &name)
{
    return QString::fromUtf8(name);
}

struct FolderWalk::State {
};

FolderWalk::FolderWalk(const QString &rootPath, const NamePatterns &patterns, bool namesPassedOver)
    : patterns(patterns), path(rootPath), namesPassedOver(namesPassedOver)
{
}

FolderWalk::~FolderWalk() = default;

// Entered by its path, as the root is. A verbose run keeps a mount point, marked as a link, to name
// it here, as the walk by handles does.
const Folder *FolderWalk::enterSubfolder(int sub)
{
    if (!levels.back().subfolders.isLinkAt(sub))
        return enterRoot();
    if (isReadable(path, passedOver))
        passedOver.append({path, PassedOverReason::OtherMount});
    return nullptr;
}

void FolderWalk::leaveLevel()
{
    levels.pop_back();
}

// By path alone the walk cannot tell which folder above has moved: the folder in hand and all
// below it are passed over.
std::size_t FolderWalk::highestMoved(std::size_t moved) const
{
    return moved;
}

// Names are matched here rather than by Qt's name filters, which would also take the Kelvin sign
// for a "k". Links to files are listed as files; links to folders are not followed.
const Folder *FolderWalk::enterRoot()
{
    const QDir dir(path);
    if (namesPassedOver && !isReadable(path, passedOver))
        return nullptr;
    folder.id = fileIdOf(path);
    folder.files.clear();
    for (const QFileInfo &info : dir.entryInfoList(QDir::Files, QDir::Unsorted)) {
        if (patterns.matches(info.fileName()))
            append(folder.files, info.fileName(), info.isSymLink());
    }
    folder.files.sort();
    NameList subfolders(decodedName);
    const QByteArray encodedPath = QFile::encodeName(path);
    for (const QString &sub :
         dir.entryList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Unsorted)) {
        // A folder that cannot be looked at is taken for a mount point too; it is named as what it
        // is.
        const bool mounted =
            isMountPoint(AT_FDCWD, encodedPath, AT_FDCWD, QFile::encodeName(joinedPath(path, sub)));
        if (!mounted || namesPassedOver)
            append(subfolders, sub, mounted);
    }
    subfolders.sort();
    if (!namesPassedOver)
        return entered(subfolders);
    // What the listings above leave out that a verbose run names: hidden folders (and links to
    // them), hidden files whose names match, and links to folders.
    QVector<PassedOverName> names;
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &info : entries) {
        if (info.isHidden() &&
            (info.isDir() || (info.isFile() && patterns.matches(info.fileName()))))
            names.append({info.fileName().toUtf8(), PassedOverReason::Hidden});
        else if (!info.isHidden() && info.isSymLink() && info.isDir())
            names.append({info.fileName().toUtf8(), PassedOverReason::LinkToFolder});
    }
    passOver(names);
    return entered(subfolders);
}

// Without identities a folder is taken to be where it was.
FolderOutcome Folder::place() const
{
    if (!id.isKnown() || fileIdOf(path) == id)
        return FolderOutcome::Listed;
    return FolderOutcome::Moved;
}

bool Folder::reportedMoved() const
{
    return false;
}

bool Folder::readStatus(const QByteArray &name, bool isLink, EntryStatus &status) const
{
    const QString entry = pathOf(*this, name);
    const QFileInfo info(entry);
    // Qt tells no error: a file not there in a folder that may be entered is gone; in one that
    // may not, it cannot be looked at.
    if (!isThere(info))
        status.error = QFileInfo(path).isExecutable() ? ENOENT : EACCES;
    // A link to a FIFO or a device is listed as a file, too; a file that became a link is no
    // longer the file that was listed.
    if (!info.isFile() || (info.isSymLink() && !isLink))
        return false;
    QDateTime created = info.birthTime();
    if (!created.isValid() || created.toMSecsSinceEpoch() == 0)
        created = info.metadataChangeTime();
    if (!created.isValid())
        return false;
    status.createdMs = created.toMSecsSinceEpoch();
    status.id = fileIdOf(entry);
    return true;
}

// By the path as text: Qt hands it to the system in the system's own wide form where it has one,
// never through a code page that could turn the name into another file's.
int Folder::remove(const QByteArray &name) const
{
    const QString entry = pathOf(*this, name);
    if (QFile::remove(entry))
        return 0;
    return isThere(QFileInfo(entry)) ? EACCES : ENOENT;
}

bool Folder::entryIsThere(const QByteArray &name) const
{
    return isThere(QFileInfo(pathOf(*this, name)));
}

QVector<WayStep> Folder::wayOfLink(const QByteArray &name) const
{
    QVector<WayStep> way;
    QFileInfo entry(pathOf(*this, name));
    for (int step = 0; step < linksFollowedAtMost && entry.isSymLink(); ++step) {
        entry = QFileInfo(entry.symLinkTarget());
        const QString holder = entry.absolutePath();
        way.append({fileIdOf(holder), holder, entry.fileName().toUtf8()});
    }
    return way;
}

// By path the system is not asked; where it has no other way, it refuses to remove a file in use
// itself (Windows).
Folder::InUse::InUse(const Folder &, const QByteArray &, bool, const FileId &) {}

Folder::InUse::~InUse() = default;
