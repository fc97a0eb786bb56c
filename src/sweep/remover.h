#ifndef KEHRLUND_REMOVER_H
#define KEHRLUND_REMOVER_H

#include "sweep/agerule.h"
#include "sweep/dryrun.h"
#include "system/heldup.h"
#include "walk/walk.h"

#include <optional>

class FilesHeldOpen;
class NamePatterns;
class OwnFiles;

// What became of a listed file, as the sweep judged it and removed it.
enum class FileOutcome {
    NotAFile,    // no regular file (any more), or a link that leads to none: nothing to judge
    NotReadable, // its status may not be read
    Gone,        // gone since the listing, or another file in its place: another got there first
    Young,       // not old enough
    OwnFile,     // the job file or the run log: never removed, never counted
    InUse,       // another process holds it open: refused
    FolderMoved, // its folder has left its place: passed over with all below it
    FolderNotListed, // its folder's place could not be checked for lack of descriptors or memory
    Go,              // to be removed, now
    Removed,
    Refused,      // the system would not remove it, or no file may go (no snapshot could be taken)
    TakenEarlier, // a dry run took it before: the real run would not have met it
};

// A hit is a file old enough to go, counted and recorded whether it went or not.
inline bool isHit(FileOutcome outcome)
{
    return outcome == FileOutcome::Removed || outcome == FileOutcome::Refused ||
           outcome == FileOutcome::InUse;
}

class Remover
{
  public:
    Remover(const OwnFiles &ownFiles, const FilesHeldOpen &heldOpen)
        : ownFiles(ownFiles), heldOpen(heldOpen)
    {
    }

    // A folder's place is checked again after one of the run's writes counted here blocked. A dry
    // run removes nothing, and takes as removed what the real run would remove.
    void beginRun(const HeldUp::Count &writesThatBlocked, bool dryRunOn)
    {
        placeChecked = HeldUp::Mark(writesThatBlocked);
        dryRun = dryRunOn;
    }
    void beginJob(int retentionDays, const NamePatterns &patterns);

    // Whether the folder's files may be judged (Listed). Ages are measured against the clock as
    // each folder is begun. A dry run short of memory for its record throws std::bad_alloc.
    FolderOutcome beginFolder(const Folder &folder);
    // Whether the folder is still in its place, for the walk to go below it: checked here where
    // no file to go checked it.
    FolderOutcome placeAfterSweep(const Folder &folder)
    {
        return placeKnown ? FolderOutcome::Listed : checkPlace(folder);
    }
    // As DryRunRecord::endFolder; a real run's record has nothing in hand.
    void endFolder(int file) { dryRunRecord.endFolder(file); }

    struct Judgement {
        int ageDays = 0;
        EntryStatus status;
        std::optional<Folder::InUse> lease; // for a file to go, across its removal
    };
    FileOutcome judge(const Folder &folder, int file, Judgement &judged);
    // Removes a file judged to go: Removed, Refused, or Gone; in a dry run, as the real run would.
    FileOutcome remove(const Folder &folder, int file, Judgement &judged);

  private:
    FolderOutcome checkPlace(const Folder &folder);

    const OwnFiles &ownFiles;
    const FilesHeldOpen &heldOpen;
    bool dryRun = false;
    AgeRule age{0};
    HeldUp::Mark placeChecked;
    bool placeKnown = false; // the folder's place was checked since it began
    DryRunRecord dryRunRecord;
};

#endif
