// The run log: one block per run, appended to the file and never truncated.
#ifndef KEHRLUND_RUNLOG_H
#define KEHRLUND_RUNLOG_H

#include "system/heldup.h"

#include <QFile>
#include <QString>

class OwnFiles;

class RunLog
{
  public:
    // A dry run's log checks that the file could be appended to, and then writes nothing.
    RunLog(const QString &path, bool dryRun, HeldUp::Count &writesThatBlocked)
        : file(path), dryRun(dryRun), writesThatBlocked(writesThatBlocked)
    {
    }

    bool open(OwnFiles &ownFiles);

    // An entry (in the locale's encoding, with its line ends) goes out in one write, however long,
    // so that runs appending at once never split it. False when it could not be written whole.
    bool append(const QByteArray &entry);
#ifdef Q_OS_WIN
    static constexpr char lineEnd[] = "\r\n"; // as text files end their lines there
#else
    static constexpr char lineEnd[] = "\n";
#endif

    bool appendHeader();
    bool appendTotal(int hits);

  private:
    QFile file;
    bool dryRun;
    HeldUp::Count &writesThatBlocked;
};

#endif
