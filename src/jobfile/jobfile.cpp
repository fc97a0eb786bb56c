#include "jobfile/jobfile.h"

#include "report/consolemessage.h"
#include "system/ownfiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

namespace
{
// Far longer than any real job line. A longer line is refused without being held whole, so that
// no job file can exhaust the memory.
constexpr int longestLine = 64 * 1024;

// The cleaner's texts.
QString tr(const char *text)
{
    return QCoreApplication::translate("Fegwerk", text);
}
} // namespace

void JobFile::read(const QString &path, OwnFiles &ownFiles,
                   const std::function<void(const QString &)> &take)
{
    QFile file(path);
    if (!ownFiles.open(file, QIODevice::ReadOnly | QIODevice::Text)) {
        ConsoleMessage::error() << tr("Fehler 006: Eingabedatei konnte nicht geöffnet werden");
        return;
    }
    // No codec is set: the locale's encoding, unless a byte-order mark names another one. Text
    // mode drops the carriage returns of CR LF files.
    QTextStream stream(&file);
    QString line;
    while (stream.readLineInto(&line, longestLine + 1)) {
        if (line.size() <= longestLine) {
            take(line);
            continue;
        }
        // The rest of the line comes in pieces; the first piece shorter than the limit ends it.
        while (line.size() == longestLine + 1 && stream.readLineInto(&line, longestLine + 1)) {
        }
        ConsoleMessage::error() << tr("Fehler 007: Zeile der Eingabedatei nicht korrekt");
    }
}

std::optional<Job> JobFile::parse(const QString &line, int separatorCount)
{
    if (line.count(QLatin1Char('\t')) != separatorCount) {
        ConsoleMessage::error() << tr("Fehler 007: Zeile der Eingabedatei nicht korrekt");
        return std::nullopt;
    }
    const QStringList fields = line.split(QLatin1Char('\t'), Qt::KeepEmptyParts);

    QString rootFolder = fields.at(0).trimmed();
    while (rootFolder.endsWith(QLatin1Char('\\')))
        rootFolder.chop(1);

    Job job;
    job.rootFolder = rootFolder;
    job.extensions = QSharedPointer<const QStringList>::create(
        fields.at(1).trimmed().split(QLatin1Char(';'), Qt::KeepEmptyParts));
    job.retentionDays = fields.at(2).trimmed().toInt(); // 0 for anything but a whole number
    return job;
}

namespace
{
// A folder path the system could be handed: empty paths name nothing, and a NUL would cut the
// path short at the system call and name another folder.
bool isUsablePath(const QString &path)
{
    return !path.isEmpty() && !path.contains(QChar(0));
}

bool isFolder(const QString &path)
{
    if (!isUsablePath(path))
        return false;
    const QFileInfo info(path);
    return info.exists() && info.isDir();
}
} // namespace

bool JobFile::isFaulty(const QString &rootFolder, const QStringList &patterns, int retentionDays)
{
    if (!isFolder(rootFolder)) {
        ConsoleMessage::error() << tr(
            "Fehler 001: Der angegebene Wurzelordner existiert nicht oder ist "
            "gar kein Ordner");
        return true;
    }

    static const QRegularExpression admittedPattern(
        QStringLiteral("\\A\\*\\.(([0-9]|[A-Z]|[a-z]){1,5}|\\*)\\z"));
    bool refused = false;
    for (const QString &pattern : patterns) {
        if (!admittedPattern.match(pattern).hasMatch()) {
            ConsoleMessage::error()
                << tr("Fehler 002: Fehlerhafte Endung entdeckt: ") << shownName(pattern);
            refused = true;
        }
    }
    if (refused)
        return true;

    if (retentionDays >= 1 && retentionDays <= 365)
        return false;
    ConsoleMessage::error() << tr("Fehler 003: Tage ist mit ") << retentionDays
                            << tr(" außerhalb des erlaubten Intervalls von 1 - 365 Tagen");
    return true;
}
