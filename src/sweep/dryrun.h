// A dry run removes nothing, so later in the run it meets again what the real run would have
// removed: a folder a later job sweeps again (a tree under two spellings, one inside another job's
// tree, one moved there while the run went on), and the files and links a link leads through. The
// record tells which of those the real run would no longer find.
#ifndef KEHRLUND_DRYRUN_H
#define KEHRLUND_DRYRUN_H

#include "jobfile/namepatterns.h"
#include "walk/walk.h"

#include <QByteArray>
#include <QHash>
#include <QVector>

#include <vector>

// No list of files, which would grow with the hits: only the files taken in the folder in hand are
// marked, a bit each beside its listing.
class DryRunRecord
{
  public:
    void beginJob(const NamePatterns &patterns) { jobPatterns.append(patterns); }
    // Makes the room for the folder's sweep in the record before the sweep begins; throws
    // std::bad_alloc when it cannot, and loses nothing taken so far.
    void beginFolder(const Folder &folder, qint64 oldEnoughBeforeMs);
    // The sweep of the folder in hand ends before its file `file` (its count when it came to
    // every file).
    void endFolder(int file);
    // Whether the real run would have removed the file, or an entry its way leads through, before;
    // if not, the file is taken as the real run would remove it now.
    bool takenEarlier(const Folder &folder, int file, const EntryStatus &status);

  private:
    struct FolderSweep {
        int job;
        int endedBefore; // in `namesEndedBefore`: the first name it did not come to; -1 for none
        qint64 oldEnoughBeforeMs; // it took files created before
    };
    bool takenBefore(const QByteArray &folderKey, const QByteArray &name,
                     const EntryStatus &status) const;
    bool isTakenInHand(const QByteArray &name) const;

    QVector<NamePatterns> jobPatterns;
    QHash<QByteArray, QVector<FolderSweep>> foldersTaken; // by the folder's identity
    QVector<QByteArray> namesEndedBefore;                 // few: a folder seldom moves
    QByteArray folderInHand;
    const Folder *inHand = nullptr;
    qint64 oldEnoughBeforeMs = 0;
    std::vector<bool> takenInHand; // by the file's place in the listing
};

#endif
