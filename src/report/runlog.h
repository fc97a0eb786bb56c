// The run log: one block per run, appended to the file and never truncated.
#ifndef KEHRLUND_RUNLOG_H
#define KEHRLUND_RUNLOG_H

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

class OwnFiles;

class RunLog
{
  public:
    // A dry run's log checks that the file could be appended to, and then writes nothing.
    RunLog(const QString &path, bool dryRun);

    bool open(OwnFiles &ownFiles);

    // Each entry goes out in one write at the end of the file, however long it is, so that runs
    // appending at once never split it. False when it could not be written whole.
    bool append(const QStringList &lines);
    // An entry made ready, in the locale's encoding, with its line ends.
    bool appendReady(const QByteArray &entry);
    static const QByteArray &lineEnd();

    bool appendHeader(const QDateTime &now);
    bool appendTotal(int hits);

  private:
    QFile file;
    bool dryRun;
};

#endif
