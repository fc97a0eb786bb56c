// The cleaner object and the run that writes the run log.
#include "fegwerk.h"

#include "consolemessage.h"
#include "openfiles.h"
#include "runlog.h"
#include "stopsignals.h"

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

    if (!jobs.isEmpty())
        openFiles = filesHeldOpen();

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

QString Fegwerk::logNotWritten() const
{
    return tr("Fehler 004: Logdatei konnte nicht geschrieben werden");
}

// Stopping is checked between files, so that every file removed has its entry.
bool Fegwerk::mustStop() const
{
    return logFailed || stopRequested();
}
