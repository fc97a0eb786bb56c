// The cleaner object, the run that writes the run log, and the sweep of each job's tree.
#include "fegwerk.h"

#include "consolemessage.h"
#include "runlog.h"
#include "stopsignals.h"
#include "sweep.h"
#include "walk.h"

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

void Fegwerk::setDryRun(bool on)
{
    dryRun = on;
    remover.setDryRun(on);
}

void Fegwerk::run()
{
    RunLog runLog(logFilePath, dryRun);
    if (!runLog.open(ownFiles)) {
        ConsoleMessage::error() << logNotWritten();
        return;
    }
    hitCount = 0;
    if (!runLog.appendHeader(QDateTime::currentDateTime())) {
        ConsoleMessage::error() << logNotWritten();
        return;
    }

    if (!jobs.isEmpty()) {
        heldOpen = FilesHeldOpen::snapshot();
        if (!heldOpen.isComplete())
            report(tr("Fehler 005: Konnte nicht ermitteln, welche Dateien geöffnet sind; "
                      "keine Datei wird gelöscht"),
                   QString(), QString(), runLog);
    }

    for (int jobIndex = 0; jobIndex < jobs.size() && !mustStop(); ++jobIndex) {
        const QString &rootFolder = jobs.at(jobIndex).rootFolder;
        ConsoleMessage() << tr("Ordner: ") << shownName(rootFolder.trimmed());
        ConsoleMessage() << tr("");
        sweepFolder(rootFolder, runLog, jobIndex);
    }

    if (logFailed)
        return; // the log takes no total now; the console has said why
    ConsoleMessage() << tr("");
    ConsoleMessage() << tr("Treffer gesamt: ") << hitCount;
    if (!runLog.appendTotal(hitCount))
        ConsoleMessage::error() << logNotWritten();
}

// The tree is listed, and its files looked at, ahead of the removal here, in threads of their
// own where the system grants them; every file is judged again right before its removal, and
// everything the run shows or records is done here, in the walk's order.
void Fegwerk::sweepFolder(const QString &folderPath, RunLog &runLog, int jobIndex)
{
    const Job &job = jobs.at(jobIndex);
    SweepAhead ahead(folderPath, *job.extensions, job.retentionDays, &Fegwerk::hitTexts);
    remover.beginJob(job.retentionDays);
    JudgedBatch batch;
    bool removing = false;
    while (!mustStop() && ahead.next(batch)) {
        int candidate = 0;
        for (const JudgedBatch::Part &part : batch.parts) {
            if (part.beginsFolder)
                removing = beginFolder(*part.folder, runLog);
            for (; candidate < part.candidatesEnd && removing && !mustStop(); ++candidate)
                removeFile(*part.folder, batch, batch.candidates.at(std::size_t(candidate)),
                           runLog);
            candidate = part.candidatesEnd;
        }
    }
}

// A folder that could not be listed is named; one that has moved is passed over in silence.
bool Fegwerk::beginFolder(const ListedFolder &folder, RunLog &runLog)
{
    const Remover::FolderStart start = remover.beginFolder(folder);
    startTime = remover.ageRule().referenceTime();
    if (start == Remover::FolderStart::NotListed)
        report(tr("Fehler 005: Konnte Ordner "), shownName(folder.path), tr(" nicht durchsuchen"),
               runLog);
    return start == Remover::FolderStart::Sweep;
}

// The log entry goes out before the console lines, so that a console that fails cannot part a
// removal from its record; a hit's lines go out in one write.
void Fegwerk::removeFile(const ListedFolder &folder, const JudgedBatch &batch,
                         const Candidate &candidate, RunLog &runLog)
{
    const Remover::Verdict verdict = remover.judgeAndRemove(folder, candidate.index);
    if (!verdict.isHit)
        return;
    ++hitCount;
    const auto path = [&] { return joinedPath(folder.path, folder.files.nameAt(candidate.index)); };
    HitTexts texts = verdict.ageDays == candidate.preparedAge
                         ? batch.preparedTexts(candidate)
                         : hitTexts(folder.files.nameAt(candidate.index), path(), verdict.ageDays);
    ConsoleMessage lines(texts.report); // written when it goes out of scope, after the entry
    const bool refused = verdict.removal == Removal::Refused;
    const bool logged = !refused && runLog.append(texts.logEntry);
    if (texts.shownPath.isNull() && !logged)
        texts.shownPath = shownName(path());
    if (refused)
        recordError(lines, tr("Fehler 005: Konnte Datei "), texts.shownPath, tr(" nicht löschen"),
                    runLog);
    else if (!logged)
        stopForLog(lines, texts.shownPath);
}

// An error of the run, with a path or without: on the console and, as one line, in the run log.
void Fegwerk::report(const QString &failed, const QString &path, const QString &ending,
                     RunLog &runLog)
{
    ConsoleMessage lines{QByteArray()};
    recordError(lines, failed, path, ending, runLog);
}

void Fegwerk::recordError(ConsoleMessage &lines, const QString &failed, const QString &path,
                          const QString &ending, RunLog &runLog)
{
    lines.nextLine(ConsoleMessage::Error) << failed;
    if (!path.isNull())
        lines << path << ending;
    if (!runLog.append({failed + path + ending}))
        stopForLog(lines, path);
}

// When an entry cannot be written, the run stops: the console names the one file the log lacks.
void Fegwerk::stopForLog(ConsoleMessage &lines, const QString &path)
{
    logFailed = true;
    lines.nextLine(ConsoleMessage::Error) << logNotWritten();
    if (!path.isNull())
        lines << path;
}

HitTexts Fegwerk::hitTexts(const QString &name, const QString &path, int ageDays)
{
    HitTexts texts;
    texts.shownPath = shownName(path);
    texts.logEntry = RunLog::entry({texts.shownPath, QString::number(ageDays) + tr(" Tage")});
    ConsoleMessage lines;
    lines << tr("Treffer: ") << shownName(name);
    lines.nextLine() << tr("Alter in Tagen: ") << ageDays;
    texts.report = lines.takeLines();
    return texts;
}

QString Fegwerk::logNotWritten() const
{
    return tr("Fehler 004: Logdatei konnte nicht geschrieben werden");
}

// Stopping is checked between files, so that every file removed has its entry.
bool Fegwerk::mustStop() const
{
    return logFailed || stopRequested();
}
