// The job file and the run log: opened safely, and never deleted by a sweep, even when a job's
// folder holds them and a pattern matches.
#ifndef KEHRLUND_OWNFILES_H
#define KEHRLUND_OWNFILES_H

#include "system/fileid.h"

#include <QIODevice>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

class QFile;

class OwnFiles
{
  public:
    // Opens a regular file, never anything else (a FIFO in its place cannot hold the program), and
    // remembers it. Opened for appending, the file is created where it is missing and every
    // write goes to its end, also with other runs appending at once.
    bool open(QFile &file, QIODevice::OpenMode mode);

    // Whether open() could append to the file, without creating or changing it; an existing
    // file is remembered as open() would.
    bool canAppend(const QString &path);

    // By identity where the system tells one (a file's identity is known there), else by
    // canonical path, which `pathOf` gives (asked only then).
    bool contains(const FileId &id, const std::function<QString()> &pathOf) const;

  private:
    QVector<FileId> ids;
    QStringList canonicalPaths;
};

// Runs may append to one log at once. A run begins its block alone where it can, that is, while
// no other run has the log open for its own run: only then does it look at how the log ends, and
// ends a line that an earlier run left unfinished (a full disk) before its header; a run still
// writing could be midway through an entry. From then on it shares the log with the runs that
// begin after it, which leave the end alone. Where the system has no such lock, the end is
// always looked at.
class LogBeginning
{
  public:
    explicit LogBeginning(QFile &log);
    ~LogBeginning();
    LogBeginning(const LogBeginning &) = delete;
    LogBeginning &operator=(const LogBeginning &) = delete;

    bool endsWithinLine() const;

  private:
    QFile &log;
    bool alone = true;
};

#endif
