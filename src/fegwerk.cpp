#include "fegwerk.h"

#include "jobfile/namepatterns.h"
#include "report/runreport.h"
#include "system/lackofresources.h"
#include "system/stopsignals.h"

#include <algorithm>

namespace
{
// Stopping is checked between files, so that every file removed has its entry.
bool mustStop(const RunReport &report)
{
    return report.logFailed() || stopRequested();
}

// Named also when memory ran short: the memory kept back for it is given back first.
void reportNotListed(RunReport &report, const QString &path)
{
    spendMemoryReserve();
    report.folderNotListed(path);
    keepMemoryReserve();
}
} // namespace

Fegwerk::Fegwerk(const QString &jobFilePath, const QString &logFilePath, QObject *parent)
    : QObject(parent), startTime(QDateTime::currentDateTime()), logFilePath(logFilePath),
      jobFilePath(jobFilePath)
{
    readJobFile();
    // Every job is checked after the whole file has been read, in file order. A faulty job is
    // dropped: sweeping it would apply the very patterns and period the check refused.
    const auto faulty = [this](const Job &job) {
        return validateJob(job.rootFolder, job.extensions.data(), job.retentionDays);
    };
    jobs.erase(std::remove_if(jobs.begin(), jobs.end(), faulty), jobs.end());
}

void Fegwerk::readJobFile()
{
    JobFile::read(
        jobFilePath, ownFiles, [this](const QString &line) { parseJobLine(line); },
        RunReport::jobFault);
}

void Fegwerk::parseJobLine(const QString &line)
{
    if (std::optional<Job> job = JobFile::parse(line, separatorCount))
        jobs.append(*job);
    else
        RunReport::jobFault({JobFault::WrongLine, {}, 0});
}

bool Fegwerk::validateJob(const QString &rootFolder, const QStringList *extensions,
                          int retentionDays)
{
    const QVector<JobFault> faults = JobFile::faultsOf(rootFolder, *extensions, retentionDays);
    for (const JobFault &fault : faults)
        RunReport::jobFault(fault);
    return !faults.isEmpty();
}

void Fegwerk::run()
{
    RunReport report(logFilePath, dryRun, verbose);
    remover.beginRun(report.writesThatBlocked(), dryRun);
    hitCount = 0;
    if (!report.begin(ownFiles, hitCount))
        return;
    keepMemoryReserve();
    if (!jobs.isEmpty()) {
        heldOpen = FilesHeldOpen::snapshot();
        if (!heldOpen.isComplete())
            report.heldFilesUnknown();
    }
    for (int jobIndex = 0; jobIndex < jobs.size() && !mustStop(report); ++jobIndex) {
        report.jobBegins(jobs.at(jobIndex).rootFolder);
        sweepFolder(jobs.at(jobIndex).rootFolder, report, jobIndex);
        report.jobEnds();
    }
    report.end(hitCount);
}

void Fegwerk::sweepFolder(const QString &folderPath, RunReport &report, int jobIndex)
{
    startTime = QDateTime::currentDateTime();
    const Job &job = jobs.at(jobIndex);
    const NamePatterns patterns(*job.extensions);
    FolderWalk walk(folderPath, patterns, verbose);
    remover.beginJob(job.retentionDays, patterns);
    while (!mustStop(report)) {
        const Folder *folder = walk.next();
        if (verbose) {
            for (const PassedOver &entry : walk.takePassedOver())
                report.passedOver(entry);
        }
        if (!folder)
            break;
        const FolderOutcome outcome = sweepFiles(*folder, report);
        if (outcome == FolderOutcome::NotListed)
            reportNotListed(report, folder->path);
        if (outcome == FolderOutcome::Moved)
            walk.passOverMoved();
    }
    if (walk.wasCutShort() && !mustStop(report))
        reportNotListed(report, folderPath);
}

// Short of memory (a dry run's record that cannot grow, a message that cannot be made), the
// folder is named as not listed and the run goes on.
FolderOutcome Fegwerk::sweepFiles(const Folder &folder, RunReport &report)
{
    int file = 0;
    FolderOutcome outcome = FolderOutcome::NotListed;
    try {
        outcome = remover.beginFolder(folder);
        while (outcome == FolderOutcome::Listed && file < folder.files.size() &&
               !mustStop(report)) {
            outcome = removeFile(folder, file, report);
            file += outcome == FolderOutcome::Listed ? 1 : 0;
        }
        if (outcome == FolderOutcome::Listed && !mustStop(report))
            outcome = remover.placeAfterSweep(folder);
    } catch (const std::bad_alloc &) {
        outcome = FolderOutcome::NotListed;
    }
    remover.endFolder(file);
    return outcome;
}

// One to go is removed and recorded in one turn, so that no stop parts them.
FolderOutcome Fegwerk::removeFile(const Folder &folder, int file, RunReport &report)
{
    Remover::Judgement judged;
    FileOutcome outcome = remover.judge(folder, file, judged);
    StopTurn turn;
    if (outcome == FileOutcome::Go) {
        turn = report.turnForRemoval(folder, file, judged.ageDays);
        outcome = remover.remove(folder, file, judged);
    }
    if (isHit(outcome))
        ++hitCount;
    report.fileDone(folder, file, outcome, judged.ageDays, std::move(turn));
    if (outcome == FileOutcome::FolderMoved)
        return FolderOutcome::Moved;
    return outcome == FileOutcome::FolderNotListed ? FolderOutcome::NotListed
                                                   : FolderOutcome::Listed;
}
