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

RunLog::RunLog(const QString &path, bool dryRun) : file(path), dryRun(dryRun) {}

bool RunLog::open(OwnFiles &ownFiles)
{
    if (dryRun)
        return ownFiles.canAppend(file.fileName());
    return ownFiles.open(file, QIODevice::Append | QIODevice::Unbuffered);
}

namespace
{
QByteArray entryOf(const QStringList &lines)
{
    QByteArray entry;
    for (const QString &line : lines)
        entry += localText(line) + RunLog::lineEnd();
    return entry;
}
} // namespace

bool RunLog::append(const QStringList &lines)
{
    return appendReady(entryOf(lines));
}

bool RunLog::appendReady(const QByteArray &entry)
{
    return dryRun || HeldUp::timedWrite([&] { return file.write(entry); }) == entry.size();
}

// A block begins on a line of its own, also after an entry that a full disk cut short, so that a
// reader finds every block by its first line.
bool RunLog::appendHeader(const QDateTime &now)
{
    const QString starLine = QStringLiteral("**************************");
    QByteArray header =
        entryOf({starLine,
                 QLatin1String("  ") + now.date().toString(QStringLiteral("dd.MM.yyyy")) +
                     QLatin1String(" / ") + now.time().toString(QStringLiteral("hh:mm")) +
                     QCoreApplication::translate("Fegwerk", " Uhr"),
                 starLine});
    if (dryRun)
        return true;
    return HeldUp::timedWrite([&] {
        const LogBeginning beginning(file);
        if (beginning.endsWithinLine())
            header.prepend(lineEnd());
        return file.write(header) == header.size();
    });
}

bool RunLog::appendTotal(int hits)
{
    return append({QLatin1String("Treffer gesamt: ") + QString::number(hits)});
}
