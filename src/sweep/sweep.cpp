#include "sweep/sweep.h"

#include "sweep/entryops.h"
#include "system/stopsignals.h"

#include <QDateTime>

#include <algorithm>
#include <new>

namespace
{
constexpr std::size_t candidatesPerBatch = 256;
constexpr std::size_t partsPerBatch = 16;
// What the texts of one hit take, about: its name, its path and the fixed texts.
constexpr int textsPerHit = 160;
} // namespace

HitTexts JudgedBatch::preparedTexts(const Candidate &candidate) const
{
    HitTexts prepared;
    const char *at = texts.constData() + candidate.textsAt;
    prepared.report = QByteArray::fromRawData(at, candidate.reportLength);
    prepared.logEntry =
        QByteArray::fromRawData(at + candidate.reportLength, candidate.logEntryLength);
    return prepared;
}

// Where a thread of its own can be started, it looks at each file's status ahead of the removal
// and makes the texts of a likely hit; otherwise the removal's own look is the only one.
SweepAhead::SweepAhead(const QString &rootPath, const QStringList &patterns, int retentionDays)
    : patterns(patterns), walk(rootPath, this->patterns), lenientAge(retentionDays - 1)
{
    threaded = startWorker(thread, [this] { judgeAhead(); });
    if (!threaded)
        lookingAhead = false;
}

SweepAhead::~SweepAhead()
{
    taken.clear(); // their handles may be what the walk waits for
    walk.giveUp();
    judged.abandon();
    if (thread.joinable())
        thread.join();
}

// The folders go back to the walk, and the memory of the batch to the look ahead.
void SweepAhead::recycle(JudgedBatch &batch)
{
    for (JudgedBatch::Part &part : batch.parts) {
        if (part.folder)
            walk.giveBack(std::move(part.folder));
    }
    batch.parts.clear();
    batch.candidates.clear();
    batch.texts.resize(0); // keeps what was reserved
    if (threaded) {
        const std::lock_guard<std::mutex> lock(spareMutex);
        spare.push_back(std::move(batch));
    }
    batch = JudgedBatch();
}

JudgedBatch SweepAhead::spareBatch()
{
    const std::lock_guard<std::mutex> lock(spareMutex);
    if (spare.empty())
        return JudgedBatch();
    JudgedBatch batch = std::move(spare.back());
    spare.pop_back();
    return batch;
}

bool SweepAhead::next(JudgedBatch &batch)
{
    recycle(batch);
    if (threaded) {
        if (taken.empty() && !judged.takeAll(taken)) {
            if (!judgedShort)
                return false;
            // The thread ran short of memory: the batch it was filling, and what is left after
            // it, are judged here.
            thread.join();
            threaded = false;
            lookingAhead = false;
            batch = std::move(building);
            return !batch.parts.empty() || (!stopRequested() && judgeNext(batch));
        }
        batch = std::move(taken.front());
        taken.pop_front();
        return true;
    }
    return !stopRequested() && judgeNext(batch);
}

void SweepAhead::judgeAhead()
{
    building = spareBatch();
    try {
        while (judgeNext(building)) {
            if (!judged.give(std::move(building)))
                return;
            building = spareBatch();
        }
    } catch (const std::bad_alloc &) {
        judgedShort = true;
    }
    judged.finish();
}

// Fills the batch with the next folders' parts while the walk has folders ready, up to a bound;
// false when the tree is done (or a stop was requested) and the batch is empty.
bool SweepAhead::judgeNext(JudgedBatch &batch)
{
    while (batch.parts.size() < partsPerBatch && batch.candidates.size() < candidatesPerBatch) {
        const bool folderDone = !folder || nextFile >= folder->files.size();
        if (folderDone && !batch.parts.empty() && !walk.hasNextReady())
            break; // hand over what there is rather than wait with it
        if (!judgeFolder(batch))
            break;
    }
    return !batch.parts.empty();
}

// Adds the part of the folder in hand, or of the next one. Each step that needs memory comes
// before the step that moves on, so that running short of memory loses no file and no folder.
bool SweepAhead::judgeFolder(JudgedBatch &batch)
{
    batch.parts.reserve(partsPerBatch);
    batch.candidates.reserve(candidatesPerBatch);
    if (!folder || nextFile >= folder->files.size()) {
        folder.reset();
        folder = walk.next();
        if (!folder)
            return false;
        nextFile = 0;
        folderBegun = false;
    }
    if (lookingAhead && !folderBegun)
        lenientAge.setNow(QDateTime::currentMSecsSinceEpoch());
    batch.parts.push_back({folder, !folderBegun, int(batch.candidates.size())});
    folderBegun = true;
    JudgedBatch::Part &part = batch.parts.back();
    // Room for the texts of every file left, as if each were a hit, so that they need no more.
    const int room = int(candidatesPerBatch - batch.candidates.size());
    const int left = std::min(folder->files.size() - nextFile, room);
    if (lookingAhead)
        batch.texts.reserve(
            std::max(batch.texts.capacity(), batch.texts.size() + left * textsPerHit));
    while (nextFile < folder->files.size() && batch.candidates.size() < candidatesPerBatch) {
        if (stopRequested())
            return false;
        Candidate candidate;
        candidate.index = nextFile;
        const bool likely = !lookingAhead || looksLikeHit(candidate, batch.texts);
        ++nextFile;
        if (likely) {
            batch.candidates.push_back(candidate);
            part.candidatesEnd = int(batch.candidates.size());
        }
    }
    return true;
}

bool SweepAhead::looksLikeHit(Candidate &candidate, QByteArray &texts)
{
    const NameList &files = folder->files;
    EntryStatus status;
    if (!readStatus(*folder, files.bytesAt(candidate.index), files.isLinkAt(candidate.index),
                    status) ||
        !lenientAge.isOldEnough(status.createdMs))
        return false;
    const int ageDays = lenientAge.ageInDays(status.createdMs);
    const QString name = files.nameAt(candidate.index);
    const HitTexts made = RunReport::hitTexts(name, joinedPath(folder->path, name), ageDays);
    candidate.textsAt = texts.size();
    candidate.reportLength = made.report.size();
    candidate.logEntryLength = made.logEntry.size();
    texts += made.report + made.logEntry;
    candidate.preparedAge = ageDays;
    return true;
}
