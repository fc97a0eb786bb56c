#include "jobfile/jobfile.h"

#include "jobfile/namepatterns.h"
#include "system/ownfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QTextStream>

// Far longer than any real job line; the limit keeps a job file from exhausting the memory.
constexpr int longestLine = 64 * 1024;

void JobFile::read(const QString &path, OwnFiles &ownFiles,
                   const std::function<void(const QString &)> &take,
                   const std::function<void(const JobFault &)> &refuse)
{
    QFile file(path);
    if (!ownFiles.open(file, QIODevice::ReadOnly | QIODevice::Text)) {
        refuse({JobFault::JobFileNotOpened, {}, 0});
        return;
    }
    // No codec is set: the locale's encoding, unless a byte-order mark names another one. Text
    // mode drops the carriage returns of CR LF files.
    QTextStream stream(&file);
    QString line;
    while (stream.readLineInto(&line, longestLine + 1)) {
        if (line.size() <= longestLine) {
            take(line);
            continue;
        }
        // The rest of the line comes in pieces; the first piece shorter than the limit ends it.
        while (line.size() == longestLine + 1 && stream.readLineInto(&line, longestLine + 1)) {
        }
        refuse({JobFault::WrongLine, {}, 0});
    }
}

std::optional<Job> JobFile::parse(const QString &line, int separatorCount)
{
    if (line.count(QLatin1Char('\t')) != separatorCount)
        return std::nullopt;
    const QStringList fields = line.split(QLatin1Char('\t'), Qt::KeepEmptyParts);
    Job job;
    job.rootFolder = fields.at(0).trimmed();
    while (job.rootFolder.endsWith(QLatin1Char('\\')))
        job.rootFolder.chop(1);
    job.extensions = QSharedPointer<const QStringList>::create(
        fields.at(1).trimmed().split(QLatin1Char(';'), Qt::KeepEmptyParts));
    job.retentionDays = fields.at(2).trimmed().toInt(); // 0 for anything but a whole number
    return job;
}

QVector<JobFault> JobFile::faultsOf(const QString &rootFolder, const QStringList &patterns,
                                    int retentionDays)
{
    // A NUL would cut the path short at the system call and name another folder.
    if (rootFolder.isEmpty() || rootFolder.contains(QChar(0)) || !QFileInfo(rootFolder).isDir())
        return {{JobFault::WrongRoot, {}, 0}};
    QVector<JobFault> faults;
    for (const QString &pattern : patterns) {
        if (!NamePatterns::isAdmitted(pattern))
            faults.append({JobFault::WrongPattern, pattern, 0});
    }
    if (faults.isEmpty() && (retentionDays < 1 || retentionDays > 365))
        faults.append({JobFault::WrongPeriod, {}, retentionDays});
    return faults;
}
