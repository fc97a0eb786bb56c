// What the sweep does to one entry of a listed folder, right as it comes to remove it: read its
// status and remove it. One version per back end of the walk, chosen by the build.
#ifndef KEHRLUND_ENTRYOPS_H
#define KEHRLUND_ENTRYOPS_H

#include "system/fileid.h"
#include "walk/walk.h"

#include <QByteArray>
#include <QVector>

struct EntryStatus {
    qint64 createdMs = 0; // birth time, or status-change time where no birth time is kept
    FileId id;
    int error = 0; // why it could not be read: the system's error; 0 when it is no regular file
};

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

// The status of a file of the folder, by its name as the file system spells it; false when it is
// not a regular file (any more), or, where the walk listed a link, a link that leads to none.
bool readStatus(const Folder &folder, const QByteArray &name, bool isLink, EntryStatus &status);

// Removed, Refused, or Gone where it is no longer there to remove.
FileOutcome removeEntry(const Folder &folder, const QByteArray &name);

// The way a link listed in the folder takes: for each entry it leads through (the links on the way
// and the file at its end), the identity of the folder that holds it (its path, where the system
// tells no identities) and its name there. Empty for an entry that is no link.
// How many links in a row the system itself follows before it gives up; a dry run follows as many.
constexpr int linksFollowedAtMost = 40;

struct WayStep {
    FileId folder;
    QString folderPath;
    QByteArray name;
};
QVector<WayStep> wayOfLink(const Folder &folder, const QByteArray &name);

// Whether the entry itself is there, a link not followed.
bool entryIsThere(const Folder &folder, const QByteArray &name);

// Whether another process has the file open or mapped, asked right before its removal. Where the
// system can tell exactly (Linux: a write lease, which it grants only while no other process has
// the file open or mapped, and which makes any other process that opens the file wait), the
// answer holds while this lives: the removal is made meanwhile. Unknown where the system cannot
// be asked (a file the program may not open or lease, a file system without leases, no such
// thing on this system); Changed when the name leads to another file than the one judged.
class InUse
{
  public:
    enum Answer { No, Yes, Unknown, Changed };

    InUse(const Folder &folder, const QByteArray &name, bool isLink, const FileId &id);
    ~InUse();
    InUse(const InUse &) = delete;
    InUse &operator=(const InUse &) = delete;

    Answer answer = Unknown;

  private:
    Answer ask(const Folder &folder, const QByteArray &name, bool isLink, const FileId &id);

    int handle = -1;
};

#endif
