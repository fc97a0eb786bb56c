#ifndef KEHRLUND_JOBFILE_H
#define KEHRLUND_JOBFILE_H

#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <optional>

class OwnFiles;

// One cleanup job, one per accepted line of the job file.
struct Job {
    QString rootFolder;
    QSharedPointer<const QStringList> extensions;
    int retentionDays = 0;
};

// A fault of the job file or of a job, as the console reports it.
struct JobFault {
    enum Kind {
        JobFileNotOpened, // Fehler 006
        WrongLine,        // Fehler 007
        WrongRoot,        // Fehler 001
        WrongPattern,     // Fehler 002, with `pattern`
        WrongPeriod,      // Fehler 003, with `days`
    };
    Kind kind;
    QString pattern;
    int days = 0;
};

namespace JobFile
{
// Hands each line to `take`, in file order. The file that cannot be opened, and a line far longer
// than any job (refused without being held whole), go to `refuse`, in their place.
void read(const QString &path, OwnFiles &ownFiles, const std::function<void(const QString &)> &take,
          const std::function<void(const JobFault &)> &refuse);

// The job of a line with `separatorCount` tabs; none for any other line.
std::optional<Job> parse(const QString &line, int separatorCount);

// The faults of a job, none when it may run: a root folder that is no folder (and then nothing
// else is checked), else every refused pattern, else a period outside 1 to 365 days.
QVector<JobFault> faultsOf(const QString &rootFolder, const QStringList &patterns,
                           int retentionDays);
} // namespace JobFile

#endif
