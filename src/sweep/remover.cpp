#include "sweep/remover.h"

#include "system/openfiles.h"
#include "system/ownfiles.h"

#include <QDateTime>

#include <cerrno>

void Remover::beginJob(int retentionDays, const NamePatterns &patterns)
{
    age = AgeRule(retentionDays);
    if (dryRun)
        dryRunRecord.beginJob(patterns);
}

FolderOutcome Remover::beginFolder(const Folder &folder)
{
    age.setNow(QDateTime::currentMSecsSinceEpoch());
    if (dryRun)
        dryRunRecord.beginFolder(folder, age.oldEnoughBefore());
    placeKnown = false;
    return folder.outcome;
}

FolderOutcome Remover::checkPlace(const Folder &folder)
{
    placeKnown = true;
    placeChecked.renew();
    return folder.place();
}

// A file gone since the listing, or one the run may not look at, is named in a verbose run; a
// link that leads nowhere, or an entry that is no regular file, never was a file to judge.
FileOutcome Remover::judge(const Folder &folder, int file, Judgement &judged)
{
    const QByteArray name = folder.files.bytesAt(file);
    const bool isLink = folder.files.isLinkAt(file);
    EntryStatus &status = judged.status;
    if (!folder.readStatus(name, isLink, status)) {
        if (status.error == EACCES || status.error == EPERM)
            return FileOutcome::NotReadable;
        if (status.error == ENOENT && !(isLink && folder.entryIsThere(name)))
            return FileOutcome::Gone;
        return FileOutcome::NotAFile;
    }
    if (!age.isOldEnough(status.createdMs))
        return FileOutcome::Young;
    if (ownFiles.contains(status.id,
                          [&] { return joinedPath(folder.path, folder.files.nameAt(file)); }))
        return FileOutcome::OwnFile;
    // Checked before the folder's first file goes, once moves are watched for (asked first).
    if (folder.reportedMoved() || !placeKnown || placeChecked.heldUpSince()) {
        const FolderOutcome place = checkPlace(folder);
        if (place != FolderOutcome::Listed)
            return place == FolderOutcome::Moved ? FileOutcome::FolderMoved
                                                 : FileOutcome::FolderNotListed;
    }
    judged.ageDays = age.ageInDays(status.createdMs);
    const Folder::InUse &inUse = judged.lease.emplace(folder, name, isLink, status.id);
    if (inUse.answer == Folder::InUse::Changed)
        return FileOutcome::Gone;
    // A snapshot that could not be taken whole holds every file back, as its message says, but
    // tells of none that it is in use.
    if (inUse.answer == Folder::InUse::Yes ||
        (inUse.answer == Folder::InUse::Unknown && heldOpen.isComplete() &&
         heldOpen.mayBeHeld(status.id)))
        return FileOutcome::InUse;
    return heldOpen.isComplete() ? FileOutcome::Go : FileOutcome::Refused;
}

FileOutcome Remover::remove(const Folder &folder, int file, Judgement &judged)
{
    FileOutcome outcome = FileOutcome::Removed;
    if (dryRun && dryRunRecord.takenEarlier(folder, file, judged.status))
        outcome = FileOutcome::TakenEarlier;
    else if (const int error = dryRun ? 0 : folder.remove(folder.files.bytesAt(file)))
        outcome = error == ENOENT || error == EISDIR ? FileOutcome::Gone : FileOutcome::Refused;
    judged.lease.reset();
    return outcome;
}
