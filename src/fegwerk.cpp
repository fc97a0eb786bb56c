#include "fegwerk.h"

#include "jobfile/namepatterns.h"
#include "report/runreport.h"
#include "system/lackofresources.h"
#include "system/stopsignals.h"
#include "walk/walk.h"

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

void Fegwerk::setDryRun(bool on)
{
    dryRun = on;
    remover.setDryRun(on);
}

void Fegwerk::setVerbose(bool on)
{
    verbose = on;
    remover.setNamesPassedOver(on);
}

void Fegwerk::run()
{
    RunReport report(logFilePath, dryRun);
    if (!report.begin(ownFiles))
        return;
    hitCount = 0;
    keepMemoryReserve();
    guardStop([&] { report.endCutOff(hitCount); });
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

// One loop over the tree: take the next folder, check that it is still in its place, and judge
// and remove each of its listed files in turn, right as its status is read. A folder that could
// not be listed, or whose place could not be checked, for lack of descriptors or memory is
// named, and so is the root of a walk that ran short of memory; a folder that has moved, as it
// is begun or while it is swept, is passed over with all below it, in silence unless the run is
// verbose. What the walk passed over is named as it comes, before the folder it yields next.
void Fegwerk::sweepFolder(const QString &folderPath, RunReport &report, int jobIndex)
{
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
        FolderOutcome outcome = remover.beginFolder(*folder);
        startTime = remover.referenceTime();
        for (int file = 0;
             outcome == FolderOutcome::Listed && file < folder->files.size() && !mustStop(report);
             ++file)
            outcome = removeFile(*folder, file, report);
        if (outcome == FolderOutcome::NotListed)
            reportNotListed(report, folder->path);
        if (outcome == FolderOutcome::Moved)
            walk.passOverMoved();
    }
    if (walk.wasCutShort() && !mustStop(report))
        reportNotListed(report, folderPath);
}

FolderOutcome Fegwerk::removeFile(const Folder &folder, int file, RunReport &report)
{
    Remover::Verdict verdict = remover.judgeAndRemove(folder, file);
    if (verdict.folder != FolderOutcome::Listed)
        return verdict.folder;
    if (verdict.isHit) {
        ++hitCount;
        report.hit(
            folder.path, folder.files.bytesAt(file), [&] { return folder.files.nameAt(file); },
            verdict.ageDays, verdict.removal == Removal::Refused, std::move(verdict.turn));
    }
    verdict.turn.release(); // a file found gone has no entry to wait for
    if (verdict.passedOver)
        report.passedOver(
            {joinedPath(folder.path, folder.files.nameAt(file)), *verdict.passedOver});
    return FolderOutcome::Listed;
}
