// The sweep of one job's folder tree: the decision whether a file the walk yields is a hit, and
// the removal of hits with their report.
#include "fegwerk.h"

#include "agerule.h"
#include "consolemessage.h"
#include "namepatterns.h"
#include "runlog.h"
#include "sweep.h"
#include "walk.h"

#include <QDateTime>

void Fegwerk::sweepFolder(const QString &folderPath, RunLog &runLog, int jobIndex)
{
    const Job job = jobs.at(jobIndex);
    const NamePatterns patterns(*job.extensions);
    AgeRule age(job.retentionDays);
    FolderWalk walk(folderPath, patterns);
    WalkEntry entry;
    while (!mustStop() && walk.next(entry)) {
        // Ages are measured against the clock as each folder is begun.
        if (entry.startsFolder && age.setNow(QDateTime::currentMSecsSinceEpoch()))
            startTime = age.referenceTime();
        EntryStatus status;
        if (!walk.readStatus(entry, status) || !age.isOldEnough(status.createdMs))
            continue;
        const QString name = entry.name();
        const QString path = joinedPath(entry.folderPath, name);
        if (ownFiles.contains(status.id, path))
            continue; // the job file or the run log: never deleted, never counted
        removeFile(Hit{walk, entry, path, shownName(path), shownName(name),
                       age.ageInDays(status.createdMs), status.id, status.names},
                   runLog);
    }
}

// In a dry run a hit counts as removed unless it is held open: what the system itself would
// refuse cannot be foreseen. The log entry goes out before the console lines, so that a console
// that fails cannot part a removal from its record. When the entry cannot be written, the run
// stops: the console names the one file the log lacks.
void Fegwerk::removeFile(const Hit &hit, RunLog &runLog)
{
    const bool heldOpen = hit.id.isKnown() && openFiles.contains(hit.id);
    const Removal outcome = heldOpen ? Removal::Refused
                            : dryRun ? removeInDryRun(hit)
                                     : hit.walk.remove(hit.entry);
    if (outcome == Removal::Vanished)
        return; // not there any more: nothing of this run to report or count

    const QString failed = tr("Fehler 005: Konnte Datei ");
    const QString ending = tr(" nicht löschen");
    const bool logged =
        outcome == Removal::Removed
            ? runLog.append({hit.shownPath, QString::number(hit.ageDays) + tr(" Tage")})
            : runLog.append({failed + hit.shownPath + ending});
    ++hitCount;

    ConsoleMessage report;
    report << tr("Treffer: ") << hit.shownFileName;
    report.nextLine() << tr("Alter in Tagen: ") << hit.ageDays;
    if (outcome == Removal::Refused)
        report.nextLine(ConsoleMessage::Error) << failed << hit.shownPath << ending;
    if (!logged) {
        logFailed = true;
        report.nextLine(ConsoleMessage::Error) << logNotWritten() << hit.shownPath;
    }
}

// What the real run would find gone: an entry an earlier hit removed (two jobs over one folder),
// and a file whose only name an earlier hit removed (reached again through a link).
Removal Fegwerk::removeInDryRun(const Hit &hit)
{
    const bool onlyName = hit.id.isKnown() && hit.names == 1;
    if (dryRunRemoved.paths.contains(hit.path) || (onlyName && dryRunRemoved.ids.contains(hit.id)))
        return Removal::Vanished;
    dryRunRemoved.paths.insert(hit.path);
    if (onlyName)
        dryRunRemoved.ids.insert(hit.id);
    return Removal::Removed;
}
