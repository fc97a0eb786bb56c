// What became of a listed file, as the sweep judged it and removed it.
#ifndef KEHRLUND_FILEOUTCOME_H
#define KEHRLUND_FILEOUTCOME_H

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

#endif
