// What a run shows on the console and records in its log, as it happens: the log's block (header,
// entries, total), each entry written before the console lines that go with it, so that a console
// that fails cannot part a removal from its record. An entry that cannot be written stops the
// run; the console names what the log lacks. The only place that writes the run's output.
#ifndef KEHRLUND_RUNREPORT_H
#define KEHRLUND_RUNREPORT_H

#include "report/runlog.h"
#include "system/stopsignals.h"

#include <QByteArray>
#include <QString>

#include <functional>

class ConsoleMessage;
class OwnFiles;
struct JobFault;
struct PassedOver;

class RunReport
{
  public:
    // A dry run checks that the log could be written, and then writes nothing to it.
    RunReport(const QString &logPath, bool dryRun);

    // Opens the log and writes the block's header; Fehler 004 when it cannot.
    bool begin(OwnFiles &ownFiles);
    void jobBegins(const QString &rootFolder);
    void jobEnds();
    // A hit removed, or refused (Fehler 005): the file `name` (as the file system spells it;
    // `decoded` gives it as text) in the folder `folderPath`. `turn` is the removal's: its entry
    // is written in it, the console's lines after it.
    void hit(const QString &folderPath, const QByteArray &name,
             const std::function<QString()> &decoded, int ageDays, bool refused, StopTurn turn);
    void folderNotListed(const QString &path);
    // A folder or file passed over, and why: on the console alone, for a verbose run.
    void passedOver(const PassedOver &entry);
    void heldFilesUnknown();
    // The total, unless an entry could not be written. From now on no last word is said for the
    // run after a stop.
    void end(int hits);
    // The log's total alone, for a run cut off after a stop.
    void endCutOff(int hits);

    bool logFailed() const { return failed; }

    // Before the run: a fault of the job file or of a job.
    static void jobFault(const JobFault &fault);
    // After the run: the last line of a dry run, and the closing prompt.
    static void dryRunDone();
    static void prompt();

  private:
    void error(ConsoleMessage &lines, const QString &failure, const QString &path,
               const QString &ending);
    void logNotWritten(ConsoleMessage &lines, const QString &path);

    struct ReadyHit {
        QByteArray entry; // for the log
        QByteArray lines; // for the console
    };
    ReadyHit readyHit(const QString &folderPath, const QByteArray &name, int ageDays);

    RunLog log;
    bool failed = false;
    // The folder of the hits last reported, as the log and the console show it, and its
    // separator: most hits follow others of the same folder.
    QString shownFolderOf;
    QByteArray shownFolder;
};

#endif
