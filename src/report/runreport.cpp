#include "report/runreport.h"

#include "jobfile/jobfile.h"
#include "report/consolemessage.h"
#include "walk/walk.h"

#include <QCoreApplication>
#include <QDateTime>

#include <algorithm>
#include <cstdio>

namespace
{
// The cleaner's texts.
QString tr(const char *text)
{
    return QCoreApplication::translate("Fegwerk", text);
}

QString logNotWrittenText()
{
    return tr("Fehler 004: Logdatei konnte nicht geschrieben werden");
}

// The texts of every hit, looked up once.
struct HitWords {
    QString hit = tr("Treffer: ");
    QString age = tr("Alter in Tagen: ");
    QString days = tr(" Tage");
    QString refused = tr("Fehler 005: Konnte Datei ");
    QString refusedEnd = tr(" nicht löschen");
};
} // namespace

RunReport::RunReport(const QString &logPath, bool dryRun, bool verbose)
    : log(logPath, dryRun), verbose(verbose)
{
    // Room kept (an empty array keeps its room only where it was reserved): no hit asks for
    // memory but one of a longer path than any before.
    entry.reserve(1024);
    lines.reserve(512);
}

bool RunReport::begin(OwnFiles &ownFiles, const int &hits)
{
    if (log.open(ownFiles) && log.appendHeader(QDateTime::currentDateTime())) {
        // Said for a run that a file system holds after a stop: the console, which may block
        // too, gets nothing more.
        guardStop([this, &hits] {
            if (!failed)
                log.appendTotal(hits);
        });
        return true;
    }
    ConsoleMessage::error() << logNotWrittenText();
    return false;
}

// The announcement goes out at once: a walk may take long before its first hit.
void RunReport::jobBegins(const QString &rootFolder)
{
    ConsoleMessage() << tr("Ordner: ") << shownName(rootFolder.trimmed());
    ConsoleMessage() << tr("");
    flushConsole();
}

void RunReport::jobEnds()
{
    flushConsole();
}

namespace
{
// A name of printable ASCII alone is shown as it is, in every encoding the program writes in.
bool isPlain(const QByteArray &name)
{
    return std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

void appendNumber(QByteArray &to, int number)
{
    char digits[16];
    to.append(digits, std::snprintf(digits, sizeof digits, "%d", number));
}
} // namespace

// The entry is made before the removal, so that once the file is gone nothing must be asked for
// to record it. A plain name, the most common by far, goes into the entry as its bytes are, behind
// the folder's shown path (kept while the hits of one folder follow each other), without a text
// made and encoded per hit.
StopTurn RunReport::turnForRemoval(const Folder &folder, int file, int ageDays)
{
    static const QByteArray days = localText(HitWords().days);
    const QByteArray name = folder.files.bytesAt(file);
    entry.resize(0);
    if (isPlain(name)) {
        if (shownFolderOf.isNull() || shownFolderOf != folder.path) {
            shownFolderOf = folder.path;
            shownFolder = localText(shownName(joinedPath(folder.path, QString())));
        }
        entry.append(shownFolder).append(name);
    } else {
        entry.append(localText(shownName(joinedPath(folder.path, folder.files.nameAt(file)))));
    }
    entry.append(RunLog::lineEnd());
    appendNumber(entry, ageDays);
    entry.append(days).append(RunLog::lineEnd());
    return StopTurn::take();
}

// What became of a file. What a dry run finds taken before, the real run would not have met at
// all: it is not named.
void RunReport::fileDone(const Folder &folder, int file, FileOutcome outcome, int ageDays,
                         StopTurn turn)
{
    if (outcome == FileOutcome::Removed)
        removed(folder, file, ageDays, std::move(turn));
    else if (outcome == FileOutcome::Refused || outcome == FileOutcome::InUse)
        refused(folder, file, ageDays, std::move(turn));
    turn.release(); // a file found gone has no entry to wait for
    if (!verbose)
        return;
    const auto path = [&] { return joinedPath(folder.path, folder.files.nameAt(file)); };
    if (outcome == FileOutcome::NotReadable)
        passedOver({path(), PassedOverReason::NotReadable});
    else if (outcome == FileOutcome::Gone)
        passedOver({path(), PassedOverReason::Gone});
    else if (outcome == FileOutcome::InUse)
        passedOver({path(), PassedOverReason::InUse});
}

// A hit's lines go out together, after its entry and outside the removal's turn: a console that
// a file system holds never holds a stop.
void RunReport::removed(const Folder &folder, int file, int ageDays, StopTurn turn)
{
    static const HitWords words;
    const bool recorded = log.appendReady(entry);
    turn.release();
    const QByteArray name = folder.files.bytesAt(file);
    if (recorded && isPlain(name)) {
        static const QByteArray hitLine =
            infoLinePrefix() + localText(QLatin1Char('"') + words.hit + QLatin1String("\" \""));
        static const QByteArray ageLine =
            "\" \n" + infoLinePrefix() +
            localText(QLatin1Char('"') + words.age + QLatin1String("\" "));
        lines.resize(0);
        lines.append(hitLine).append(name).append(ageLine);
        appendNumber(lines, ageDays);
        showReadyLines(lines.append(" \n"));
        return;
    }
    ConsoleMessage shown;
    shown << words.hit << shownName(folder.files.nameAt(file));
    shown.nextLine() << words.age << ageDays;
    if (!recorded)
        logNotWritten(shown, shownName(joinedPath(folder.path, folder.files.nameAt(file))));
}

// A hit that stays: its entry is an error of the run.
void RunReport::refused(const Folder &folder, int file, int ageDays, StopTurn turn)
{
    static const HitWords words;
    ConsoleMessage shown; // shown as it goes, after the turn below
    // The removal's, where the system refused it; else one of its own.
    const StopTurn recording = turn.isHeld() ? std::move(turn) : StopTurn::take();
    shown << words.hit << shownName(folder.files.nameAt(file));
    shown.nextLine() << words.age << ageDays;
    error(shown.nextLine(ConsoleMessage::Error), words.refused,
          shownName(joinedPath(folder.path, folder.files.nameAt(file))), words.refusedEnd);
}

// Every log write is made in a turn, and every console line after it.
void RunReport::folderNotListed(const QString &path)
{
    ConsoleMessage lines(ConsoleMessage::Error);
    const StopTurn turn = StopTurn::take();
    error(lines, tr("Fehler 005: Konnte Ordner "), shownName(path), tr(" nicht durchsuchen"));
}

void RunReport::passedOver(const PassedOver &entry)
{
    QString why;
    switch (entry.reason) {
    case PassedOverReason::NotReadable:
        why = tr(" (nicht lesbar)");
        break;
    case PassedOverReason::Gone:
        why = tr(" (verschwunden)");
        break;
    case PassedOverReason::Moved:
        why = tr(" (verschoben)");
        break;
    case PassedOverReason::Hidden:
        why = tr(" (versteckt)");
        break;
    case PassedOverReason::LinkToFolder:
        why = tr(" (Verweis auf einen Ordner)");
        break;
    case PassedOverReason::OtherMount:
        why = tr(" (anderes Dateisystem)");
        break;
    case PassedOverReason::InUse:
        why = tr(" (in Gebrauch)");
        break;
    }
    ConsoleMessage() << tr("Übergangen: ") << shownName(entry.path) << why;
}

void RunReport::heldFilesUnknown()
{
    ConsoleMessage lines(ConsoleMessage::Error);
    const StopTurn turn = StopTurn::take();
    error(lines,
          tr("Fehler 005: Konnte nicht ermitteln, welche Dateien geöffnet sind; "
             "keine Datei wird gelöscht"),
          QString(), QString());
}

void RunReport::end(int hits)
{
    bool totalWritten = true;
    sayLastWord([&] { totalWritten = failed || log.appendTotal(hits); });
    if (!failed) { // else the log takes no total now; the console has said why
        ConsoleMessage() << tr("");
        ConsoleMessage() << tr("Treffer gesamt: ") << hits;
        if (!totalWritten)
            ConsoleMessage::error() << logNotWrittenText();
    }
    flushConsole();
}

void RunReport::jobFault(const JobFault &fault)
{
    ConsoleMessage message(ConsoleMessage::Error);
    switch (fault.kind) {
    case JobFault::JobFileNotOpened:
        message << tr("Fehler 006: Eingabedatei konnte nicht geöffnet werden");
        break;
    case JobFault::WrongLine:
        message << tr("Fehler 007: Zeile der Eingabedatei nicht korrekt");
        break;
    case JobFault::WrongRoot:
        message << tr("Fehler 001: Der angegebene Wurzelordner existiert nicht oder ist "
                      "gar kein Ordner");
        break;
    case JobFault::WrongPattern:
        message << tr("Fehler 002: Fehlerhafte Endung entdeckt: ") << shownName(fault.pattern);
        break;
    case JobFault::WrongPeriod:
        message << tr("Fehler 003: Tage ist mit ") << fault.days
                << tr(" außerhalb des erlaubten Intervalls von 1 - 365 Tagen");
        break;
    }
}

void RunReport::dryRunDone()
{
    ConsoleMessage() << tr("Probelauf: nichts wurde gelöscht, das Protokoll ist unverändert");
}

// Holds a console window open; returns at once when standard input is at its end or closed.
void RunReport::prompt()
{
    ConsoleMessage() << QCoreApplication::translate("QCoreApplication",
                                                    "Bitte druecken Sie eine Taste zum beenden...");
    flushConsole();
}

// An error of the run, with a path or without: on the console and, as one line, in the log.
void RunReport::error(ConsoleMessage &lines, const QString &failure, const QString &path,
                      const QString &ending)
{
    lines << failure;
    if (!path.isNull())
        lines << path << ending;
    if (!log.append({failure + path + ending}))
        logNotWritten(lines, path);
}

void RunReport::logNotWritten(ConsoleMessage &lines, const QString &path)
{
    failed = true;
    lines.nextLine(ConsoleMessage::Error) << logNotWrittenText();
    if (!path.isNull())
        lines << path;
}
