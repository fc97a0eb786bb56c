// The sweep of one job's tree up to the removal: the walk lists the folders, and a first look
// passes over the files that cannot be hits, ahead of the removal, in threads of their own where
// the system grants them.
#ifndef KEHRLUND_SWEEP_H
#define KEHRLUND_SWEEP_H

#include "agerule.h"
#include "handover.h"
#include "listedfolder.h"
#include "namepatterns.h"
#include "walk.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <climits>
#include <memory>
#include <thread>
#include <vector>

// How one hit is shown and recorded, for one age.
struct HitTexts {
    QString shownPath;   // as the console's error messages and the run log show the path
    QByteArray logEntry; // the run log's entry for its removal
    QByteArray report;   // the console's lines for the hit
};
using HitTextMaker = HitTexts (*)(const QString &name, const QString &path, int ageDays);

// A file that may be a hit; what decides is the status read right before its removal.
struct Candidate {
    int index = 0;             // in the folder's files
    int preparedAge = INT_MIN; // the age the texts were made for, if they were
    HitTexts texts;
};

// The next candidates of one folder, in the walk's order; a folder comes in one batch or more,
// the first of which begins it (a folder with none in one empty batch).
struct JudgedBatch {
    std::shared_ptr<const ListedFolder> folder;
    bool beginsFolder = false;
    std::vector<Candidate> candidates;
};

class SweepAhead
{
  public:
    SweepAhead(const QString &rootPath, const QStringList &patterns, int retentionDays,
               HitTextMaker makeTexts);
    ~SweepAhead();
    SweepAhead(const SweepAhead &) = delete;
    SweepAhead &operator=(const SweepAhead &) = delete;

    // The next batch; false when the tree is done or a stop was requested.
    bool next(JudgedBatch &batch);

  private:
    bool judgeNext(JudgedBatch &batch);
    bool looksLikeHit(Candidate &candidate);
    void judgeAhead();

    const NamePatterns patterns;
    FolderWalk walk;
    HitTextMaker makeTexts;
    // Passes over only what is young even by tomorrow: a file the removal, a moment later and
    // perhaps past midnight, would take is never passed over.
    AgeRule lenientAge;
    std::shared_ptr<const ListedFolder> folder;
    int nextFile = 0;

    Handover<JudgedBatch> judged{8};
    std::deque<JudgedBatch> taken;
    std::thread thread;
    bool threaded = false;
    // The thread reads it: set before the thread starts, changed only once it has ended.
    bool lookingAhead = true;
    std::atomic<bool> judgedShort{false}; // the thread ran short of memory and gave up
};

#endif
