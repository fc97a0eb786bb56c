#include "report/runreport.h"

#include "jobfile/jobfile.h"
#include "report/consolemessage.h"
#include "walk/walk.h"

#include <QCoreApplication>
#include <QDateTime>

#include <algorithm>

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
} // namespace

// The entry and the lines of a removed file of a plain name, the most common hit by far, made
// from the name's bytes without a text made and encoded per hit. Empty for any other name.
RunReport::ReadyHit RunReport::readyHit(const QString &folderPath, const QByteArray &name,
                                        int ageDays)
{
    if (!isPlain(name))
        return {};
    static const HitWords words;
    static const QByteArray hitLine =
        infoLinePrefix() + localText(QLatin1Char('"') + words.hit + QLatin1String("\" \""));
    static const QByteArray ageLine =
        "\" \n" + infoLinePrefix() + localText(QLatin1Char('"') + words.age + QLatin1String("\" "));
    static const QByteArray days = localText(words.days);
    if (shownFolderOf.isNull() || shownFolderOf != folderPath) {
        shownFolderOf = folderPath;
        shownFolder = localText(shownName(joinedPath(folderPath, QString())));
    }
    const QByteArray age = QByteArray::number(ageDays);
    ReadyHit ready;
    ready.entry.reserve(shownFolder.size() + name.size() + age.size() + days.size() + 4);
    ready.entry.append(shownFolder).append(name).append(RunLog::lineEnd());
    ready.entry.append(age).append(days).append(RunLog::lineEnd());
    ready.lines.reserve(hitLine.size() + name.size() + ageLine.size() + age.size() + 2);
    ready.lines.append(hitLine).append(name).append(ageLine).append(age).append(" \n");
    return ready;
}

// What a dry run finds taken before, the real run would not have met at all: it is not named.
void RunReport::fileDone(const Folder &folder, int file, FileOutcome outcome, int ageDays,
                         StopTurn turn)
{
    if (isHit(outcome))
        hit(
            folder.path, folder.files.bytesAt(file), [&] { return folder.files.nameAt(file); },
            ageDays, outcome != FileOutcome::Removed, std::move(turn));
    turn.release(); // a file found gone has no entry to wait for
    if (!verbose)
        return;
    const auto name = [&] { return joinedPath(folder.path, folder.files.nameAt(file)); };
    if (outcome == FileOutcome::NotReadable)
        passedOver({name(), PassedOverReason::NotReadable});
    else if (outcome == FileOutcome::Gone)
        passedOver({name(), PassedOverReason::Gone});
    else if (outcome == FileOutcome::InUse)
        passedOver({name(), PassedOverReason::InUse});
}

// A hit's lines go out together, after its entry and outside the removal's turn: a console that
// a file system holds never holds a stop.
void RunReport::hit(const QString &folderPath, const QByteArray &name,
                    const std::function<QString()> &decoded, int ageDays, bool refused,
                    StopTurn turn)
{
    static const HitWords words;
    const ReadyHit ready = refused ? ReadyHit() : readyHit(folderPath, name, ageDays);
    if (!ready.entry.isEmpty() && log.appendReady(ready.entry)) {
        turn.release();
        showReadyLines(ready.lines);
        return;
    }
    const QString shownPath = shownName(joinedPath(folderPath, decoded()));
    ConsoleMessage lines; // shown as it goes, after the turn below
    const StopTurn recording = std::move(turn);
    lines << words.hit << shownName(decoded());
    lines.nextLine() << words.age << ageDays;
    if (refused)
        error(lines.nextLine(ConsoleMessage::Error), words.refused, shownPath, words.refusedEnd);
    else if (!ready.entry.isEmpty() ||
             !log.append({shownPath, QString::number(ageDays) + words.days}))
        logNotWritten(lines, shownPath);
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
