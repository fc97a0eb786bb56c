// Races against the sweep: the tree changed while the program waits on its console, a folder
// swapped for a symbolic link while the tree is swept, and two runs at once over the same trees.
//
// The program under test is the one this build made; KEHRLUND_UNDER_TEST names another one (for
// instance a build that walks folders by path, to see the attack succeed there). Every run has
// the clock moved 40 days on, so that every file the test makes is old.
#include "harness.h"

#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef KEHRLUND_EXCHANGER
#error "KEHRLUND_EXCHANGER must name the exchanger program"
#endif
#ifndef KEHRLUND_MAPPER
#error "KEHRLUND_MAPPER must name the mapper program"
#endif

namespace
{
// A run that ended by itself, with exit code 0.
bool finishedCleanly(const RunResult &result)
{
    return result.finished && result.exitCode == 0;
}

bool createFileAt(int folder, const QByteArray &name)
{
    const int handle = ::openat(folder, name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (handle < 0)
        return false;
    ::close(handle);
    return true;
}

bool existsAt(int folder, const QByteArray &name)
{
    struct stat status;
    return ::fstatat(folder, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

QByteArray numbered(const char *stem, int number, int width)
{
    return stem + QByteArray::number(number).rightJustified(width, '0') + ".log";
}

// The names stem000.log, stem001.log, ... of `count` files.
QStringList numberedFiles(const char *stem, int count, int width = 3)
{
    QStringList names;
    for (int i = 0; i < count; ++i)
        names << QString::fromLatin1(numbered(stem, i, width));
    return names;
}

// Why a race with the console blocked cannot be run here, or null when it can: it needs an
// ext4 image whose files were born long ago, and folder handles that hold the listed folders.
const char *whyNoBlockedRace()
{
    if (!runningAsRoot())
        return "needs root to mount a file system whose files were born long ago";
#ifdef KEHRLUND_WALK_BY_PATHS
    return "this build walks folders by path, which does not hold the folders it listed";
#else
    return nullptr;
#endif
}

// The exchanger's count of exchanges so far (it prints it on SIGUSR1); 0 when it gave none.
qulonglong exchangesSoFar(QProcess &exchanger)
{
    ::kill(pid_t(exchanger.processId()), SIGUSR1);
    while (!exchanger.canReadLine()) {
        if (!exchanger.waitForReadyRead(hangMs))
            return 0;
    }
    return exchanger.readLine().trimmed().toULongLong();
}

// Runs `change` in a shell in "disk" of the workspace; false when it failed.
bool changeTree(const Workspace &workspace, const QString &change)
{
    QProcess changer;
    changer.setWorkingDirectory(workspace.pathOf(QStringLiteral("disk")));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MAPPER"), QStringLiteral(KEHRLUND_MAPPER));
    changer.setProcessEnvironment(environment);
    changer.start(QStringLiteral("sh"), {QStringLiteral("-c"), change});
    return changer.waitForFinished(hangMs) && changer.exitCode() == 0;
}

QStringList verboseIf(bool verbose)
{
    return verbose ? QStringList{QStringLiteral("-v")} : QStringList();
}

// Runs the program in "disk" of the workspace with its console blocked; once it blocks, `change`
// runs there in a shell, then the console is read. False when a step failed. Without openat2 (as
// on a kernel before 5.6) the program goes the way it takes there.
bool runChangedWhileBlocked(const Workspace &workspace, const QString &change, RunResult &result,
                            bool withoutOpenat2 = false, const QStringList &arguments = {})
{
    BlockingConsole console(workspace);
    if (!console.isOpen())
        return false;
    RunOptions options;
    if (withoutOpenat2) {
        options.wrapper = QStringList{QStringLiteral("strace"),
                                      QStringLiteral("-f"),
                                      QStringLiteral("--quiet=all"),
                                      QStringLiteral("-o"),
                                      QStringLiteral("/dev/null"),
                                      QStringLiteral("-e"),
                                      QStringLiteral("inject=openat2:error=ENOSYS")};
        // A sanitized program's leak check at its end needs no tracer.
        options.environment.append({QStringLiteral("ASAN_OPTIONS"),
                                    QStringLiteral("verify_asan_link_order=0:detect_leaks=0")});
    }
    options.arguments = arguments;
    options.workingFolder = QStringLiteral("disk");
    options.console = console.path();
    QProcess process;
    workspace.start(process, options);
    if (!BlockingConsole::waitUntilBlocked(programProcess(process)))
        return false;
    if (!changeTree(workspace, change))
        return false;
    const QByteArray written = console.readToEnd();
    result = workspace.finish(process, options);
    result.console = written;
    QFile holder(workspace.pathOf(QStringLiteral("disk/holder.pid")));
    if (holder.open(QIODevice::ReadOnly))
        ::kill(pid_t(holder.readAll().trimmed().toLongLong()), SIGKILL);
    return result.finished && result.exitCode == 0;
}

// Runs the program in "disk" of the workspace with each removal held up 150 ms and no way to be
// told of a move (inotify refused), so that only the time gone by makes it check a folder's place
// again; once `firstGone` is gone, `change` runs there, and `countLeft` then counts what is left
// of the folder's files, into `leftAtChange`. False when a step failed.
template <typename Count>
bool runChangedWhileSlow(const Workspace &workspace, const QString &change,
                         const QString &firstGone, RunResult &result, Count countLeft,
                         int &leftAtChange)
{
    RunOptions options = underStrace(
        RunOptions(),
        {QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("--seccomp-bpf"),
         QStringLiteral("-e"), QStringLiteral("trace=unlinkat,inotify_init1,inotify_add_watch"),
         QStringLiteral("-e"), QStringLiteral("inject=inotify_init1:error=EMFILE"),
         QStringLiteral("-e"), QStringLiteral("inject=inotify_add_watch:error=ENOSPC"),
         QStringLiteral("-e"), QStringLiteral("inject=unlinkat:delay_enter=150000")});
    options.workingFolder = QStringLiteral("disk");
    QProcess process;
    workspace.start(process, options);
    const qint64 program = programProcess(process);
    QElapsedTimer waited;
    waited.start();
    while (workspace.exists(firstGone) && !hasEnded(program) && waited.elapsed() < hangMs)
        QThread::msleep(1);
    if (workspace.exists(firstGone) || !changeTree(workspace, change))
        return false;
    leftAtChange = countLeft();
    result = workspace.finish(process, options);
    return result.finished && result.exitCode == 0;
}

// An open folder, closed when it goes.
struct FolderHandle {
    explicit FolderHandle(const QString &path)
        : handle(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
    }
    ~FolderHandle()
    {
        if (handle >= 0)
            ::close(handle);
    }
    FolderHandle(const FolderHandle &) = delete;
    FolderHandle &operator=(const FolderHandle &) = delete;
    int handle;
};
} // namespace

class RaceTest : public QObject
{
    Q_OBJECT

  private slots:
    void changedWhileConsoleBlocks_data();
    void changedWhileConsoleBlocks();
    void movedWhileSwept_data();
    void movedWhileSwept();
    void movedWhileNothingHoldsTheRun_data();
    void movedWhileNothingHoldsTheRun();
    void dryRunMovedIntoLaterJob();
    void stopBetweenRemovalAndEntry();
    void swappedFolderNeverLeadsOutside_data();
    void swappedFolderNeverLeadsOutside();
    void twoRunsAtOnce();
};

void RaceTest::changedWhileConsoleBlocks_data()
{
    // Run in the mounted file system (the working folder) once the program blocks. By then the
    // program has removed some 85 of the 200 old files of "tree" (a000.log to a199.log) and looked
    // at all of them and at "tree/sub"; a150.log is far ahead.
    QTest::addColumn<QString>("change");
    QTest::addColumn<QStringList>("noHits"); // old files in "tree" that are hits no more
    QTest::addColumn<bool>("refused");       // the one of them that is refused, counted
    QTest::addColumn<QString>("logAt");      // where the run log is after the change
    QTest::addColumn<QStringList>("kept");   // the entries that must be there afterwards
    // What a run with -v names as passed over, where the last of `noHits` was; empty: a run
    // without -v.
    QTest::addColumn<QByteArray>("named");

    const QStringList a150{QStringLiteral("a150.log")};
    const QStringList sub =
        numberedFiles("s", 10, 2)
            .replaceInStrings(QRegularExpression(QStringLiteral("^")), QStringLiteral("sub/"));
    const QString log = QStringLiteral("log_kehrlund.txt");
    // Something else takes the name of a150.log, which must then still be there.
    const auto overA150 = [&](const char *row, const char *change, bool refused = false,
                              const QString &logAt = QString()) {
        QTest::newRow(row) << QString::fromUtf8(change) << a150 << refused
                           << (logAt.isNull() ? log : logAt)
                           << QStringList{QStringLiteral("tree/a150.log")} << QByteArray();
    };
    // Written then renamed over an old file, as exports and rotated logs are.
    overA150("young file renamed over a hit ahead", "echo neu >jung && mv jung tree/a150.log");
    overA150("run log renamed over a hit ahead", "mv log_kehrlund.txt tree/a150.log", false,
             QStringLiteral("tree/a150.log"));
    overA150("job file renamed over a hit ahead", "mv eingabe_kehrlund.txt tree/a150.log");
    overA150("file held open renamed over a hit ahead", "mv gehalten.log tree/a150.log", true);
    overA150("FIFO renamed over a hit ahead", "mkfifo rohr && mv rohr tree/a150.log");
    // A hit ahead that another program takes up after the run began: a service that opens it
    // for appending, a reader that maps it and closes its descriptor. The holder's process id
    // goes to holder.pid.
    QTest::newRow("hit ahead opened for appending after the run began")
        << "sleep 600 >>tree/a150.log & echo $! >holder.pid; "
           "until readlink /proc/$!/fd/1 | grep -q a150; do sleep 0.01; done"
        << a150 << true << log << QStringList{QStringLiteral("tree/a150.log")} << QByteArray();
    QTest::newRow("hit ahead mapped, its descriptor closed, after the run began")
        << "\"$MAPPER\" tree/a150.log >mapped.txt & echo $! >holder.pid; "
           "until grep -q mapped mapped.txt; do sleep 0.01; done"
        << a150 << true << log << QStringList{QStringLiteral("tree/a150.log")} << QByteArray();
    // Were the link followed, the old file it points to would make its name a hit.
    overA150("link to an old file renamed over a hit ahead",
             "ln -s a199.log verweis && mv verweis tree/a150.log");
    QTest::newRow("folder listed ahead moved out of the tree")
        << "mv tree/sub weg" << sub << false << log
        << QStringList(sub).replaceInStrings(QStringLiteral("sub/"), QStringLiteral("weg/"))
        << QByteArray();
    QTest::newRow("folder listed ahead renamed to a hidden name")
        << "mv tree/sub tree/.sub" << sub << false << log
        << QStringList(sub).replaceInStrings(QStringLiteral("sub/"), QStringLiteral("tree/.sub/"))
        << QByteArray();
    QTest::newRow("folder listed ahead moved out of the tree, named with -v")
        << "mv tree/sub weg" << sub << false << log
        << QStringList(sub).replaceInStrings(QStringLiteral("sub/"), QStringLiteral("weg/"))
        << expect::passedOver("tree/sub", expect::Why::Gone);
    QTest::newRow("hit ahead removed by another program, named with -v")
        << "rm tree/a150.log" << a150 << false << log << QStringList()
        << expect::passedOver("tree/a150.log", expect::Why::Gone);
}

// What decides a removal is read right before it: a file, folder, run log or job file that
// takes a place the program looked at before is judged as what it is now.
void RaceTest::changedWhileConsoleBlocks()
{
    QFETCH(QString, change);
    QFETCH(QStringList, noHits);
    QFETCH(bool, refused);
    QFETCH(QString, logAt);
    QFETCH(QStringList, kept);
    QFETCH(QByteArray, named);
    if (const char *why = whyNoBlockedRace())
        QSKIP(why);

    const QStringList files =
        numberedFiles("a", 200) +
        numberedFiles("s", 10, 2)
            .replaceInStrings(QRegularExpression(QStringLiteral("^")), QStringLiteral("sub/"));
    Workspace workspace;
    QStringList entries = QStringList(files).replaceInStrings(
        QRegularExpression(QStringLiteral("^")), QStringLiteral("tree/"));
    const QByteArray earlier = "alt\n"; // what BornLongAgo writes into every file
    const BornLongAgo disk(workspace, QStringLiteral("disk"),
                           entries + QStringList{QStringLiteral("gehalten.log"),
                                                 QStringLiteral("log_kehrlund.txt"),
                                                 QStringLiteral("eingabe_kehrlund.txt")});
    QVERIFY(disk.isMounted());
    // Written in place: the job file keeps its birth time.
    workspace.writeFile(QStringLiteral("disk/eingabe_kehrlund.txt"), "tree\t*.log\t30\n");
    QVERIFY(workspace.holdOpen(QStringLiteral("disk/gehalten.log")));

    RunResult result;
    QVERIFY(runChangedWhileBlocked(workspace, change, result, false, verboseIf(!named.isEmpty())));

    const int age = BornLongAgo::ageToday();
    QByteArray expectedConsole = expect::announced("tree");
    QByteArray body;
    int hits = 0;
    for (const QString &file : files) {
        if (file == noHits.last())
            expectedConsole += named;
        if (noHits.contains(file) && !refused)
            continue;
        const QByteArray path = "tree/" + file.toUtf8();
        expectedConsole += expect::hit(file.section(QLatin1Char('/'), -1).toUtf8(), age);
        if (noHits.contains(file)) {
            expectedConsole += expect::refused(path);
            body += expect::refusedEntry(path);
        } else {
            body += expect::removedEntry(path, age);
        }
        ++hits;
    }
    QCOMPARE(result.console, expectedConsole + expect::end(hits));
    QFile logFile(workspace.pathOf(QStringLiteral("disk/") + logAt));
    QVERIFY(logFile.open(QIODevice::ReadOnly));
    result.log = logFile.readAll();
    QCOMPARE(result.log, result.expectedLog(body + expect::logTotal(hits), earlier));
    for (const QString &entry : kept)
        QVERIFY2(workspace.exists(QStringLiteral("disk/") + entry), qPrintable(entry));
}

void RaceTest::movedWhileSwept_data()
{
    // The program blocks while it removes the 200 old files of the folder in hand (f000.log to
    // f199.log); then the folder in hand, or one above it, leaves the tree or changes its parent.
    QTest::addColumn<QString>("inHand");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("nowAt"); // where the folder in hand is afterwards; empty: swept out
    QTest::addColumn<QStringList>("later"); // the later files of the tree that are hits
    QTest::addColumn<bool>("withoutOpenat2");
    // The folder a run with -v names as moved, after the hits in the folder in hand; empty: a
    // run without -v.
    QTest::addColumn<QByteArray>("named");
    // Instead of blocking, the run removes slowly, is told of no move, and the change comes as
    // its first file is gone: at most the file then in hand goes after it.
    QTest::addColumn<bool>("slowRemovals");

    const QString c = QStringLiteral("tree/a/b/c");
    const QString spaeter = QStringLiteral("tree/a/b/d/spaeter.log");
    const QString danach = QStringLiteral("tree/a/e/danach.log");
    QTest::newRow("folder in hand moved out of the tree")
        << c << "mv tree/a/b/c weg" << QStringLiteral("weg") << QStringList{spaeter, danach}
        << false << QByteArray() << false;
    QTest::newRow("folder three levels up moved out of the tree")
        << c << "mv tree/a weg" << QStringLiteral("weg/b/c") << QStringList() << false
        << QByteArray() << false;
    QTest::newRow("folder three levels up renamed to a hidden name")
        << c << "mv tree/a tree/.a" << QStringLiteral("tree/.a/b/c") << QStringList() << false
        << QByteArray() << false;
    QTest::newRow("folder three levels up moved out, a link to it in its place")
        << c << "mv tree/a weg && ln -s ../weg tree/a" << QStringLiteral("weg/b/c") << QStringList()
        << false << QByteArray() << false;
    QTest::newRow("root renamed away, a new one made")
        << c << "mv tree weg && mkdir tree" << QStringLiteral("weg/a/b/c") << QStringList() << false
        << QByteArray() << false;
    // Deeper than the ancestors whose handles the walk keeps: it climbs back to "tree/a" through
    // ".." of "tree/a/b", which by then leads elsewhere. "spare/e/neu.log" lies outside the tree.
    const QString cs = QStringLiteral("/c").repeated(13);
    QTest::newRow("deep: an ancestor moved out of the tree, a later sibling of it stays")
        << QStringLiteral("tree/a/b") + cs << "mv tree/a/b weg" << QStringLiteral("weg") + cs
        << QStringList{danach} << false << QByteArray() << false;
    QTest::newRow("deep: an ancestor's parent replaced, the ancestor moved into the new one")
        << QStringLiteral("tree/a/b") + cs
        << "mv tree/a tree/a_alt && mv spare tree/a && mv tree/a_alt/b tree/a/b" << QString()
        << QStringList{spaeter} << false << QByteArray() << false;
    // Both ancestors above the folder in hand replaced, the folder in hand moved into the new
    // ones: it is swept on. The folders the walk climbs back into have moved, the upper one too:
    // what is left of both is passed over, and only the highest of them is named.
    QTest::newRow("deep: two ancestors replaced, the folder in hand moved into the new ones, "
                  "named with -v")
        << QStringLiteral("tree/a/b") + cs
        << "mv tree/a tree/a_alt && mv spare tree/a && mkdir tree/a/b && mv tree/a_alt/b/c "
           "tree/a/b/c"
        << QString() << QStringList() << false << QByteArray("tree/a") << false;
    // The same folder mounted at its place, as any other mount found on the way, leads off the
    // tree: the folder in hand and all below "tree/a/b" are passed over.
    const QString bindAgain = QStringLiteral("mount --bind tree/a/b tree/a/b");
    QTest::newRow("folder two levels up bind-mounted onto itself")
        << c << bindAgain << c << QStringList{danach} << false << QByteArray() << false;
    QTest::newRow("folder two levels up bind-mounted onto itself, without openat2")
        << c << bindAgain << c << QStringList{danach} << true << QByteArray() << false;
    QTest::newRow("folder in hand moved out of the tree, named with -v")
        << c << "mv tree/a/b/c weg" << QStringLiteral("weg") << QStringList{spaeter, danach}
        << false << QByteArray("tree/a/b/c") << false;
    // The highest folder that left is named.
    QTest::newRow("folder three levels up moved out of the tree, named with -v")
        << c << "mv tree/a weg" << QStringLiteral("weg/b/c") << QStringList() << false
        << QByteArray("tree/a") << false;
    // Where no file system tells of moves, the time gone by alone makes the run look again.
    QTest::newRow("folder one level up moved out of the tree, removals slow, no move reported")
        << QStringLiteral("tree/a/b") << "mv tree/a weg" << QStringLiteral("weg/b") << QStringList()
        << false << QByteArray() << true;
}

// A file goes only while its folder is reachable from the root as the walk went down: what left
// the tree while the run waited is passed over, with all below it, and nothing is logged under
// paths that no longer exist. A folder the walk finds again in its place is swept on.
void RaceTest::movedWhileSwept()
{
    QFETCH(QString, inHand);
    QFETCH(QString, change);
    QFETCH(QString, nowAt);
    QFETCH(QStringList, later);
    QFETCH(bool, withoutOpenat2);
    QFETCH(QByteArray, named);
    QFETCH(bool, slowRemovals);
    if (const char *why = whyNoBlockedRace())
        QSKIP(why);
    const QStringList files = numberedFiles("f", 200);
    Workspace workspace;
    const BornLongAgo disk(
        workspace, QStringLiteral("disk"),
        QStringList(files).replaceInStrings(QRegularExpression(QStringLiteral("^")),
                                            inHand + QLatin1Char('/')) +
            QStringList{QStringLiteral("tree/a/b/d/spaeter.log"),
                        QStringLiteral("tree/a/e/danach.log"), QStringLiteral("spare/e/neu.log")});
    QVERIFY(disk.isMounted());
    workspace.writeFile(QStringLiteral("disk/eingabe_kehrlund.txt"), "tree\t*.log\t30\n");
    RunResult result;
    int leftAtChange = 0;
    const auto countLeft = [&] {
        return int(std::count_if(files.begin(), files.end(), [&](const QString &file) {
            return workspace.exists(QStringLiteral("disk/%1/%2").arg(nowAt, file));
        }));
    };
    if (slowRemovals)
        QVERIFY(runChangedWhileSlow(workspace, change,
                                    QStringLiteral("disk/%1/%2").arg(inHand, files.first()), result,
                                    countLeft, leftAtChange));
    else
        QVERIFY(runChangedWhileBlocked(workspace, change, result, withoutOpenat2,
                                       verboseIf(!named.isEmpty())));

    const int removed = int(result.log.count("\n" + inHand.toUtf8() + '/'));
    if (slowRemovals)
        QVERIFY2(removed <= files.size() - leftAtChange + 1,
                 qPrintable(QStringLiteral("%1 files removed after the change")
                                .arg(removed - (files.size() - leftAtChange))));
    if (nowAt.isEmpty())
        QCOMPARE(removed, files.size());
    else
        QVERIFY2(removed > 0 && removed < files.size(),
                 "none removed, or all: the folder was swept on after it moved");
    const int age = BornLongAgo::ageToday();
    QByteArray expectedConsole = expect::announced("tree");
    QByteArray body;
    for (int i = 0; i < removed; ++i) {
        expectedConsole += expect::hit(files.at(i).toUtf8(), age);
        body += expect::removedEntry(inHand.toUtf8() + '/' + files.at(i).toUtf8(), age);
    }
    if (!named.isEmpty())
        expectedConsole += expect::passedOver(named, expect::Why::Moved);
    for (const QString &file : later) {
        expectedConsole += expect::hit(file.section(QLatin1Char('/'), -1).toUtf8(), age);
        body += expect::removedEntry(file.toUtf8(), age);
    }
    const int hits = removed + later.size();
    QCOMPARE(result.console, expectedConsole + expect::end(hits));
    QCOMPARE(result.log, result.expectedLog(body + expect::logTotal(hits)));
    for (int i = removed; i < files.size(); ++i)
        QVERIFY2(workspace.exists(QStringLiteral("disk/%1/%2").arg(nowAt, files.at(i))),
                 qPrintable(files.at(i)));
}

// A dry run foresees the real run also where a folder moves part way through its sweep into the
// tree of a later job: that job takes the files the first did not come to, and only those.
void RaceTest::dryRunMovedIntoLaterJob()
{
    if (const char *why = whyNoBlockedRace())
        QSKIP(why);
    const QStringList files = numberedFiles("f", 200);
    Workspace workspace;
    const BornLongAgo disk(workspace, QStringLiteral("disk"),
                           QStringList(files).replaceInStrings(
                               QRegularExpression(QStringLiteral("^")), QStringLiteral("tree/c/")) +
                               QStringList{QStringLiteral("other/bleibt.txt")});
    QVERIFY(disk.isMounted());
    workspace.writeFile(QStringLiteral("disk/eingabe_kehrlund.txt"),
                        "tree\t*.log\t30\nother\t*.log\t30\n");
    RunResult result;
    QVERIFY(runChangedWhileBlocked(workspace, QStringLiteral("mv tree/c other/c"), result, false,
                                   {QStringLiteral("--dry-run")}));

    const int age = BornLongAgo::ageToday();
    const int laterJob = result.console.indexOf(expect::announced("other"));
    const int takenFirst = int(result.console.left(laterJob).count(expect::hit("f", age).left(12)));
    QVERIFY2(takenFirst > 0 && takenFirst < files.size(), "the folder did not move mid-sweep");
    QByteArray expected = expect::announced("tree");
    for (int i = 0; i < files.size(); ++i) {
        if (i == takenFirst)
            expected += expect::announced("other");
        expected += expect::hit(files.at(i).toUtf8(), age);
    }
    QCOMPARE(result.console,
             expected + expect::total(files.size()) + expect::dryRunDone() + expect::prompt());
    QCOMPARE(result.log, QByteArray());
}

void RaceTest::movedWhileNothingHoldsTheRun_data()
{
    QTest::addColumn<QString>("folder"); // the folder swept, "tree/a" or below it, which moves
    QTest::newRow("the folder swept moved") << QStringLiteral("tree/a");
    QTest::newRow("a folder one level up moved") << QStringLiteral("tree/a/b");
    // The walk no longer holds a handle of "a" then.
    QTest::newRow("a folder fifteen levels up moved")
        << QStringLiteral("tree/a") + QStringLiteral("/d").repeated(14);
}

// Also while nothing holds the run up (its console a file, read by nobody), no file is removed
// once a folder above it has left the tree, but the one being removed as it left. The order of
// the removals and the move is read from one queue of the system's reports: it is exact, however
// fast or slow the machine.
void RaceTest::movedWhileNothingHoldsTheRun()
{
#ifdef KEHRLUND_WALK_BY_PATHS
    QSKIP("this build walks folders by path, and checks a folder's place by time alone");
#endif
    QFETCH(QString, folder);
    const int count = 20000;
    const int movedAfter = 500; // removals seen before the move
    // A round in which the run ended before the move proves nothing: another one is made.
    for (int round = 1;; ++round) {
        QVERIFY2(round <= 20, "the run ended before the folder moved, every time");
        Workspace workspace;
        workspace.makeFolder(folder);
        const FolderHandle swept(workspace.pathOf(folder));
        QVERIFY(swept.handle >= 0);
        for (int i = 0; i < count; ++i)
            QVERIFY(createFileAt(swept.handle, numbered("f", i, 5)));
        workspace.writeJobFile("tree\t*.log\t30\n");
        const int reports = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        QVERIFY(reports >= 0);
        QVERIFY(::inotify_add_watch(reports,
                                    QFile::encodeName(workspace.pathOf(folder)).constData(),
                                    IN_DELETE) >= 0);
        QVERIFY(::inotify_add_watch(
                    reports,
                    QFile::encodeName(workspace.pathOf(QStringLiteral("tree/a"))).constData(),
                    IN_MOVE_SELF | IN_MASK_ADD) >= 0);

        RunOptions options = daysOn(40);
        options.console = workspace.pathOf(QStringLiteral("konsole.txt"));
        QProcess process;
        workspace.start(process, options);
        const qint64 program = programProcess(process);
        int before = 0;
        int after = 0;
        bool moveAsked = false;
        bool moveSeen = false;
        bool lost = false;
        for (bool ended = false, drained = false; !drained;) {
            drained = ended;
            ended = hasEnded(program);
            struct pollfd waiting = {reports, POLLIN, 0};
            ::poll(&waiting, 1, 100);
            alignas(struct inotify_event) char buffer[64 * 1024];
            ssize_t got;
            while ((got = ::read(reports, buffer, sizeof buffer)) > 0) {
                drained = false;
                for (ssize_t at = 0; at < got;) {
                    const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + at);
                    (moveSeen ? after : before) += (event->mask & IN_DELETE) ? 1 : 0;
                    moveSeen = moveSeen || (event->mask & IN_MOVE_SELF);
                    lost = lost || (event->mask & IN_Q_OVERFLOW);
                    at += ssize_t(sizeof(struct inotify_event) + event->len);
                }
                if (!moveAsked && before >= movedAfter) {
                    QVERIFY(QFile::rename(workspace.pathOf(QStringLiteral("tree/a")),
                                          workspace.pathOf(QStringLiteral("weg"))));
                    moveAsked = true;
                }
            }
        }
        ::close(reports);
        const RunResult result = workspace.finish(process, options);
        QVERIFY(finishedCleanly(result));
        QVERIFY(!lost);
        QVERIFY(moveSeen);
        if (before + after == count)
            continue;
        qInfo("removed before the move: %d, after it: %d (round %d)", before, after, round);
        QVERIFY2(after <= 1, qPrintable(QStringLiteral("%1 files removed after their folder left "
                                                       "the tree")
                                            .arg(after)));
        // Each removal has its entry, under the path the file had.
        QCOMPARE(int(result.log.count("\n" + folder.toUtf8() + "/f")), before + after);
        QVERIFY(result.log.endsWith(expect::logTotal(before + after)));
        return;
    }
}

// A stop that comes while the first file is gone and its entry not yet written: the program ends
// with the entry and the total in the log, however long the removal and the entry's write take.
// strace holds the removal's return three seconds and each of the main thread's log writes after
// the header two more (a guard thread's writes count apart), so that a turn given up between
// the removal and its entry lets the guard say the last word first.
void RaceTest::stopBetweenRemovalAndEntry()
{
    const QStringList files = numberedFiles("f", 5);
    // The log may have its entry already when the test looks, on a busy machine: then the stop
    // came too late to tell anything, and a fresh tree is tried.
    for (int attempt = 1;; ++attempt) {
        QVERIFY2(attempt <= 20, "in 20 attempts the stop never came before the first entry");
        Workspace workspace;
        for (const QString &file : files)
            workspace.writeFile(QStringLiteral("tree/") + file);
        workspace.writeJobFile("tree\t*.log\t30\n");
        const QString folder = QFileInfo(workspace.path()).canonicalFilePath();
        const RunOptions options = underStrace(
            daysOn(40),
            {QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-P"),
             folder + QStringLiteral("/tree"), QStringLiteral("-P"),
             folder + QStringLiteral("/log_kehrlund.txt"), QStringLiteral("-e"),
             QStringLiteral("inject=unlinkat:delay_exit=3000000:when=1"), QStringLiteral("-e"),
             QStringLiteral("inject=write:delay_enter=2000000:when=2+")});
        QProcess process;
        workspace.start(process, options);
        const qint64 program = programProcess(process);
        const QString first = QStringLiteral("tree/") + files.first();
        QElapsedTimer waited;
        waited.start();
        while (workspace.exists(first) && !hasEnded(program) && waited.elapsed() < hangMs)
            QThread::msleep(1);
        QVERIFY2(!workspace.exists(first), "the first file stayed");
        QFile logNow(workspace.pathOf(QStringLiteral("log_kehrlund.txt")));
        const bool beforeEntry =
            logNow.open(QIODevice::ReadOnly) && !logNow.readAll().contains("\n" + first.toUtf8());
        ::kill(pid_t(program), SIGTERM);
        const RunResult result = workspace.finish(process, options);
        QVERIFY2(result.finished, "the run hung after the stop request");

        // Every file gone has its entry, and the total counts them.
        QByteArray body;
        int gone = 0;
        for (const QString &file : files) {
            if (workspace.exists(QStringLiteral("tree/") + file))
                continue;
            body += expect::removedEntry("tree/" + file.toUtf8(), 40);
            ++gone;
        }
        QCOMPARE(result.log, result.expectedLog(body + expect::logTotal(gone)));
        if (!beforeEntry) {
            qInfo("attempt %d: the first entry was written before the stop", attempt);
            continue;
        }
        QCOMPARE(gone, 1);
        // The console gets what it had in hand, or not all of it: nothing else.
        QVERIFY2(result.console.startsWith(expect::announced("tree")) &&
                     (expect::announced("tree") + expect::hit(files.first().toUtf8(), 40) +
                      expect::total(1))
                         .startsWith(result.console),
                 result.console.constData());
        return;
    }
}

void RaceTest::swappedFolderNeverLeadsOutside_data()
{
    QTest::addColumn<int>("depth");
    // The swapped pair right below the root, and 40 folders down, where the walk has given up
    // the handles of the upper folders and finds its way back through "..".
    QTest::newRow("below the root") << 0;
    QTest::newRow("40 folders down") << 40;
}

// While the program sweeps the tree again and again, another process exchanges a real subfolder
// and a symbolic link to a folder outside the tree as fast as it can. A walk that looks a folder
// up by path twice (once to list it, once to remove from it) is led outside and deletes there.
// Every run gets fresh old files in the real subfolder, so every run has something to remove.
void RaceTest::swappedFolderNeverLeadsOutside()
{
    QFETCH(int, depth);
#ifdef KEHRLUND_WALK_BY_PATHS
    if (qEnvironmentVariableIsEmpty("KEHRLUND_UNDER_TEST"))
        QSKIP("this build walks folders by path, which this attack defeats");
#endif
    // Sweeps go on until the race has been run often enough, however long that takes on a busy
    // machine: this many sweeps during which exchanges landed, and of them this many that met
    // the real subfolder under each of its two names. A walk by path loses outside files within
    // the first few dozen such sweeps. The most sweeps only end a test in which the race never
    // comes about.
    const int requiredRacedRuns = 300;
    const int requiredPerName = 30;
    const int maximumRuns = 20 * requiredRacedRuns;
    const int treeFiles = 20;
    const int outsideFiles = 50;

    Workspace workspace;
    QString parent = QStringLiteral("tree");
    for (int level = 1; level <= depth; ++level)
        parent += QStringLiteral("/s");
    workspace.makeFolder(parent + QStringLiteral("/d"));
    workspace.makeFolder(QStringLiteral("outside"));
    for (int i = 0; i < outsideFiles; ++i)
        workspace.writeFile(QStringLiteral("outside/") + QString::fromLatin1(numbered("o", i, 3)),
                            "not to be deleted\n");
    QVERIFY(QFile::link(workspace.pathOf(QStringLiteral("outside")),
                        workspace.pathOf(parent + QStringLiteral("/l"))));
    workspace.writeJobFile(workspace.pathOf(QStringLiteral("tree")).toUtf8() + "\t*.log\t30\n");

    // The real subfolder, wherever its name is at the moment.
    const FolderHandle realFolder(workspace.pathOf(parent + QStringLiteral("/d")));
    QVERIFY(realFolder.handle >= 0);
    const FolderHandle outside(workspace.pathOf(QStringLiteral("outside")));
    QVERIFY(outside.handle >= 0);

    QProcess exchanger;
    exchanger.start(QStringLiteral(KEHRLUND_EXCHANGER),
                    {workspace.pathOf(parent), QStringLiteral("d"), QStringLiteral("l")});
    QVERIFY(exchanger.waitForReadyRead(hangMs));
    QCOMPARE(exchanger.readLine(), QByteArray("started\n"));

    // Each entry of the log is one of the tree's files, under either name of the real subfolder.
    QFile log(workspace.pathOf(QStringLiteral("log_kehrlund.txt")));
    const QByteArray treePrefix = workspace.pathOf(parent).toUtf8() + '/';
    const QRegularExpression treeEntry(
        QStringLiteral("\\A%1([dl])/f\\d\\d\\.log\\z")
            .arg(QRegularExpression::escape(QString::fromUtf8(treePrefix))));
    qint64 logRead = 0;

    int runs = 0;
    int racedRuns = 0;
    int missedRuns = 0;            // raced runs that passed the real subfolder over
    QMap<QString, int> sweptUnder; // raced runs that swept the real subfolder, by its name then
    int lost = 0;
    while (racedRuns < requiredRacedRuns ||
           sweptUnder.value(QStringLiteral("d")) < requiredPerName ||
           sweptUnder.value(QStringLiteral("l")) < requiredPerName) {
        QVERIFY2(runs < maximumRuns,
                 qPrintable(QStringLiteral("the race came about too seldom in %1 sweeps: %2 raced, "
                                           "%3 under d, %4 under l")
                                .arg(runs)
                                .arg(racedRuns)
                                .arg(sweptUnder.value(QStringLiteral("d")))
                                .arg(sweptUnder.value(QStringLiteral("l")))));
        for (int i = 0; i < treeFiles; ++i)
            QVERIFY(createFileAt(realFolder.handle, numbered("f", i, 2)));
        const qulonglong exchangesBefore = exchangesSoFar(exchanger);
        const RunResult sweep = workspace.run(daysOn(40));
        const qulonglong exchangesAfter = exchangesSoFar(exchanger);
        QVERIFY2(finishedCleanly(sweep), sweep.console.constData());
        QVERIFY2(exchangesAfter > 0, "the exchanger stopped answering");
        ++runs;

        for (int i = 0; i < outsideFiles; ++i)
            lost += existsAt(outside.handle, numbered("o", i, 3)) ? 0 : 1;
        if (lost > 0) {
            qInfo("%d of %d outside files lost in sweep %d", lost, outsideFiles, runs);
            break;
        }
        int removedInTree = 0;
        for (int i = 0; i < treeFiles; ++i)
            removedInTree += existsAt(realFolder.handle, numbered("f", i, 2)) ? 0 : 1;
        // This sweep's entries, all under one name of the real subfolder.
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.seek(logRead));
        const QByteArray block = log.readAll();
        logRead += block.size();
        log.close();
        QSet<QString> names;
        int entries = 0;
        for (const QByteArray &logLine : block.split('\n')) {
            if (!logLine.startsWith('/'))
                continue;
            const QRegularExpressionMatch match = treeEntry.match(QString::fromUtf8(logLine));
            QVERIFY2(match.hasMatch(), logLine.constData());
            names.insert(match.captured(1));
            ++entries;
        }
        QCOMPARE(entries, removedInTree);
        QVERIFY(names.size() <= 1);
        if (exchangesAfter - exchangesBefore < 2)
            continue; // the exchanger did not swap and swap back while this sweep ran
        ++racedRuns;
        if (names.isEmpty())
            ++missedRuns;
        else
            ++sweptUnder[*names.begin()];
        // Files left in the real subfolder are removed by a later sweep that meets it.
    }
    exchanger.terminate();
    QVERIFY(exchanger.waitForFinished(hangMs));

    qInfo("%d sweeps, %d of them raced: the real subfolder swept under d in %d, under l in %d, "
          "passed over in %d",
          runs, racedRuns, sweptUnder.value(QStringLiteral("d")),
          sweptUnder.value(QStringLiteral("l")), missedRuns);
    QCOMPARE(lost, 0);
}

// Two runs started at once over the same tree of old files (an overlapping schedule): each file
// is deleted by exactly one of them, neither reports a file the other took as a failure, and the
// shared log holds whole entries only.
void RaceTest::twoRunsAtOnce()
{
    const int folders = 20;
    const int filesPerFolder = 100;
    // Rounds go on until in one of them both runs removed files (they really overlapped), and
    // at least this many; the most rounds only end a test in which they never overlap.
    const int leastRounds = 5;
    const int mostRounds = 100;

    Workspace workspace;
    const QByteArray root = workspace.pathOf(QStringLiteral("tree")).toUtf8();
    workspace.writeJobFile(root + "\t*.log\t30\n");
    QSet<QByteArray> allFiles;
    for (int folder = 0; folder < folders; ++folder) {
        for (int file = 0; file < filesPerFolder; ++file)
            allFiles.insert(root + "/ordner" + QByteArray::number(folder) + "/" +
                            numbered("datei", file, 3));
    }

    int roundsWithBothRunsRemoving = 0;
    int rounds = 0;
    while (rounds < leastRounds || roundsWithBothRunsRemoving == 0) {
        QVERIFY2(rounds < mostRounds, "the two runs never overlapped");
        ++rounds;
        QFile::remove(workspace.pathOf(QStringLiteral("log_kehrlund.txt")));
        for (const QByteArray &path : allFiles) {
            QFile file(QString::fromUtf8(path));
            QDir().mkpath(QFileInfo(file).path());
            QVERIFY(file.open(QIODevice::WriteOnly));
        }

        QProcess first;
        QProcess second;
        workspace.start(first, daysOn(40));
        workspace.start(second, daysOn(40));
        const RunResult one = workspace.finish(first, daysOn(40));
        const RunResult two = workspace.finish(second, daysOn(40));
        QVERIFY(finishedCleanly(one));
        QVERIFY(finishedCleanly(two));

        // The console of each run: the job, two lines per hit, and a total that counts them;
        // nothing failed.
        QList<int> consoleTotals;
        for (const RunResult *run : {&one, &two}) {
            QVERIFY2(!run->console.contains("Fehler"), run->console.constData());
            const int hits = (run->console.count('\n') - 5) / 2;
            QVERIFY(run->console.startsWith(expect::announced(root)));
            QVERIFY2(run->console.endsWith(expect::end(hits)), run->console.constData());
            consoleTotals.append(hits);
        }
        if (consoleTotals.at(0) > 0 && consoleTotals.at(1) > 0)
            ++roundsWithBothRunsRemoving;

        // The shared log: each removal one entry of two lines, never split by the other run; the
        // two totals; the lines of the two headers; nothing else. What is found is taken out.
        QByteArray rest = '\n' + two.log;
        const auto takeLines = [&rest](const QByteArray &lines) {
            const int at = rest.indexOf('\n' + lines);
            if (at >= 0)
                rest.remove(at + 1, lines.size());
            return at >= 0;
        };
        for (const QByteArray &path : allFiles)
            QVERIFY2(takeLines(expect::removedEntry(path, 40)), path.constData());
        for (const int total : consoleTotals)
            QVERIFY(takeLines(expect::logTotal(total)));
        // The lines of a header are written one by one: the other run's entries may come between.
        for (const RunResult *run : {&one, &two}) {
            QList<QByteArray> header = expect::logHeader(run->clockBefore).split('\n');
            if (!rest.contains('\n' + header.at(1) + '\n'))
                header = expect::logHeader(run->clockAfter).split('\n');
            for (int i = 0; i < 3; ++i)
                QVERIFY2(takeLines(header.at(i) + '\n'), header.at(i).constData());
        }
        QCOMPARE(rest, QByteArray("\n"));
        QCOMPARE(consoleTotals.at(0) + consoleTotals.at(1), int(allFiles.size()));
        for (const QByteArray &path : allFiles)
            QVERIFY2(!QFileInfo::exists(QString::fromUtf8(path)), path.constData());
    }
    qInfo("%d of %d rounds with removals by both runs", roundsWithBothRunsRemoving, rounds);
}

QTEST_GUILESS_MAIN(RaceTest)
#include "tst_race.moc"
