#include "sweep/remover.h"

#include "system/openfiles.h"
#include "system/ownfiles.h"
#include "walk/walk.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <climits>
#include <cstdlib>
#include <unistd.h>
#endif

namespace
{
#ifdef Q_OS_UNIX
// How many links in a row the system itself follows before it gives up.
constexpr int linksFollowedAtMost = 40;

// A dry run's record of what it took as removed, by the folder's canonical path and the name, as
// bytes. Where the canonical path cannot be had (beyond the system's limit), the path as it is
// stands in, the same each time. Most entries asked about lie in the folder asked about last.
QByteArray keyOf(const QByteArray &path)
{
    static QByteArray lastFolder;
    static QByteArray lastCanonical;
    const int slash = path.lastIndexOf('/');
    const QByteArray folder = slash < 0    ? QByteArray(".")
                              : slash == 0 ? QByteArray("/")
                                           : path.left(slash);
    if (folder != lastFolder) {
        char *canonical = ::realpath(folder.constData(), nullptr);
        lastCanonical = canonical ? QByteArray(canonical) : folder;
        std::free(canonical);
        lastFolder = folder;
    }
    return lastCanonical + '/' + path.mid(slash + 1);
}

// Where the link at `path` points; empty when it is no link.
QByteArray linkTarget(const QByteArray &path)
{
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path.constData(), target, sizeof target);
    if (length <= 0 || size_t(length) >= sizeof target)
        return QByteArray();
    const QByteArray pointed(target, int(length));
    const int slash = path.lastIndexOf('/');
    return pointed.startsWith('/') || slash < 0 ? pointed : path.left(slash + 1) + pointed;
}
#else
// Windows lists no symbolic links: what a dry run took as removed is known by its path.
constexpr int linksFollowedAtMost = 0;

QByteArray keyOf(const QByteArray &path)
{
    return path;
}

QByteArray linkTarget(const QByteArray &)
{
    return QByteArray();
}
#endif

QByteArray pathOf(const Folder &folder, const QByteArray &name)
{
    return QFile::encodeName(folder.path) + '/' + name;
}
} // namespace

Remover::Remover(const OwnFiles &ownFiles, const FilesHeldOpen &heldOpen)
    : ownFiles(ownFiles), heldOpen(heldOpen)
{
}

void Remover::beginJob(int retentionDays)
{
    age = AgeRule(retentionDays);
}

FolderOutcome Remover::beginFolder(const Folder &folder)
{
    age.setNow(QDateTime::currentMSecsSinceEpoch());
    return folder.outcome == FolderOutcome::Listed ? checkPlace(folder) : folder.outcome;
}

FolderOutcome Remover::checkPlace(const Folder &folder)
{
    placeChecked = HeldUp::Mark();
    return placeOf(folder);
}

// A file that another process holds open or has mapped is refused as the system refuses what it
// will not remove: asked of the system right before the removal where it can tell, else looked
// up in the snapshot of files held open (where any file may be held while it is incomplete).
Remover::Verdict Remover::judgeAndRemove(const Folder &folder, int file)
{
    Verdict verdict;
    const QByteArray name = folder.files.bytesAt(file);
    const bool isLink = folder.files.isLinkAt(file);
    EntryStatus status;
    if (!readStatus(folder, name, isLink, status)) {
        if (namesPassedOver)
            verdict.passedOver = whyNotRead(folder, name, isLink, status.error);
        return verdict;
    }
    if (!age.isOldEnough(status.createdMs) || isOwnFile(status, folder, file))
        return verdict;
    if (placeChecked.heldUpSince()) {
        verdict.folder = checkPlace(folder);
        if (verdict.folder != FolderOutcome::Listed)
            return verdict;
    }
    const InUse inUse(folder, name, isLink, status.id);
    if (inUse.answer == InUse::Changed) {
        if (namesPassedOver)
            verdict.passedOver = PassedOverReason::Gone;
        return verdict;
    }
    // A snapshot that could not be taken whole holds every file back, as its message says, but
    // tells of none that it is in use.
    const bool inUseNow =
        inUse.answer == InUse::Yes ||
        (inUse.answer == InUse::Unknown && heldOpen.isComplete() && heldOpen.mayBeHeld(status.id));
    const bool held = inUseNow || !heldOpen.isComplete();
    verdict.ageDays = age.ageInDays(status.createdMs);
    verdict.removal = held     ? Removal::Refused
                      : dryRun ? removeInDryRun(folder, name, isLink)
                               : removeEntry(folder, name);
    verdict.isHit = verdict.removal != Removal::Vanished;
    if (namesPassedOver && inUseNow)
        verdict.passedOver = PassedOverReason::InUse;
    else if (namesPassedOver && !verdict.isHit)
        verdict.passedOver = PassedOverReason::Gone;
    return verdict;
}

// A file gone since the listing, or one the run may not look at, is named; a link that leads
// nowhere, or an entry that is no regular file, never was a file to judge.
std::optional<PassedOverReason> Remover::whyNotRead(const Folder &folder, const QByteArray &name,
                                                    bool isLink, int error) const
{
    if (error == EACCES || error == EPERM)
        return PassedOverReason::NotReadable;
    if (error == ENOENT && !(isLink && entryIsThere(folder, name)))
        return PassedOverReason::Gone;
    return std::nullopt;
}

// The job file and the run log: never removed, never counted.
bool Remover::isOwnFile(const EntryStatus &status, const Folder &folder, int file) const
{
    if (status.id.isKnown())
        return ownFiles.contains(status.id);
    return ownFiles.contains(joinedPath(folder.path, folder.files.nameAt(file)));
}

// A dry run takes as removed what the real run would remove, and finds gone what the real run
// would find gone: an entry removed before (two jobs over one folder), and the target of a link
// whose way leads through an entry removed before (a link to a file the run removed, also to one
// of its names).
Removal Remover::removeInDryRun(const Folder &folder, const QByteArray &name, bool isLink)
{
    QByteArray path = pathOf(folder, name);
    const QByteArray key = keyOf(path);
    for (int step = 0; !path.isEmpty() && step <= linksFollowedAtMost; ++step) {
        if (dryRunRemoved.contains(keyOf(path)))
            return Removal::Vanished;
        path = isLink ? linkTarget(path) : QByteArray();
    }
    dryRunRemoved.insert(key);
    return Removal::Removed;
}
