// Kehrlund: deletes old files from folder trees, as the job file in the working folder says.
#ifndef KEHRLUND_FEGWERK_H
#define KEHRLUND_FEGWERK_H

#include "openfiles.h"
#include "ownfiles.h"
#include "remover.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

class ConsoleMessage;
class RunLog;
struct Candidate;
struct HitTexts;
struct JudgedBatch;
struct ListedFolder;

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
    void removeFile(const ListedFolder &folder, const JudgedBatch &batch,
                    const Candidate &candidate, RunLog &runLog);

    // A dry run does all a run does and shows the same messages, but deletes nothing and leaves
    // the run log untouched.
    void setDryRun(bool on);

    const QList<Job> &jobList() const { return jobs; }
    int hits() const { return hitCount; }

  private:
    static HitTexts hitTexts(const QString &name, const QString &path, int ageDays);
    bool beginFolder(const ListedFolder &folder, RunLog &runLog);
    void report(const QString &failed, const QString &path, const QString &ending, RunLog &runLog);
    void recordError(ConsoleMessage &lines, const QString &failed, const QString &path,
                     const QString &ending, RunLog &runLog);
    void stopForLog(ConsoleMessage &lines, const QString &path);
    bool mustStop() const;
    QString logNotWritten() const; // the text of Fehler 004

    QList<Job> jobs;
    int separatorCount = 2;
    QDateTime startTime; // the reference time of the age test, taken anew as each day begins
    QString logFilePath;
    QString jobFilePath;
    int hitCount = 0;
    bool dryRun = false;
    bool logFailed = false; // an entry could not be written: nothing more may be deleted

    OwnFiles ownFiles;      // never deleted
    FilesHeldOpen heldOpen; // held open by other programs: not deleted
    Remover remover{ownFiles, heldOpen};
};

#endif
