#include "report/runreport.h"

#include "report/consolemessage.h"

#include <QCoreApplication>
#include <QDateTime>

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
} // namespace

RunReport::RunReport(const QString &logPath, bool dryRun) : log(logPath, dryRun) {}

bool RunReport::begin(OwnFiles &ownFiles)
{
    if (log.open(ownFiles) && log.appendHeader(QDateTime::currentDateTime()))
        return true;
    ConsoleMessage::error() << logNotWrittenText();
    return false;
}

void RunReport::jobBegins(const QString &rootFolder)
{
    ConsoleMessage() << tr("Ordner: ") << shownName(rootFolder.trimmed());
    ConsoleMessage() << tr("");
}

// A hit's lines go out in one write, after its entry.
void RunReport::hit(HitTexts texts, bool refused, const std::function<QString()> &pathOf)
{
    ConsoleMessage lines(texts.report);
    const bool logged = !refused && log.append(texts.logEntry);
    if (texts.shownPath.isNull() && !logged)
        texts.shownPath = shownName(pathOf());
    if (refused)
        error(lines, tr("Fehler 005: Konnte Datei "), texts.shownPath, tr(" nicht löschen"));
    else if (!logged)
        logNotWritten(lines, texts.shownPath);
}

void RunReport::folderNotListed(const QString &path)
{
    error(tr("Fehler 005: Konnte Ordner "), shownName(path), tr(" nicht durchsuchen"));
}

void RunReport::heldFilesUnknown()
{
    error(tr("Fehler 005: Konnte nicht ermitteln, welche Dateien geöffnet sind; "
             "keine Datei wird gelöscht"),
          QString(), QString());
}

void RunReport::end(int hits)
{
    if (failed)
        return; // the log takes no total now; the console has said why
    ConsoleMessage() << tr("");
    ConsoleMessage() << tr("Treffer gesamt: ") << hits;
    if (!log.appendTotal(hits))
        ConsoleMessage::error() << logNotWrittenText();
}

HitTexts RunReport::hitTexts(const QString &name, const QString &path, int ageDays)
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

// An error of the run, with a path or without: on the console and, as one line, in the log.
void RunReport::error(const QString &failure, const QString &path, const QString &ending)
{
    ConsoleMessage lines{QByteArray()};
    error(lines, failure, path, ending);
}

void RunReport::error(ConsoleMessage &lines, const QString &failure, const QString &path,
                      const QString &ending)
{
    lines.nextLine(ConsoleMessage::Error) << failure;
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
