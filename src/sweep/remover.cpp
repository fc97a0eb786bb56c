#include "sweep/remover.h"

#include "system/openfiles.h"
#include "system/ownfiles.h"
#include "walk/walk.h"

#include <QDateTime>
#include <QFileInfo>

#include <cerrno>
#include <new>

namespace
{
// A folder's key in a dry run's record: its identity, or where the system tells none, its
// canonical path.
QByteArray folderKeyOf(const FileId &id, const QString &path)
{
    if (id.isKnown())
        return QByteArray::number(id.device, 36) + ':' + QByteArray::number(id.inode, 36);
    return QFileInfo(path).canonicalFilePath().toUtf8();
}
} // namespace

Remover::Remover(const OwnFiles &ownFiles, const FilesHeldOpen &heldOpen)
    : ownFiles(ownFiles), heldOpen(heldOpen)
{
}

void Remover::beginJob(int retentionDays, const NamePatterns &patterns)
{
    age = AgeRule(retentionDays);
    if (dryRun)
        jobRules.append({patterns, retentionDays});
}

FolderOutcome Remover::beginFolder(const Folder &folder)
{
    if (dryRun) {
        // The room for this folder's sweep in the record is made before it begins: a record
        // that cannot grow has the folder named, not swept, and never loses what was taken.
        try {
            keepFolderInHand();
            const QByteArray key = folderKeyOf(folder.id, folder.path);
            QVector<FolderSweep> &sweeps = foldersTaken[key];
            sweeps.reserve(sweeps.size() + 1);
            folderInHand = key;
            jobInHand = jobRules.size() - 1;
            inHand = &folder;
            takenInHand.assign(size_t(folder.files.size()), false);
        } catch (const std::bad_alloc &) {
            inHand = nullptr;
            return FolderOutcome::NotListed;
        }
    }
    folderBegunMs = QDateTime::currentMSecsSinceEpoch();
    age.setNow(folderBegunMs);
    return folder.outcome == FolderOutcome::Listed ? checkPlace(folder) : folder.outcome;
}

FolderOutcome Remover::checkPlace(const Folder &folder)
{
    reportedMoved(folder); // what was reported so far, the check sees
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
    if (reportedMoved(folder) || placeChecked.heldUpSince()) {
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
    verdict.turn = StopTurn::take();
    try {
        verdict.removal = held     ? Removal::Refused
                          : dryRun ? removeInDryRun(folder, file, status)
                                   : removeEntry(folder, name);
    } catch (const std::bad_alloc &) {
        verdict.folder = FolderOutcome::NotListed;
        return verdict;
    }
    verdict.isHit = verdict.removal != Removal::Vanished;
    // What a dry run finds gone, the real run would not have met at all: it is not named.
    if (namesPassedOver && inUseNow)
        verdict.passedOver = PassedOverReason::InUse;
    else if (namesPassedOver && !verdict.isHit && !dryRun)
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
// would find gone: an entry removed before (two jobs over one folder), and a link whose way leads
// through an entry removed before (a link to a file the run removed, also to one of its names).
Removal Remover::removeInDryRun(const Folder &folder, int file, const EntryStatus &status)
{
    const QByteArray name = folder.files.bytesAt(file);
    if (takenBefore(folderInHand, name, Seen::Listed, status))
        return Removal::Vanished;
    if (folder.files.isLinkAt(file)) {
        for (const WayStep &step : wayOfLink(folder, name)) {
            const QByteArray key = folderKeyOf(step.folder, step.folderPath);
            if ((key == folderInHand && isTakenInHand(step.name)) ||
                takenBefore(key, step.name, Seen::MaybeHidden, status))
                return Removal::Vanished;
        }
    }
    takenInHand[size_t(file)] = true;
    anyTakenInHand = true;
    return Removal::Removed;
}

// Whether an earlier sweep of the folder took the entry. An entry listed in the folder now was
// listed by every earlier sweep of it; one a link leads to was listed only when its name is not
// hidden. The file at the end of the way is the same for every step of it: its age decides for
// all.
bool Remover::takenBefore(const QByteArray &folderKey, const QByteArray &name, Seen seen,
                          const EntryStatus &status) const
{
    if (seen == Seen::MaybeHidden && name.startsWith('.'))
        return false;
    const auto sweeps = foldersTaken.constFind(folderKey);
    if (sweeps == foldersTaken.constEnd())
        return false;
    for (const FolderSweep &sweep : *sweeps) {
        const JobRule &rule = jobRules.at(sweep.job);
        AgeRule then(rule.retentionDays);
        then.setNow(sweep.begunMs);
        if (rule.patterns.matches(name) && then.isOldEnough(status.createdMs))
            return true;
    }
    return false;
}

// Only a link leads back into the folder in hand, and seldom: its listing is searched then.
bool Remover::isTakenInHand(const QByteArray &name) const
{
    for (int file = 0; anyTakenInHand && file < inHand->files.size(); ++file) {
        if (takenInHand[size_t(file)] && inHand->files.bytesAt(file) == name)
            return true;
    }
    return false;
}

// The folder in hand is done with: when files were taken from it, the record keeps the sweep, in
// the room made for it (no memory is asked for); else the room goes.
void Remover::keepFolderInHand()
{
    const auto sweeps = foldersTaken.find(folderInHand);
    if (sweeps != foldersTaken.end() && anyTakenInHand)
        sweeps->append({jobInHand, folderBegunMs});
    else if (sweeps != foldersTaken.end() && sweeps->isEmpty())
        foldersTaken.erase(sweeps);
    folderInHand.clear();
    anyTakenInHand = false;
}
