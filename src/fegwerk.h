#ifndef KEHRLUND_FEGWERK_H
#define KEHRLUND_FEGWERK_H

#include "jobfile/jobfile.h"
#include "sweep/remover.h"
#include "system/openfiles.h"
#include "system/ownfiles.h"
#include "walk/walk.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class RunReport;

class Fegwerk : public QObject
{
    Q_OBJECT

  public:
    Fegwerk(const QString &jobFilePath, const QString &logFilePath, QObject *parent = nullptr);

    void readJobFile();
    void parseJobLine(const QString &line);
    bool validateJob(const QString &rootFolder, const QStringList *extensions, int retentionDays);
    void run();
    void sweepFolder(const QString &folderPath, RunReport &report, int jobIndex);
    // Listed while the folder is still to be swept; else why nothing more of it is.
    FolderOutcome removeFile(const Folder &folder, int file, RunReport &report);

    // A dry run does all a run does and shows the same messages, but deletes nothing and leaves
    // the run log untouched.
    void setDryRun(bool on) { dryRun = on; }
    // A verbose run names on the console every folder and file it passes over, and why.
    void setVerbose(bool on) { verbose = on; }

    const QList<Job> &jobList() const { return jobs; }
    int hits() const { return hitCount; }

  private:
    FolderOutcome sweepFiles(const Folder &folder, RunReport &report);

    QList<Job> jobs;
    int separatorCount = 2;
    // Ages are measured against the clock as each folder begins, not against this.
    QDateTime startTime;
    QString logFilePath;
    QString jobFilePath;
    int hitCount = 0;
    bool dryRun = false;
    bool verbose = false;

    OwnFiles ownFiles;      // never deleted
    FilesHeldOpen heldOpen; // held open by other programs: not deleted
    Remover remover{ownFiles, heldOpen};
};

#endif
