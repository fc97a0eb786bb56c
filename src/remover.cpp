#include "remover.h"

#include "openfiles.h"
#include "ownfiles.h"
#include "walk.h"

#include <QDateTime>

Remover::Remover(const OwnFiles &ownFiles, const FilesHeldOpen &heldOpen)
    : ownFiles(ownFiles), heldOpen(heldOpen)
{
}

void Remover::beginJob(int retentionDays)
{
    age = AgeRule(retentionDays);
    movedDepth = -1;
}

// The walk hands the folders on in its order, each folder before its subfolders, so the tree of
// a folder that has moved is what follows it, deeper than it.
Remover::FolderStart Remover::beginFolder(const ListedFolder &folder)
{
    age.setNow(QDateTime::currentMSecsSinceEpoch());
    if (movedDepth >= 0 && folder.depth > movedDepth)
        return FolderStart::PassOver;
    movedDepth = -1;
    if (folder.notSwept)
        return FolderStart::NotListed;
    if (isStillInPlace(folder))
        return FolderStart::Sweep;
    movedDepth = folder.depth;
    return FolderStart::PassOver;
}

// A file held open, or any file while the snapshot of held files is incomplete, is refused as
// the system refuses what it will not remove.
Remover::Verdict Remover::judgeAndRemove(const ListedFolder &folder, int file)
{
    Verdict verdict;
    const QByteArray name = folder.files.bytesAt(file);
    const bool isLink = folder.files.isLinkAt(file);
    EntryStatus status;
    if (!readStatus(folder, name, isLink, status) || !age.isOldEnough(status.createdMs) ||
        isOwnFile(status, folder, file))
        return verdict;
    verdict.ageDays = age.ageInDays(status.createdMs);
    verdict.removal = heldOpen.mayBeHeld(status.id) ? Removal::Refused
                      : dryRun                      ? removeInDryRun(folder, name, isLink)
                                                    : removeEntry(folder, name);
    verdict.isHit = verdict.removal != Removal::Vanished;
    return verdict;
}

// The job file and the run log: never removed, never counted.
bool Remover::isOwnFile(const EntryStatus &status, const ListedFolder &folder, int file) const
{
    if (status.id.isKnown())
        return ownFiles.contains(status.id);
    return ownFiles.contains(joinedPath(folder.path, folder.files.nameAt(file)));
}

Removal Remover::removeInDryRun(const ListedFolder &folder, const QByteArray &name, bool isLink)
{
    if (dryRunRemoved.isGone(folder, name, isLink))
        return Removal::Vanished;
    dryRunRemoved.remember(folder, name);
    return Removal::Removed;
}
