// Kehrlund: deletes old files from folder trees, as the job file in the working folder says.
#ifndef KEHRLUND_FEGWERK_H
#define KEHRLUND_FEGWERK_H

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QIODevice>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

class QFile;
class QTextStream;

// One console message on standard error: every text item between double quotes, unescaped,
// every integer bare, each item followed by one blank. Written straight to the stream when the
// message goes out of scope, so Qt's logging rules and message patterns cannot alter or
// silence it.
class ConsoleMessage
{
  public:
    ConsoleMessage() = default;
    ConsoleMessage(const ConsoleMessage &) = delete;
    ConsoleMessage &operator=(const ConsoleMessage &) = delete;
    ~ConsoleMessage();

    ConsoleMessage &operator<<(const QString &text);
    ConsoleMessage &operator<<(int number);

    // The whole line as it is written, without the line end; for tests.
    QByteArray line() const;

  private:
    QString text;
};

// One cleanup job, one per accepted line of the job file. Copies share one pattern list, which
// goes when the last copy goes.
struct Job {
    QString rootFolder;
    QSharedPointer<const QStringList> extensions;
    int retentionDays = 0;
};

// Identity of a file on this machine (device and inode where the system has them).
struct FileId {
    quint64 device = 0;
    quint64 inode = 0;
    bool operator==(const FileId &other) const
    {
        return device == other.device && inode == other.inode;
    }
};
uint qHash(const FileId &id, uint seed = 0) noexcept;

// A job's name patterns, prepared once per job so that testing a name costs no allocation.
class NamePatterns
{
  public:
    explicit NamePatterns(const QStringList &patterns);
    ~NamePatterns();
    NamePatterns(const NamePatterns &) = delete;
    NamePatterns &operator=(const NamePatterns &) = delete;

    // Whole-name match without regard to case, as the folder listing's wildcard filters do.
    bool matches(const QByteArray &encodedName) const;

  private:
    struct Compiled;
    std::unique_ptr<Compiled> compiled;
};

// A file found old enough, handed from the sweep to the removal.
struct Hit {
    QString path;          // folder path, separator and name, as shown in messages and the log
    QString name;          // the entry name alone, as shown in the hit message
    int ageDays = 0;       // whole calendar days from the creation date to the reference date
    FileId id;             // for the check against files that running programs hold open
    int folderHandle = -1; // open folder that holds the entry, or -1 where removal goes by path
    QByteArray entryName;  // the name as the file system spells it
};

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
    void sweepFolder(const QString &folderPath, QTextStream &logStream, int jobIndex);
    void removeFile(const Hit &hit, QTextStream &logStream);

    const QList<Job> &jobList() const { return jobs; }
    int hits() const { return hitCount; }

    // Files that running programs hold open; a hit among them is left in place and reported as
    // a removal that failed, since deleting it would lose what the program still writes.
    void takeOpenFilesSnapshot();

  private:
    // The start of the local calendar days the age test needs, worked out again only when the
    // clock passes into another day (converting every file's time to local time is costly).
    struct ReferenceDay {
        QDate today;
        qint64 todayStartMs = 0;
        qint64 tomorrowStartMs = 0;
        int retentionDays = 0;
        qint64 hitBeforeMs = 0; // created before this instant: old enough
    };

    void refreshReferenceDay(int retentionDays);
    bool isOldEnough(qint64 createdMs) const { return createdMs < reference.hitBeforeMs; }
    bool isProtected(const FileId &id, const QString &path) const;
    void reportHit(const Hit &hit) const;
    void sweepTreeByHandles(const QString &rootPath, QTextStream &logStream,
                            const QStringList &patterns);
    void sweepTreeByPaths(const QString &rootPath, QTextStream &logStream,
                          const QStringList &patterns);
    bool openOwnFile(QFile &file, QIODevice::OpenMode mode);

    QList<Job> jobs;
    int separatorCount = 2;
    QDateTime startTime;
    QString logFilePath;
    QString jobFilePath;
    int hitCount = 0;

    ReferenceDay reference;
    QSet<FileId> openFiles;
    QVector<FileId> ownFiles; // the job file and the run log: never deleted
    QStringList ownFilePaths; // the same, where files are known only by their paths
};

#endif
