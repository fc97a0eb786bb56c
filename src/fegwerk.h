// Kehrlund: deletes old files from folder trees, as the job file in the working folder says.
#ifndef KEHRLUND_FEGWERK_H
#define KEHRLUND_FEGWERK_H

#include "fileid.h"
#include "ownfiles.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

class RunLog;
struct Hit;
struct WalkEntry;
struct EntryStatus;
template <typename T> class Handover;
enum class Removal;

// One cleanup job, one per accepted line of the job file. Copies share one pattern list, which
// goes when the last copy goes.
struct Job {
    QString rootFolder;
    QSharedPointer<const QStringList> extensions;
    int retentionDays = 0;
};

// The cleaner: reads and checks the jobs when it is made, sweeps them when it runs.
class Fegwerk : public QObject
{
    Q_OBJECT

  public:
    Fegwerk(const QString &jobFilePath, const QString &logFilePath, QObject *parent = nullptr);
    ~Fegwerk() override;

    void readJobFile();
    void parseJobLine(const QString &line);
    bool validateJob(const QString &rootFolder, const QStringList *extensions, int retentionDays);
    void run();
    void sweepFolder(const QString &folderPath, RunLog &runLog, int jobIndex);
    void removeFile(const Hit &hit, RunLog &runLog);

    // A dry run does all a run does and shows the same messages, but deletes nothing and leaves
    // the run log untouched.
    void setDryRun(bool on) { dryRun = on; }

    const QList<Job> &jobList() const { return jobs; }
    int hits() const { return hitCount; }

  private:
    void findHits(const QString &folderPath, const Job &job, Handover<Hit> &hits);
    Hit hitOf(const WalkEntry &entry, const QString &name, const QString &path, int ageDays,
              const EntryStatus &status) const;
    bool mustStop() const;
    QString logNotWritten() const; // the text of Fehler 004
    Removal removeInDryRun(const Hit &hit);

    QList<Job> jobs;
    int separatorCount = 2;
    QDateTime startTime; // the reference time of the age test, taken anew as each day begins
    QString logFilePath;
    QString jobFilePath;
    int hitCount = 0;
    bool dryRun = false;
    bool logFailed = false; // an entry could not be written: nothing more may be deleted

    OwnFiles ownFiles;      // never deleted
    QSet<FileId> openFiles; // held open by other programs: not deleted
    struct {
        QSet<QString> paths;
        QSet<FileId> ids;
    } dryRunRemoved; // what a dry run took as removed
};

#endif
