// The entry operations by path, through Qt, for the walk by path. Between the walk and these, a
// folder swapped for a link cannot be told apart; the walk by folder handles withstands it.
#include "sweep/entryops.h"

#include "walk/walk.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

namespace
{
// The walk by path keeps names as UTF-8.
QString pathOf(const Folder &folder, const QByteArray &name)
{
    return joinedPath(folder.path, QString::fromUtf8(name));
}
} // namespace

bool readStatus(const Folder &folder, const QByteArray &name, bool isLink, EntryStatus &status)
{
    const QString path = pathOf(folder, name);
    const QFileInfo info(path);
    // Qt tells no error: a file not there in a folder that may be entered is gone; in one that
    // may not, it cannot be looked at.
    if (!info.exists() && !info.isSymLink())
        status.error = QFileInfo(folder.path).isExecutable() ? ENOENT : EACCES;
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
    status.id = fileIdOf(path);
    return true;
}

// By the path as text: Qt hands it to the system in the system's own wide form where it has one,
// never through a code page that could turn the name into another file's.
FileOutcome removeEntry(const Folder &folder, const QByteArray &name)
{
    const QString path = pathOf(folder, name);
    if (QFile::remove(path))
        return FileOutcome::Removed;
    const QFileInfo info(path);
    return (info.exists() || info.isSymLink()) ? FileOutcome::Refused : FileOutcome::Gone;
}

bool entryIsThere(const Folder &folder, const QByteArray &name)
{
    const QFileInfo info(pathOf(folder, name));
    return info.exists() || info.isSymLink();
}

// By path the system is not asked; where it has no other way, it refuses to remove a file in use
// itself (Windows).
InUse::InUse(const Folder &, const QByteArray &, bool, const FileId &) {}

InUse::~InUse() = default;

QVector<WayStep> wayOfLink(const Folder &folder, const QByteArray &name)
{
    QVector<WayStep> way;
    QFileInfo entry(pathOf(folder, name));
    for (int step = 0; step < linksFollowedAtMost && entry.isSymLink(); ++step) {
        entry = QFileInfo(entry.symLinkTarget());
        const QString holder = entry.absolutePath();
        way.append({fileIdOf(holder), holder, entry.fileName().toUtf8()});
    }
    return way;
}
