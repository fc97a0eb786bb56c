// The sweep of one job's tree up to the removal: the walk lists the folders, and a first look
// passes over the files that cannot be hits, ahead of the removal, in threads of their own where
// the system grants them.
#ifndef KEHRLUND_SWEEP_H
#define KEHRLUND_SWEEP_H

#include "jobfile/namepatterns.h"
#include "report/runreport.h"
#include "sweep/agerule.h"
#include "system/handover.h"
#include "walk/walk.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <climits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// A file that may be a hit; what decides is the status read right before its removal.
struct Candidate {
    int index = 0;             // in the folder's files
    int preparedAge = INT_MIN; // the age its texts were made for, if they were
    int textsAt = 0;           // its console lines, then its log entry, in the batch's texts
    int reportLength = 0;
    int logEntryLength = 0;
};

// A stretch of the walk: the candidates of one folder or more, in the walk's order. Each folder
// has its part, a folder without candidates too (the removal checks every folder's place), and a
// folder of many files goes on over several batches; its first part begins it. The texts made
// ahead for the candidates lie in one buffer: the removal, in another thread, then frees nothing
// of them one by one, which would make it wait for the memory allocator's lock of the thread
// that made them. Folders go over together, so that a thread that waits is woken once for many.
struct JudgedBatch {
    struct Part {
        std::shared_ptr<const ListedFolder> folder;
        bool beginsFolder = false;
        int candidatesEnd = 0; // its candidates follow the previous part's, up to here
    };
    std::vector<Part> parts;
    std::vector<Candidate> candidates;
    QByteArray texts;

    // The texts made ahead for the candidate, without the shown path; views into `texts`.
    HitTexts preparedTexts(const Candidate &candidate) const;
};

class SweepAhead
{
  public:
    SweepAhead(const QString &rootPath, const QStringList &patterns, int retentionDays);
    ~SweepAhead();
    SweepAhead(const SweepAhead &) = delete;
    SweepAhead &operator=(const SweepAhead &) = delete;

    // The next batch; false when the tree is done or a stop was requested.
    bool next(JudgedBatch &batch);
    // The walk ran short of memory and ended early: the rest of the tree was not swept.
    bool wasCutShort() const { return walk.wasCutShort(); }

  private:
    void recycle(JudgedBatch &batch);
    JudgedBatch spareBatch();
    bool judgeNext(JudgedBatch &batch);
    bool judgeFolder(JudgedBatch &batch);
    bool looksLikeHit(Candidate &candidate, QByteArray &texts);
    void judgeAhead();

    const NamePatterns patterns;
    FolderWalk walk;
    // Passes over only what is young even by tomorrow: a file the removal, a moment later and
    // perhaps past midnight, would take is never passed over.
    AgeRule lenientAge;
    std::shared_ptr<const ListedFolder> folder;
    int nextFile = 0;
    bool folderBegun = false; // its first part is made

    Handover<JudgedBatch> judged{8};
    JudgedBatch building; // the thread's, until it has ended
    std::deque<JudgedBatch> taken;
    // Batches done with, kept for their memory: each thread frees nothing the other made.
    std::mutex spareMutex;
    std::vector<JudgedBatch> spare;
    std::thread thread;
    bool threaded = false;
    // The thread reads it: set before the thread starts, changed only once it has ended.
    bool lookingAhead = true;
    std::atomic<bool> judgedShort{false}; // the thread ran short of memory and gave up
};

#endif
