// What the sweep does to a folder's entries by path, through Qt. Between the walk and these, a
// folder swapped for a link cannot be told apart; the walk by folder handles withstands it.
#include "walk/walk.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

namespace
{
QString pathOf(const Folder &folder, const QByteArray &name)
{
    return joinedPath(folder.path, decodedName(name));
}

bool isThere(const QFileInfo &info)
{
    return info.exists() || info.isSymLink();
}
} // namespace

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
