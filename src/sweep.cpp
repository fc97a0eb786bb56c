#include "sweep.h"

#include "entryops.h"
#include "stopsignals.h"
#include "workerthread.h"

#include <QDateTime>

#include <new>

namespace
{
constexpr std::size_t candidatesPerBatch = 256;
}

// Where a thread of its own can be started, it looks at each file's status ahead of the removal
// and makes the texts of a likely hit; otherwise the removal's own look is the only one.
SweepAhead::SweepAhead(const QString &rootPath, const QStringList &patterns, int retentionDays,
                       HitTextMaker makeTexts)
    : patterns(patterns), walk(rootPath, this->patterns), makeTexts(makeTexts),
      lenientAge(retentionDays - 1)
{
    threaded = startWorker(thread, [this] { judgeAhead(); });
    if (!threaded)
        lookingAhead = false;
}

SweepAhead::~SweepAhead()
{
    walk.giveUp();
    judged.abandon();
    if (thread.joinable())
        thread.join();
}

bool SweepAhead::next(JudgedBatch &batch)
{
    batch = JudgedBatch(); // lets go of its folder: the walk may want the handles back
    if (threaded) {
        if (taken.empty() && !judged.takeAll(taken)) {
            if (!judgedShort)
                return false;
            // The thread ran short of memory: what is left is judged here.
            thread.join();
            threaded = false;
            lookingAhead = false;
            return !stopRequested() && judgeNext(batch);
        }
        batch = std::move(taken.front());
        taken.pop_front();
        return true;
    }
    return !stopRequested() && judgeNext(batch);
}

void SweepAhead::judgeAhead()
{
    JudgedBatch batch;
    try {
        while (judgeNext(batch)) {
            if (!judged.give(std::move(batch)))
                return;
            batch = JudgedBatch();
        }
    } catch (const std::bad_alloc &) {
        judgedShort = true;
    }
    judged.finish();
}

// Allocates what it needs before it moves on, so that running short of memory loses no file.
bool SweepAhead::judgeNext(JudgedBatch &batch)
{
    batch.candidates.reserve(candidatesPerBatch);
    if (!folder || nextFile >= folder->files.size()) {
        folder.reset();
        folder = walk.next();
        if (!folder)
            return false;
        nextFile = 0;
        batch.beginsFolder = true;
        if (lookingAhead)
            lenientAge.setNow(QDateTime::currentMSecsSinceEpoch());
    }
    batch.folder = folder;
    while (nextFile < folder->files.size() && batch.candidates.size() < candidatesPerBatch) {
        if (stopRequested())
            return false;
        Candidate candidate;
        candidate.index = nextFile;
        const bool likely = !lookingAhead || looksLikeHit(candidate);
        ++nextFile;
        if (likely)
            batch.candidates.push_back(std::move(candidate));
    }
    return true;
}

bool SweepAhead::looksLikeHit(Candidate &candidate)
{
    const NameList &files = folder->files;
    EntryStatus status;
    if (!readStatus(*folder, files.bytesAt(candidate.index), files.isLinkAt(candidate.index),
                    status) ||
        !lenientAge.isOldEnough(status.createdMs))
        return false;
    const int ageDays = lenientAge.ageInDays(status.createdMs);
    const QString name = files.nameAt(candidate.index);
    candidate.texts = makeTexts(name, joinedPath(folder->path, name), ageDays);
    candidate.preparedAge = ageDays;
    return true;
}
