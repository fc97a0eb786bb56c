#include "report/runreport.h"

#include "jobfile/jobfile.h"
#include "walk/walk.h"

#include <QCoreApplication>

#include <algorithm>

namespace
{
QString tr(const char *text)
{
    return QCoreApplication::translate("Fegwerk", text);
}

// A name of printable ASCII alone is shown as it is, in every encoding the program writes in.
bool isPlain(const QByteArray &name)
{
    return std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

QString whyPassedOver(PassedOverReason reason)
{
    switch (reason) {
    case PassedOverReason::NotReadable:
        return tr(" (nicht lesbar)");
    case PassedOverReason::Gone:
        return tr(" (verschwunden)");
    case PassedOverReason::Moved:
        return tr(" (verschoben)");
    case PassedOverReason::Hidden:
        return tr(" (versteckt)");
    case PassedOverReason::LinkToFolder:
        return tr(" (Verweis auf einen Ordner)");
    case PassedOverReason::OtherMount:
        return tr(" (anderes Dateisystem)");
    case PassedOverReason::InUse:
        return tr(" (in Gebrauch)");
    }
    return QString();
}
} // namespace

RunReport::RunReport(const QString &logPath, bool dryRun, bool verbose)
    : log(logPath, dryRun, blockedWrites),
      verbose(verbose), words{localText(tr("Treffer: ")),
                              localText(tr("Alter in Tagen: ")),
                              localText(tr(" Tage")),
                              localText(tr("Fehler 005: Konnte Datei ")),
                              localText(tr(" nicht löschen")),
                              localText(tr("Fehler 004: Logdatei konnte nicht geschrieben werden"))}
{
    // An emptied array keeps only the room reserved: no hit asks for memory but a longer one.
    room.bytes.reserve(512);
    entry.reserve(1024);
}

bool RunReport::begin(OwnFiles &ownFiles, const int &hits)
{
    if (log.open(ownFiles) && log.appendHeader()) {
        guardStop([this, &hits] {
            if (!failed)
                log.appendTotal(hits);
        });
        return true;
    }
    message(ConsoleMessage::Error) << words.logNotWritten;
    return false;
}

// The announcement goes out at once: a walk may take long before its first hit.
void RunReport::jobBegins(const QString &rootFolder)
{
    message() << tr("Ordner: ") << shownName(rootFolder.trimmed());
    message() << tr("");
    flushConsole(&blockedWrites);
}

// A plain name, the most common by far, is shown without a text made and encoded per hit.
void RunReport::nameHit(const Folder &folder, int file)
{
    if (shownFolderOf.isNull() || shownFolderOf != folder.path) {
        shownFolderOf = folder.path;
        shownFolder = localText(shownName(joinedPath(folder.path, QString())));
    }
    const QByteArray name = folder.files.bytesAt(file);
    hitName = isPlain(name) ? name : localText(shownName(folder.files.nameAt(file)));
}

StopTurn RunReport::turnForRemoval(const Folder &folder, int file, int ageDays)
{
    nameHit(folder, file);
    entry.resize(0);
    entry.append(shownFolder).append(hitName).append(RunLog::lineEnd);
    appendNumber(entry, ageDays);
    entry.append(words.days).append(RunLog::lineEnd);
    return StopTurn::take();
}

// What a dry run finds taken before, the real run would not have met at all: it is not named. A
// hit that stays is an error of the run, recorded in the removal's turn where the system refused
// the removal (its name made with the turn), else in one of its own.
void RunReport::fileDone(const Folder &folder, int file, FileOutcome outcome, int ageDays,
                         StopTurn turn)
{
    if (isHit(outcome)) {
        const bool stays = outcome != FileOutcome::Removed;
        if (!turn.isHeld())
            nameHit(folder, file);
        ConsoleMessage shown(room); // shown as it goes, after the turn below
        const StopTurn recording = turn.isHeld() ? std::move(turn) : StopTurn::take();
        const bool recorded = stays || log.append(entry); // before its lines ask for memory
        shown << words.hit << hitName;
        shown.nextLine() << words.age << ageDays;
        if (stays)
            error(shown.nextLine(ConsoleMessage::Error), words.refused, shownFolder + hitName,
                  words.refusedEnd);
        else if (!recorded)
            logNotWritten(shown, shownFolder + hitName);
    }
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

void RunReport::folderNotListed(const QString &path)
{
    error(tr("Fehler 005: Konnte Ordner "), shownName(path), tr(" nicht durchsuchen"));
}

void RunReport::passedOver(const PassedOver &entry)
{
    message() << tr("Übergangen: ") << shownName(entry.path) << whyPassedOver(entry.reason);
}

void RunReport::heldFilesUnknown()
{
    error(tr("Fehler 005: Konnte nicht ermitteln, welche Dateien geöffnet sind; "
             "keine Datei wird gelöscht"));
}

void RunReport::end(int hits)
{
    bool totalWritten = true;
    sayLastWord([&] { totalWritten = failed || log.appendTotal(hits); });
    if (!failed) { // else the log takes no total now; the console has said why
        message() << tr("");
        message() << tr("Treffer gesamt: ") << hits;
        if (!totalWritten)
            message(ConsoleMessage::Error) << words.logNotWritten;
    }
    flushConsole(&blockedWrites);
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

// Out at once: the program waits for a key next, which holds a console window open.
void RunReport::prompt()
{
    ConsoleMessage() << QCoreApplication::translate("QCoreApplication",
                                                    "Bitte druecken Sie eine Taste zum beenden...");
    flushConsole();
}

void RunReport::error(const QString &failure, const QString &path, const QString &ending)
{
    ConsoleMessage lines = message(ConsoleMessage::Error);
    const StopTurn turn = StopTurn::take();
    error(lines, localText(failure), localText(path), localText(ending));
}

void RunReport::error(ConsoleMessage &lines, const QByteArray &failure, const QByteArray &path,
                      const QByteArray &ending)
{
    lines << failure;
    if (!path.isEmpty())
        lines << path << ending;
    if (!log.append(failure + path + ending + RunLog::lineEnd))
        logNotWritten(lines, path);
}

void RunReport::logNotWritten(ConsoleMessage &lines, const QByteArray &path)
{
    failed = true;
    lines.nextLine(ConsoleMessage::Error) << words.logNotWritten;
    if (!path.isEmpty())
        lines << path;
}
