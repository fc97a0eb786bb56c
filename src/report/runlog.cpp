#include "report/runlog.h"

#include "report/consolemessage.h"
#include "system/ownfiles.h"

#include <QCoreApplication>

RunLog::RunLog(const QString &path, bool dryRun, HeldUp::Count &writesThatBlocked)
    : file(path), dryRun(dryRun), writesThatBlocked(writesThatBlocked)
{
}

bool RunLog::open(OwnFiles &ownFiles)
{
    return dryRun ? ownFiles.canAppend(file.fileName())
                  : ownFiles.open(file, QIODevice::Append | QIODevice::Unbuffered);
}

bool RunLog::append(const QByteArray &entry)
{
    return dryRun ||
           HeldUp::timedWrite(writesThatBlocked, [&] { return file.write(entry); }) == entry.size();
}

// A block begins on a line of its own, also after an entry that a full disk cut short, so that a
// reader finds every block by its first line.
bool RunLog::appendHeader(const QDateTime &now)
{
    if (dryRun)
        return true;
    const QByteArray starLine = QByteArray("**************************") + lineEnd;
    QByteArray header =
        starLine +
        localText(QLatin1String("  ") + now.date().toString(QStringLiteral("dd.MM.yyyy")) +
                  QLatin1String(" / ") + now.time().toString(QStringLiteral("hh:mm")) +
                  QCoreApplication::translate("Fegwerk", " Uhr")) +
        lineEnd + starLine;
    return HeldUp::timedWrite(writesThatBlocked, [&] {
        const LogBeginning beginning(file);
        if (beginning.endsWithinLine())
            header.prepend(lineEnd);
        return file.write(header) == header.size();
    });
}

bool RunLog::appendTotal(int hits)
{
    return append("Treffer gesamt: " + QByteArray::number(hits) + lineEnd);
}
