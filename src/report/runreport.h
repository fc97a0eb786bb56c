// What a run shows on the console and records in its log, as it happens: the log's block (header,
// entries, total), each entry written before the console lines that go with it, so that a console
// that fails cannot part a removal from its record. An entry that cannot be written stops the
// run; the console names what the log lacks.
#ifndef KEHRLUND_RUNREPORT_H
#define KEHRLUND_RUNREPORT_H

#include "report/runlog.h"

#include <QByteArray>
#include <QString>

#include <functional>

class ConsoleMessage;
class OwnFiles;

// How one hit is shown and recorded, for one age.
struct HitTexts {
    QString shownPath;   // as the console's error messages and the run log show the path
    QByteArray logEntry; // the run log's entry for its removal
    QByteArray report;   // the console's lines for the hit
};

class RunReport
{
  public:
    // A dry run checks that the log could be written, and then writes nothing to it.
    RunReport(const QString &logPath, bool dryRun);

    // Opens the log and writes the block's header; Fehler 004 when it cannot.
    bool begin(OwnFiles &ownFiles);
    void jobBegins(const QString &rootFolder);
    // A hit removed, or refused (Fehler 005); `pathOf` makes the path, should the texts lack it.
    void hit(HitTexts texts, bool refused, const std::function<QString()> &pathOf);
    void folderNotListed(const QString &path);
    void heldFilesUnknown();
    // The total, unless an entry could not be written.
    void end(int hits);

    bool logFailed() const { return failed; }

    static HitTexts hitTexts(const QString &name, const QString &path, int ageDays);

  private:
    void error(const QString &failure, const QString &path, const QString &ending);
    void error(ConsoleMessage &lines, const QString &failure, const QString &path,
               const QString &ending);
    void logNotWritten(ConsoleMessage &lines, const QString &path);

    RunLog log;
    bool failed = false;
};

#endif
