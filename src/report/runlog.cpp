#include "report/runlog.h"

#include "report/consolemessage.h"
#include "system/heldup.h"
#include "system/ownfiles.h"

#include <QCoreApplication>

// Written in the locale's encoding, with the system's line ends, as text files are there.
const QByteArray &RunLog::lineEnd()
{
#ifdef Q_OS_WIN
    static const QByteArray end = QByteArrayLiteral("\r\n");
#else
    static const QByteArray end = QByteArrayLiteral("\n");
#endif
    return end;
}

RunLog::RunLog(const QString &path, bool dryRun) : path(path), file(path), dryRun(dryRun) {}

bool RunLog::open(OwnFiles &ownFiles)
{
    if (dryRun)
        return ownFiles.canAppend(path);
    return ownFiles.open(file, QIODevice::Append | QIODevice::Unbuffered);
}

bool RunLog::append(const QStringList &lines)
{
    QByteArray entry;
    for (const QString &line : lines)
        entry += localText(line) + lineEnd();
    return appendReady(entry);
}

bool RunLog::appendReady(const QByteArray &entry)
{
    return dryRun || HeldUp::timedWrite([&] { return file.write(entry); }) == entry.size();
}

// A run cut short by a full disk may have left part of an entry without its line end; the next
// block begins on a line of its own all the same, so that blocks are found by their first line.
bool RunLog::endsMidLine() const
{
    QFile reader(path);
    if (!reader.open(QIODevice::ReadOnly) || reader.size() == 0 || !reader.seek(reader.size() - 1))
        return false;
    char last = '\n';
    return reader.read(&last, 1) == 1 && last != '\n';
}

bool RunLog::appendHeader(const QDateTime &now)
{
    const QString starLine = QStringLiteral("**************************");
    QStringList lines;
    if (!dryRun && endsMidLine())
        lines << QString();
    return append(lines << starLine
                        << QLatin1String("  ") + now.date().toString(QStringLiteral("dd.MM.yyyy")) +
                               QLatin1String(" / ") + now.time().toString(QStringLiteral("hh:mm")) +
                               QCoreApplication::translate("Fegwerk", " Uhr")
                        << starLine);
}

bool RunLog::appendTotal(int hits)
{
    return append({QLatin1String("Treffer gesamt: ") + QString::number(hits)});
}
