#ifndef KEHRLUND_RUNREPORT_H
#define KEHRLUND_RUNREPORT_H

#include "report/consolemessage.h"
#include "report/runlog.h"
#include "sweep/remover.h"
#include "system/stopsignals.h"

struct JobFault;

class RunReport
{
  public:
    RunReport(const QString &logPath, bool dryRun, bool verbose);

    // Fehler 004 when the log cannot be opened. A run cut off after a stop has the log's total,
    // `hits` as it stands then, written for it.
    bool begin(OwnFiles &ownFiles, const int &hits);
    void jobBegins(const QString &rootFolder);
    void jobEnds() { flushConsole(&blockedWrites); }
    // Its entry is made ready first, and so may throw std::bad_alloc before anything is removed.
    StopTurn turnForRemoval(const Folder &folder, int file, int ageDays);
    void fileDone(const Folder &folder, int file, FileOutcome outcome, int ageDays, StopTurn turn);
    void folderNotListed(const QString &path);
    void passedOver(const PassedOver &entry);
    void heldFilesUnknown();
    // The total, unless an entry could not be written.
    void end(int hits);

    bool logFailed() const { return failed; }
    const HeldUp::Count &writesThatBlocked() const { return blockedWrites; }

    static void jobFault(const JobFault &fault);
    static void dryRunDone();
    static void prompt();

  private:
    void nameHit(const Folder &folder, int file);
    ConsoleMessage message(ConsoleMessage::Priority p = ConsoleMessage::Info) { return {room, p}; }
    void error(const QString &failure, const QString &path = {}, const QString &ending = {});
    void error(ConsoleMessage &lines, const QByteArray &failure, const QByteArray &path,
               const QByteArray &ending);
    void logNotWritten(ConsoleMessage &lines, const QByteArray &path);

    HeldUp::Count blockedWrites{0};
    RunLog log;
    ConsoleMessage::Room room{{}, &blockedWrites};
    const bool verbose;
    bool failed = false;
    // The texts a run repeats, looked up and encoded once.
    const struct {
        QByteArray hit, age, days, refused, refusedEnd, logNotWritten;
    } words;
    // The folder of the hits last reported, as shown, with its separator: most hits follow others
    // of the same folder.
    QString shownFolderOf;
    QByteArray shownFolder;
    // The name of the hit in hand as shown, and its entry, made once for the log and the console.
    QByteArray hitName;
    QByteArray entry;
};

#endif
