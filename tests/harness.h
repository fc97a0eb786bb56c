// Runs the built program in a fresh working folder and hands back what it wrote; builds the
// console messages and log lines the program is expected to write.
#ifndef KEHRLUND_TEST_HARNESS_H
#define KEHRLUND_TEST_HARNESS_H

#include <QByteArray>
#include <QDateTime>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// How long a test waits for anything (a run to end, a helper to answer, a process to block)
// before it calls it hung: far beyond what any of it takes on a busy machine, so that only a
// hang reaches it. No verdict depends on how fast something happens.
constexpr int hangMs = 5 * 60 * 1000;

struct RunOptions {
    // Clock of the program: empty for the real one, "+40d" to move it, or an absolute local time
    // such as "2026-12-09 00:01:00" (the clock then runs on from there).
    QString fakeTime;
    QStringList arguments;
    // Started before the program, such as valgrind and its options; libfaketime is preloaded
    // into them as well.
    QStringList wrapper;
    // Added to (or, with an empty value, removed from) the program's environment.
    QList<QPair<QString, QString>> environment;
    // The working folder, relative to the workspace; empty for the workspace itself.
    QString workingFolder;
    // Run as an unprivileged user (nobody) when the tests run as root; as the user itself else.
    bool unprivileged = false;
    // A file (or FIFO) that takes standard error instead of the pipe the test reads.
    QString console;
};

struct RunResult {
    QByteArray console; // standard error
    QByteArray standardOutput;
    QByteArray log; // the run log after the run; empty when there is none or it is no file
    int exitCode = -1;
    bool finished = false; // false: the run hung (it did not end within hangMs) and was killed
    // The program's clock (UTC, its local time) just before it started and just after it ended.
    QDateTime clockBefore;
    QDateTime clockAfter;

    // The whole log this run leaves: what was there before, the block header with the time of
    // the run, and the lines of its block after the header.
    QByteArray expectedLog(const QByteArray &body, const QByteArray &earlier = QByteArray()) const;
};

class Workspace
{
  public:
    // Near midnight (UTC) waits for the next day first, so that the files a test makes and the
    // runs it starts share one calendar day.
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
    // else its folder is made read-only; under Windows, held open by another Windows program.
    // Undone when the workspace goes.
    bool lockFile(const QString &relative);
    // Another program holds the file open (reading from it) until the workspace goes.
    bool holdOpen(const QString &relative);

    // Starts the program in the workspace, standard input closed; finish() waits for it. run()
    // does both; start() alone lets several runs go at once.
    void start(QProcess &process, const RunOptions &options) const;
    RunResult finish(QProcess &process, const RunOptions &options) const;
    RunResult run(const RunOptions &options = RunOptions()) const;

  private:
    QTemporaryDir dir;
    QStringList lockedFiles;
    QStringList readOnlyFolders;
    std::vector<std::unique_ptr<QProcess>> holders;
};

bool runningAsRoot();

// Whether the process has ended (or is only left for its parent to reap).
bool hasEnded(qint64 pid);
// Whether the process waits in the system, in a kernel function whose name holds `where`.
bool isWaitingIn(qint64 pid, const char *where);

// Called before a test mounts: from then on the test's mounts live in a mount namespace of its
// own, which goes with its process, so that none outlives a test killed before its destructors
// could unmount (a timeout). Needs root, as mounting does.
void keepMountsToThisTest();

// A file system mounted for one test, unmounted when the test ends, whether it passed or not.
class Mount
{
  public:
    Mount(const QString &source, const QString &target, const char *type, const char *data,
          unsigned long flags);
    ~Mount();
    Mount(const Mount &) = delete;
    Mount &operator=(const Mount &) = delete;
    bool isMounted() const { return mounted; }

  private:
    QByteArray target;
    bool mounted = false;
};

struct fuse_in_header;

// A file system in user space, mounted at `target` and served (or not) by a thread of the test
// over /dev/fuse, that falls silent as a network mount whose server went away. Needs root;
// unmounted when it goes.
class SilentFileSystem
{
  public:
    enum class Silence {
        // Reads no request: each call waits, and only a fatal signal breaks the wait.
        FromTheStart,
        // Serves a root folder holding one writable file, "console", until fallSilent(); after
        // that it answers the file's next write and then reads no request more.
        AfterAWrite,
        // Answers INIT, then reads every request and answers none: a call waits, and not even a
        // fatal signal breaks the wait until the file system goes.
        ReadsButNeverAnswers,
    };
    explicit SilentFileSystem(const QString &target, Silence silence = Silence::FromTheStart);
    ~SilentFileSystem();
    SilentFileSystem(const SilentFileSystem &) = delete;
    SilentFileSystem &operator=(const SilentFileSystem &) = delete;

    bool isMounted() const { return mount && mount->isMounted(); }
    QString filePath() const { return target + QStringLiteral("/console"); }
    void fallSilent() { armed = true; }
    bool hasFallenSilent() const { return silent; }
    QByteArray fileContent() const; // what was written to "console"

  private:
    void serve();
    void answer(const struct fuse_in_header &request, const char *body);
    void reply(const struct fuse_in_header &request, int error, const void *data = nullptr,
               size_t size = 0);

    QString target;
    Silence silence;
    int device;
    int wake[2] = {-1, -1};
    std::unique_ptr<Mount> mount;
    std::thread server;
    std::atomic<bool> armed{false};
    std::atomic<bool> silent{false};
    mutable std::mutex contentLock;
    QByteArray content;
};

// The program under test is a Windows program when KEHRLUND_WINDOWS names a starter for one
// (tests/wine-run.sh): KEHRLUND_UNDER_TEST (kehrlund.exe) is then started through it, and it
// writes the Windows form of its texts (expect::asOnWindows). KEHRLUND_HOLDER names the Windows
// program that holds a file open (kehrlund_holdopen.exe of the Windows build).
bool underWindows();

// Removes a tree that Qt cannot remove (deeper than the path limit) when the test ends.
struct TreeRemover {
    QString path;
    ~TreeRemover();
};

// A chain of `depth` folders named `level` below the workspace's folder `under`, made step by step
// (the whole path may lie far beyond the system's limit), with the given empty files in the
// deepest; the deepest folder's path relative to the workspace.
QString makeDeepFolder(const Workspace &workspace, const QString &under, const QByteArray &level,
                       int depth, const QList<QByteArray> &files);

// The program itself, below the wrappers it was started through (strace, setpriv): the process a
// signal is meant for. Waits until the wrappers have started it.
qint64 programProcess(const QProcess &process);

// Standard error into a pipe of one page that nobody reads until the test says: the program
// blocks on its console after a few lines, and the test changes the tree under it first.
class BlockingConsole
{
  public:
    explicit BlockingConsole(const Workspace &workspace);
    ~BlockingConsole();
    BlockingConsole(const BlockingConsole &) = delete;
    BlockingConsole &operator=(const BlockingConsole &) = delete;

    QString path() const { return fifo; } // for RunOptions::console
    bool isOpen() const { return reader >= 0; }
    // Waits until the process is blocked writing to it; false when it ended first, or hung.
    static bool waitUntilBlocked(qint64 pid);
    // Reads what was written until all writers have gone (or they hung).
    QByteArray readToEnd();

  private:
    QString fifo;
    int reader = -1;
};

// A file system of its own (ext4), mounted at `folder` of the workspace and open to everyone,
// holding `entries` (relative to it; a path ending in "/" is a folder) whose files were born on
// 1 January 2025 at noon: old for any period, without a moved clock. Files made later on it are
// born when they are made. Needs root; unmounted when it goes.
class BornLongAgo
{
  public:
    BornLongAgo(const Workspace &workspace, const QString &folder, const QStringList &entries);
    ~BornLongAgo();
    BornLongAgo(const BornLongAgo &) = delete;
    BornLongAgo &operator=(const BornLongAgo &) = delete;

    bool isMounted() const { return mounted; }
    static int ageToday(); // in days, as the program counts it in the tests' time zone

  private:
    QTemporaryDir scratch;
    QString mountPoint;
    bool mounted = false;
};

// The command run as nobody when the tests run as root, else unchanged.
QStringList asUnprivileged(const QStringList &command);

// Options for a run with the clock moved a number of days on.
RunOptions daysOn(int days);

// The options with the program run under strace (-f, the given options, such as -o, -e trace= and
// -e inject=; see strace(1)). strace itself runs outside the moved clock, which would stretch the
// delays it injects, and hands the clock on to the program; a sanitized program's leak check
// needs no tracer, and is left out.
RunOptions underStrace(RunOptions options, const QStringList &straceOptions);

// Texts given in UTF-8, as a list.
QStringList strings(std::initializer_list<const char *> utf8);

// Local date and time string for RunOptions::fakeTime, a given number of days from today at a
// time of day.
QString fakeTimeAt(int daysFromToday, const QString &timeOfDay);

// What the program writes, built from its fixed texts. Names, paths and patterns are bytes: UTF-8
// text, or raw bytes where a test needs them.
namespace expect
{
// The console format: a text item in double quotes and a blank, an integer bare and a blank,
// each message one line.
QByteArray item(const QByteArray &text);
QByteArray item(int number);

QByteArray announced(const QByteArray &root); // a job starts: its root folder and an empty line
QByteArray hit(const QByteArray &name, int age);
QByteArray refused(const QByteArray &path); // Fehler 005
QByteArray wrongRoot();                     // Fehler 001
QByteArray wrongPattern(const QByteArray &pattern);
QByteArray wrongPeriod(int days);
QByteArray notSwept(const QByteArray &folder); // Fehler 005: a folder that could not be listed
QByteArray heldFilesUnknown();                 // Fehler 005: the snapshot of held files failed
// With -v: a folder or file passed over, and why.
enum class Why { NotReadable, Gone, Moved, Hidden, LinkToFolder, OtherMount, InUse };
QByteArray passedOver(const QByteArray &path, Why why);
bool namesPassedOver(const QByteArray &console);     // whether it holds such a line
QByteArray logNotWritten();                          // Fehler 004
QByteArray logNotWrittenFor(const QByteArray &path); // Fehler 004 for an entry: the file it lacks
QByteArray dryRunDone();                             // the last line of a dry run
QByteArray jobFileNotOpened();                       // Fehler 006
QByteArray wrongLine();                              // Fehler 007
QByteArray prompt();                                 // the closing prompt
QByteArray total(int hits);                          // empty line and the total
QByteArray end(int hits);                            // the total and the closing prompt

// The run log.
QByteArray logHeader(const QDateTime &time);
QByteArray removedEntry(const QByteArray &path, int age);
QByteArray refusedEntry(const QByteArray &path);
QByteArray notSweptEntry(const QByteArray &folder);
QByteArray heldFilesUnknownEntry();
QByteArray logTotal(int hits);

// The Windows form of a text that the program writes (or of a job file, as written there): CR LF
// line ends, a backslash for every slash between two parts of a path (a slash between blanks, as
// in the log's date line, stays), and code page 1252, the ANSI code page of a German Windows,
// with '?' for every character that it cannot show.
QByteArray asOnWindows(const QByteArray &utf8);

// An expected text as the program under test writes it: in its Windows form under Windows,
// else as it is.
QByteArray asWritten(const QByteArray &utf8);
} // namespace expect

#endif
