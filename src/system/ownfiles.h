// The job file and the run log: opened safely, and never deleted by a sweep, even when a job's
// folder holds them and a pattern matches.
#ifndef KEHRLUND_OWNFILES_H
#define KEHRLUND_OWNFILES_H

#include "system/fileid.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

class OwnFiles
{
  public:
    // Opens a regular file, never anything else, and remembers it; one to append to is created
    // where it is missing, and every write goes to its end, also with other runs appending.
    bool open(QFile &file, QIODevice::OpenMode mode);

    // Whether open() could append to the file, without creating or changing it; an existing
    // file is remembered as open() would.
    bool canAppend(const QString &path);

    // By identity where the system tells one, else by canonical path (`pathOf`, asked only then).
    bool contains(const FileId &id, const std::function<QString()> &pathOf) const;

  private:
    QVector<FileId> ids;
    QStringList canonicalPaths;
};

// Only a run that begins its block alone looks at how the log ends (an unfinished line, a full
// disk's): with another run writing, the end could be midway through that run's entry. Where the
// system has no lock to share, the end is always looked at.
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
