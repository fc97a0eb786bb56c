// The job file and the run log: opened safely, and never deleted by a sweep, even when a job's
// folder holds them and a pattern matches.
#ifndef KEHRLUND_OWNFILES_H
#define KEHRLUND_OWNFILES_H

#include "system/fileid.h"

#include <QIODevice>
#include <QString>
#include <QStringList>
#include <QVector>

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
    // canonical path.
    bool contains(const FileId &id) const;
    bool contains(const QString &path) const;

  private:
    QVector<FileId> ids;
    QStringList canonicalPaths;
};

// A turn at appending to the log, which other runs may append to at once. Each entry is written
// in a shared turn and a run's first block begins in a turn alone, so that it sees the log's end
// between whole entries, never within one that another run is still writing. Without a lock
// (where the system has none, or it failed) a turn is simply taken.
class AppendTurn
{
  public:
    enum Kind { Shared, Alone };
    AppendTurn(QFile &file, Kind kind);
    ~AppendTurn();
    AppendTurn(const AppendTurn &) = delete;
    AppendTurn &operator=(const AppendTurn &) = delete;

    // False only when the file is known to end within a line: a run that failed midway through
    // an entry (a full disk) left it so. Empty or unreadable, it counts as ending with a line.
    bool endsWithWholeLine() const;

  private:
    QFile &file;
    bool locked = false;
};

#endif
