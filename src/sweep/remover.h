// The one place where files are removed: it judges each listed file on its status read right
// before its removal, and removes it.
#ifndef KEHRLUND_REMOVER_H
#define KEHRLUND_REMOVER_H

#include "sweep/agerule.h"
#include "sweep/entryops.h"
#include "system/heldup.h"
#include "walk/walk.h"

#include <QByteArray>
#include <QSet>

#include <optional>

class FilesHeldOpen;
class OwnFiles;

class Remover
{
  public:
    Remover(const OwnFiles &ownFiles, const FilesHeldOpen &heldOpen);

    // A dry run removes nothing, and takes as removed what the real run would remove.
    void setDryRun(bool on) { dryRun = on; }
    // Whether a verdict tells why a file was passed over (a verbose run names it).
    void setNamesPassedOver(bool on) { namesPassedOver = on; }

    void beginJob(int retentionDays);

    // Whether the folder's files may be removed now: only while it is still where the walk found
    // it (Listed); one that has moved is passed over with all that lies below it. Ages are
    // measured against the clock as each folder is begun.
    FolderOutcome beginFolder(const Folder &folder);

    // A file is removed only while its folder is still in its place: checked as the folder is
    // begun, and again before a removal whenever the run was held up since.
    struct Verdict {
        // Listed while the folder is still to be swept; else nothing more of it is removed.
        FolderOutcome folder = FolderOutcome::Listed;
        bool isHit = false; // old enough, and not one of the program's own files
        Removal removal = Removal::Vanished;
        int ageDays = 0;
        // Why the file stayed, where a verbose run names it: it could not be read, was gone, or
        // was held open. Never set unless asked for.
        std::optional<PassedOverReason> passedOver;
    };
    Verdict judgeAndRemove(const Folder &folder, int file);

    QDateTime referenceTime() const { return age.referenceTime(); }

  private:
    FolderOutcome checkPlace(const Folder &folder);
    bool isOwnFile(const EntryStatus &status, const Folder &folder, int file) const;
    Removal removeInDryRun(const Folder &folder, const QByteArray &name, bool isLink);
    std::optional<PassedOverReason> whyNotRead(const Folder &folder, const QByteArray &name,
                                               bool isLink, int error) const;

    const OwnFiles &ownFiles;
    const FilesHeldOpen &heldOpen;
    bool dryRun = false;
    bool namesPassedOver = false;
    AgeRule age{0};
    HeldUp::Mark placeChecked;
    QSet<QByteArray> dryRunRemoved; // what a dry run took as removed, as keyOf() makes it
};

#endif
