// What a run shows on the console and records in its log, as it happens: the log's block (header,
// entries, total), each entry written before the console lines that go with it, so that a console
// that fails cannot part a removal from its record. An entry that cannot be written stops the
// run; the console names what the log lacks. The only place that writes the run's output.
#ifndef KEHRLUND_RUNREPORT_H
#define KEHRLUND_RUNREPORT_H

#include "report/runlog.h"
#include "sweep/remover.h"
#include "system/stopsignals.h"

#include <QByteArray>
#include <QString>

class ConsoleMessage;
class OwnFiles;
struct JobFault;
struct PassedOver;

// Every write to the log is made in a turn (StopTurn), and every console line after it: a stop
// never parts a removal from its entry, and a console that a file system holds never holds a stop.
class RunReport
{
  public:
    // A dry run checks that the log could be written, and then writes nothing to it. A verbose
    // run names on the console what it passes over, and why.
    RunReport(const QString &logPath, bool dryRun, bool verbose);

    // Opens the log and writes the block's header; Fehler 004 when it cannot. From then on, a
    // run cut off after a stop (see guardStop) has the log's total, `hits` as it stands then,
    // written for it.
    bool begin(OwnFiles &ownFiles, const int &hits);
    void jobBegins(const QString &rootFolder);
    void jobEnds();
    // The turn of the removal of the file `file` of the folder, to be handed back with its
    // outcome; its entry is made ready first (and so may throw std::bad_alloc, before anything
    // is removed).
    StopTurn turnForRemoval(const Folder &folder, int file, int ageDays);
    // What became of the file `file` of the folder: a hit is recorded, in `turn` where it was
    // removed, and shown; a file passed over is named in a verbose run.
    void fileDone(const Folder &folder, int file, FileOutcome outcome, int ageDays, StopTurn turn);
    void folderNotListed(const QString &path);
    // A folder or file passed over, and why: on the console alone, for a verbose run.
    void passedOver(const PassedOver &entry);
    void heldFilesUnknown();
    // The total, unless an entry could not be written. From now on no last word is said for the
    // run after a stop.
    void end(int hits);

    bool logFailed() const { return failed; }

    // Before the run: a fault of the job file or of a job.
    static void jobFault(const JobFault &fault);
    // After the run: the last line of a dry run, and the closing prompt.
    static void dryRunDone();
    static void prompt();

  private:
    // A hit removed, its entry (made ready with the turn) written in `turn`, its lines after it;
    // a hit refused (Fehler 005), in the removal's turn where the system refused the removal.
    void removed(const Folder &folder, int file, int ageDays, StopTurn turn);
    void refused(const Folder &folder, int file, int ageDays, StopTurn turn);
    void error(ConsoleMessage &lines, const QString &failure, const QString &path,
               const QString &ending);
    void logNotWritten(ConsoleMessage &lines, const QString &path);

    RunLog log;
    const bool verbose;
    bool failed = false;
    // The folder of the hits last reported, as the log and the console show it, and its
    // separator: most hits follow others of the same folder.
    QString shownFolderOf;
    QByteArray shownFolder;
    // A removal's entry and a plain hit's console lines, made in the same room hit after hit.
    QByteArray entry;
    QByteArray lines;
};

#endif
