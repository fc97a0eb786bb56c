#include "report/runlog.h"

#include "report/consolemessage.h"
#include "system/ownfiles.h"

#include <QCoreApplication>
#include <QDateTime>

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
bool RunLog::appendHeader()
{
    const QByteArray starLine = QByteArray("**************************") + lineEnd;
    QByteArray header =
        starLine +
        localText(QDateTime::currentDateTime().toString(QStringLiteral("  dd.MM.yyyy / hh:mm")) +
                  QCoreApplication::translate("Fegwerk", " Uhr")) +
        lineEnd + starLine;
    return dryRun || HeldUp::timedWrite(writesThatBlocked, [&] {
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
