// Runs the built program in a fresh working folder and hands back what it wrote.
#ifndef KEHRLUND_TEST_HARNESS_H
#define KEHRLUND_TEST_HARNESS_H

#include <QByteArray>
#include <QDateTime>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

struct RunOptions {
    // Clock of the program: empty for the real one, "+40d" to move it, or an absolute local time
    // such as "2026-12-09 00:01:00" (the clock then runs on from there).
    QString fakeTime;
    QStringList arguments;
    // Added to (or, with an empty value, removed from) the program's environment.
    QList<QPair<QString, QString>> environment;
    // Run as an unprivileged user (nobody) when the tests run as root; as the user itself else.
    bool unprivileged = false;
    int timeoutMs = 120000;
};

struct RunResult {
    QByteArray console; // standard error
    QByteArray standardOutput;
    QByteArray log; // the run log after the run; empty when there is none
    int exitCode = -1;
    bool finished = false;
};

class Workspace
{
  public:
    Workspace();
    ~Workspace();
    Workspace(const Workspace &) = delete;
    Workspace &operator=(const Workspace &) = delete;

    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }
    QString pathOf(const QString &relative) const
    {
        return dir.path() + QLatin1Char('/') + relative;
    }

    void writeJobFile(const QByteArray &content) const;
    void writeFile(const QString &relative, const QByteArray &content = QByteArray()) const;
    void makeFolder(const QString &relative) const;
    bool exists(const QString &relative) const;

    // Makes a file that the program cannot delete: immutable when the tests run as root,
    // else its folder is made read-only. Undone when the workspace goes.
    bool lockFile(const QString &relative);

    RunResult run(const RunOptions &options = RunOptions()) const;

  private:
    QTemporaryDir dir;
    QStringList lockedFiles;
    QStringList readOnlyFolders;
};

bool runningAsRoot();

// The program under test, where an unprivileged run can reach it.
QString programPath();

// The environment every run of the program gets: the Qt logging variables removed, UTC, a UTF-8
// locale, and sanitizer settings that let libfaketime be preloaded.
QProcessEnvironment programEnvironment();

// The system's console format: a text item in double quotes and a blank, an integer bare and a
// blank, each message one line.
QByteArray item(const QString &text);
QByteArray item(int number);
QByteArray line(const QByteArray &items);

// Messages every run ends with.
QByteArray totalMessages(int hits);
QByteArray closingPrompt();

// The three header lines of a log block at a given local time.
QByteArray logHeader(const QDateTime &time);
// A log block without its header: the lines after the second star line.
QByteArray logBody(const QByteArray &log, int block = 0);
int logBlockCount(const QByteArray &log);

// Local date and time string for faketime, a given number of days from today at a time of day.
QString fakeTimeAt(int daysFromToday, const QString &timeOfDay);

#endif
