// The sweep of one job's folder tree: the decision whether a file the walk yields is a hit, and
// the removal of hits with their report.
#include "fegwerk.h"

#include "agerule.h"
#include "consolemessage.h"
#include "handover.h"
#include "namepatterns.h"
#include "runlog.h"
#include "stopsignals.h"
#include "sweep.h"
#include "walk.h"

#include <QDateTime>

#include <thread>

// The tree is walked and its files judged in a thread of their own, ahead of the removal here,
// so that the system's work on both sides overlaps; the hits come in the walk's order, and
// everything the run shows or records is done here, in that order.
void Fegwerk::sweepFolder(const QString &folderPath, RunLog &runLog, int jobIndex)
{
    Handover<Hit> hits(64); // few: each keeps its folder open until it is dealt with
    std::thread judge([&] { findHits(folderPath, jobs.at(jobIndex), hits); });
    std::deque<Hit> batch;
    while (!mustStop() && hits.takeAll(batch)) {
        for (const Hit &hit : batch) {
            if (mustStop())
                break;
            removeFile(hit, runLog);
        }
    }
    hits.abandon();
    judge.join();
}

void Fegwerk::findHits(const QString &folderPath, const Job &job, Handover<Hit> &hits)
{
    const NamePatterns patterns(*job.extensions);
    AgeRule age(job.retentionDays);
    FolderWalk walk(folderPath, patterns);
    WalkEntry entry;
    while (!stopRequested() && walk.next(entry)) {
        // Ages are measured against the clock as each folder is begun.
        if (entry.startsFolder && age.setNow(QDateTime::currentMSecsSinceEpoch()))
            startTime = age.referenceTime();
        // A link may lead to a file that a hit before it removes: it is judged once those are
        // gone, as if one file were dealt with after the other.
        if (entry.isLink && !hits.waitUntilDealtWith())
            break;
        EntryStatus status;
        if (!FolderWalk::readStatus(entry, status) || !age.isOldEnough(status.createdMs))
            continue;
        const QString name = entry.name();
        const QString path = joinedPath(entry.folderPath, name);
        if (ownFiles.contains(status.id, path))
            continue; // the job file or the run log: never deleted, never counted
        if (!hits.give(hitOf(entry, name, path, age.ageInDays(status.createdMs), status)))
            break;
    }
    hits.finish();
}

Hit Fegwerk::hitOf(const WalkEntry &entry, const QString &name, const QString &path, int ageDays,
                   const EntryStatus &status) const
{
    Hit hit{entry, path, shownName(path), status.id, status.names, {}, {}};
    // The name's own copy: the folder's names go as soon as the walk has gone on.
    hit.entry.encodedName = QByteArray(entry.encodedName.constData(), entry.encodedName.size());
    hit.logEntry = RunLog::entry({hit.shownPath, QString::number(ageDays) + tr(" Tage")});
    ConsoleMessage report;
    report << tr("Treffer: ") << shownName(name);
    report.nextLine() << tr("Alter in Tagen: ") << ageDays;
    hit.report = report.takeLines();
    return hit;
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
                                     : FolderWalk::remove(hit.entry);
    if (outcome == Removal::Vanished)
        return; // not there any more: nothing of this run to report or count

    ++hitCount;
    ConsoleMessage report(hit.report); // written when it goes out of scope, after the entry
    bool logged;
    if (outcome == Removal::Refused) {
        const QString failed = tr("Fehler 005: Konnte Datei ");
        const QString ending = tr(" nicht löschen");
        logged = runLog.append({failed + hit.shownPath + ending});
        report.nextLine(ConsoleMessage::Error) << failed << hit.shownPath << ending;
    } else {
        logged = runLog.append(hit.logEntry);
    }
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
