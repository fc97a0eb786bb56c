// The one place where files are removed: it judges each listed file on its status read right
// before its removal, and removes it.
#ifndef KEHRLUND_REMOVER_H
#define KEHRLUND_REMOVER_H

#include "jobfile/namepatterns.h"
#include "sweep/agerule.h"
#include "sweep/entryops.h"
#include "system/heldup.h"
#include "system/stopsignals.h"
#include "walk/walk.h"

#include <QByteArray>
#include <QHash>
#include <QVector>

#include <vector>

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

    void beginJob(int retentionDays, const NamePatterns &patterns);

    // Whether the folder's files may be removed now: only while it is still where the walk found
    // it (Listed); one that has moved is passed over with all that lies below it. Ages are
    // measured against the clock as each folder is begun.
    FolderOutcome beginFolder(const Folder &folder);

    // A file is removed only while its folder is still in its place: checked as the folder is
    // begun, and again before a removal whenever the run was held up since.
    struct Verdict {
        // Listed while the folder is still to be swept; else nothing more of it is removed.
        // NotListed also where a dry run ran short of memory to keep what it took as removed.
        FolderOutcome folder = FolderOutcome::Listed;
        bool isHit = false; // old enough, and not one of the program's own files
        Removal removal = Removal::Vanished;
        int ageDays = 0;
        // Held from right before the removal until the hit's entry is written, so that no stop
        // cuts between them; released before anything goes to the console.
        StopTurn turn;
        // Why the file stayed, where a verbose run names it: it could not be read, was gone, or
        // was held open. Never set unless asked for.
        std::optional<PassedOverReason> passedOver;
    };
    Verdict judgeAndRemove(const Folder &folder, int file);

    QDateTime referenceTime() const { return age.referenceTime(); }

  private:
    FolderOutcome checkPlace(const Folder &folder);
    bool isOwnFile(const EntryStatus &status, const Folder &folder, int file) const;

    // A dry run removes nothing, so later in the run it meets again what the real run would have
    // removed: a folder that a later job sweeps again (a tree under two spellings, or one inside
    // another job's tree), and the files and links that a link leads through. It keeps no list of
    // files, which would grow with the hits: for each folder it took files from, it keeps which
    // jobs did so and when, and an entry met again is judged as that job judged it. Only the
    // files taken in the folder in hand are marked, a bit each beside its listing.
    struct JobRule {
        NamePatterns patterns;
        int retentionDays;
    };
    struct FolderSweep {
        int job;
        qint64 begunMs;
    };
    enum class Seen { Listed, MaybeHidden };
    Removal removeInDryRun(const Folder &folder, int file, const EntryStatus &status);
    bool takenBefore(const QByteArray &folderKey, const QByteArray &name, Seen seen,
                     const EntryStatus &status) const;
    bool isTakenInHand(const QByteArray &name) const;
    void keepFolderInHand();
    std::optional<PassedOverReason> whyNotRead(const Folder &folder, const QByteArray &name,
                                               bool isLink, int error) const;

    const OwnFiles &ownFiles;
    const FilesHeldOpen &heldOpen;
    bool dryRun = false;
    bool namesPassedOver = false;
    AgeRule age{0};
    HeldUp::Mark placeChecked;
    QVector<JobRule> jobRules;
    QHash<QByteArray, QVector<FolderSweep>> foldersTaken; // by the folder's identity
    QByteArray folderInHand;
    const Folder *inHand = nullptr;
    int jobInHand = 0;
    qint64 folderBegunMs = 0;
    std::vector<bool> takenInHand; // by the file's place in the listing
    bool anyTakenInHand = false;
};

#endif
