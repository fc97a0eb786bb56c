// The job file: read line by line, each line turned into a job or refused, each job checked. The
// faults met are shown on the console as they are met.
#ifndef KEHRLUND_JOBFILE_H
#define KEHRLUND_JOBFILE_H

#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class OwnFiles;

// One cleanup job, one per accepted line of the job file. Copies share one pattern list, which goes
// when the last copy goes.
struct Job {
    QString rootFolder;
    QSharedPointer<const QStringList> extensions;
    int retentionDays = 0;
};

namespace JobFile
{
// Hands each line to `take`, in file order; Fehler 006 when the file cannot be opened. A line far
// longer than any job is refused (Fehler 007) without being held whole.
void read(const QString &path, OwnFiles &ownFiles,
          const std::function<void(const QString &)> &take);

// The job of a line with `separatorCount` tabs; Fehler 007 and none for any other line.
std::optional<Job> parse(const QString &line, int separatorCount);

// True when the job is faulty, after its faults are shown: a root folder that is no folder
// (Fehler 001, and nothing else is checked), every refused pattern (Fehler 002), else a period
// outside 1 to 365 days (Fehler 003).
bool isFaulty(const QString &rootFolder, const QStringList &patterns, int retentionDays);
} // namespace JobFile

#endif
