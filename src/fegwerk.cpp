#include "fegwerk.h"

#include "jobfile/jobfile.h"
#include "report/runreport.h"
#include "sweep/sweep.h"
#include "system/stopsignals.h"
#include "walk/walk.h"

namespace
{
// Stopping is checked between files, so that every file removed has its entry.
bool mustStop(const RunReport &report)
{
    return report.logFailed() || stopRequested();
}
} // namespace

Fegwerk::Fegwerk(const QString &jobFilePath, const QString &logFilePath, QObject *parent)
    : QObject(parent), startTime(QDateTime::currentDateTime()), logFilePath(logFilePath),
      jobFilePath(jobFilePath)
{
    readJobFile();
    // Every job is checked after the whole file has been read, in file order. A faulty job is
    // dropped: sweeping it would apply the very patterns and period the check refused.
    for (int i = 0; i < jobs.size();) {
        const Job &job = jobs.at(i);
        if (validateJob(job.rootFolder, job.extensions.data(), job.retentionDays))
            jobs.removeAt(i);
        else
            ++i;
    }
}

Fegwerk::~Fegwerk() = default;

void Fegwerk::readJobFile()
{
    JobFile::read(jobFilePath, ownFiles, [this](const QString &line) { parseJobLine(line); });
}

void Fegwerk::parseJobLine(const QString &line)
{
    if (std::optional<Job> job = JobFile::parse(line, separatorCount))
        jobs.append(*job);
}

bool Fegwerk::validateJob(const QString &rootFolder, const QStringList *extensions,
                          int retentionDays)
{
    return JobFile::isFaulty(rootFolder, *extensions, retentionDays);
}

void Fegwerk::setDryRun(bool on)
{
    dryRun = on;
    remover.setDryRun(on);
}

void Fegwerk::run()
{
    RunReport report(logFilePath, dryRun);
    if (!report.begin(ownFiles))
        return;
    hitCount = 0;
    if (!jobs.isEmpty()) {
        heldOpen = FilesHeldOpen::snapshot();
        if (!heldOpen.isComplete())
            report.heldFilesUnknown();
    }
    for (int jobIndex = 0; jobIndex < jobs.size() && !mustStop(report); ++jobIndex) {
        report.jobBegins(jobs.at(jobIndex).rootFolder);
        sweepFolder(jobs.at(jobIndex).rootFolder, report, jobIndex);
    }
    report.end(hitCount);
}

// The tree is listed, and its files looked at, ahead of the removal here, in threads of their
// own where the system grants them; every file is judged again right before its removal, and
// everything the run shows or records is done here, in the walk's order. A folder that could
// not be listed is named, and so is the root of a walk that ran short of memory; a folder that
// has moved is passed over in silence.
void Fegwerk::sweepFolder(const QString &folderPath, RunReport &report, int jobIndex)
{
    const Job &job = jobs.at(jobIndex);
    SweepAhead ahead(folderPath, *job.extensions, job.retentionDays);
    remover.beginJob(job.retentionDays);
    JudgedBatch batch;
    bool removing = false;
    while (!mustStop(report) && ahead.next(batch)) {
        int candidate = 0;
        for (const JudgedBatch::Part &part : batch.parts) {
            if (mustStop(report))
                break;
            if (part.beginsFolder) {
                const Remover::FolderStart start = remover.beginFolder(*part.folder);
                startTime = remover.ageRule().referenceTime();
                if (start == Remover::FolderStart::NotListed)
                    report.folderNotListed(part.folder->path);
                removing = start == Remover::FolderStart::Sweep;
            }
            for (; candidate < part.candidatesEnd && removing && !mustStop(report); ++candidate)
                removeFile(*part.folder, batch, batch.candidates.at(std::size_t(candidate)),
                           report);
            candidate = part.candidatesEnd;
        }
    }
    if (ahead.wasCutShort() && !mustStop(report))
        report.folderNotListed(folderPath);
}

void Fegwerk::removeFile(const ListedFolder &folder, const JudgedBatch &batch,
                         const Candidate &candidate, RunReport &report)
{
    const Remover::Verdict verdict = remover.judgeAndRemove(folder, candidate.index);
    if (!verdict.isHit)
        return;
    ++hitCount;
    const auto path = [&] { return joinedPath(folder.path, folder.files.nameAt(candidate.index)); };
    report.hit(
        verdict.ageDays == candidate.preparedAge
            ? batch.preparedTexts(candidate)
            : RunReport::hitTexts(folder.files.nameAt(candidate.index), path(), verdict.ageDays),
        verdict.removal == Removal::Refused, path);
}
