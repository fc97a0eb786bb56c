// The run under faults an unlucky operator or an attacker brings about: a full disk, a console
// nobody reads, a stop request, long entries from runs at once, the program's own output in a
// swept folder, mounts inside a tree, and links planted in place of the run log. Whatever
// happens, every file that is gone is in the log, and nothing outside a job's tree goes.
//
// Rows that need root (mounts) skip with a message when the tests run as another user.
#include "harness.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace expect;

namespace
{
#define REQUIRE_ROOT()                                                                             \
    do {                                                                                           \
        if (!runningAsRoot())                                                                      \
            QSKIP("needs root to mount file systems");                                             \
    } while (false)

// Makes count old-to-be files under folder (relative to the workspace); returns their paths as
// the log shows them, given the job's root as written in the job file.
QStringList makeFiles(const Workspace &workspace, const QString &folder, int count)
{
    workspace.makeFolder(folder);
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("f%1.log").arg(i, 6, 10, QLatin1Char('0'));
        QFile(workspace.pathOf(folder + QLatin1Char('/') + name)).open(QIODevice::WriteOnly);
        paths << folder + QLatin1Char('/') + name;
    }
    return paths;
}

QList<QByteArray> logLines(const QByteArray &log)
{
    QList<QByteArray> lines = log.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// The one rule every row keeps: a file that is gone is in the log as removed, save at most
// `unrecorded` of them, each of which the console names in its Fehler 004 message. The log shows
// a file's path behind `shownPrefix` (the way from the working folder to the workspace).
void verifyGoneFilesLogged(const Workspace &workspace, const QStringList &files,
                           const QByteArray &log, const QByteArray &console, int unrecorded = 0,
                           const QByteArray &shownPrefix = QByteArray())
{
    const QList<QByteArray> lines = logLines(log);
    int missing = 0;
    for (const QString &file : files) {
        if (workspace.exists(file))
            continue;
        const QByteArray path = shownPrefix + file.toUtf8();
        const int at = lines.indexOf(path);
        if (at >= 0 && at + 1 < lines.size() && lines.at(at + 1) == "40 Tage")
            continue;
        ++missing;
        QVERIFY2(console.contains(logNotWrittenFor(path)),
                 "gone without an entry and not named: " + path);
    }
    QVERIFY2(missing <= unrecorded, QByteArray::number(missing) + " files gone without an entry");
}

int countExisting(const Workspace &workspace, const QStringList &files)
{
    return int(std::count_if(files.begin(), files.end(),
                             [&](const QString &file) { return workspace.exists(file); }));
}

// A run 40 days on, started through a wrapper that sets up the fault.
RunOptions through(const QStringList &wrapper)
{
    RunOptions options = daysOn(40);
    options.wrapper = wrapper;
    // A sanitized program's leak check at its end needs descriptors to spare and no tracer.
    options.environment.append({QStringLiteral("ASAN_OPTIONS"),
                                QStringLiteral("verify_asan_link_order=0:detect_leaks=0")});
    return options;
}

// The same over the job "tree".
RunResult runThrough(const Workspace &workspace, const QStringList &wrapper)
{
    workspace.writeJobFile("tree\t*.log\t30\n");
    return workspace.run(through(wrapper));
}

// A wrapper that runs a shell command before the program.
QStringList shellFirst(const QString &command)
{
    return {QStringLiteral("sh"), QStringLiteral("-c"), command + QStringLiteral("; exec \"$@\""),
            QStringLiteral("sh")};
}

// Waits a moment, reading what the run has written meanwhile: a console nobody reads would
// hold the run up.
void readWhileWaiting(QProcess &process)
{
    if (!process.waitForReadyRead(5))
        QThread::msleep(5);
}

// Waits, reading what the run writes, until `done` holds; false when it has not after hangMs.
template <typename Condition> bool waitReading(QProcess &process, Condition done)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > hangMs)
            return false;
        readWhileWaiting(process);
    }
    return true;
}

// Holds the program still (SIGSTOP) and waits until it stands; false when it ended first.
bool holdStill(QProcess &process, qint64 pid)
{
    ::kill(pid_t(pid), SIGSTOP);
    const auto state = [pid] {
        QFile status(QStringLiteral("/proc/%1/stat").arg(pid));
        const QByteArray fields = status.open(QIODevice::ReadOnly) ? status.readAll() : "";
        return fields.mid(fields.lastIndexOf(')') + 2, 1);
    };
    // Stopped, or stopped by its tracer (strace).
    return waitReading(process,
                       [&] { return state() == "T" || state() == "t" || hasEnded(pid); }) &&
           !hasEnded(pid);
}

// The system calls a trace of strace (-f -o) shows of one kind before the first signal that
// reached the program and after it.
QPair<int, int> callsAroundSignal(const QString &trace, const QByteArray &call)
{
    QFile file(trace);
    if (!file.open(QIODevice::ReadOnly))
        return {-1, -1};
    QPair<int, int> calls{0, 0};
    bool signalled = false;
    for (const QByteArray &line : file.readAll().split('\n')) {
        signalled = signalled || line.contains(" --- SIG");
        if (line.contains(call + '('))
            ++(signalled ? calls.second : calls.first);
    }
    return calls;
}

// A wrapper that fails system calls of the program on purpose (see strace(1), -e inject), and
// shows nothing of its own.
QStringList failing(const QStringList &how)
{
    return QStringList{QStringLiteral("strace"), QStringLiteral("-f"),
                       QStringLiteral("--quiet=all"), QStringLiteral("-o"),
                       QStringLiteral("/dev/null")} +
           how;
}

// A tree deeper than the folders whose handles the walk keeps open, which the walk must climb
// back out of, and wider than the descriptors a process is often given: "tree/d/d/.../d" 40
// folders deep with x.log in each, "e/y.log" beside the 21st, 300 folders "w/wNNN" of one file
// each beside the first, and "z/z.log" last. Its files, in the order of the walk.
QStringList makeDeepTree(const Workspace &workspace)
{
    QStringList files;
    QString folder = QStringLiteral("tree");
    for (int depth = 1; depth <= 40; ++depth) {
        folder += QStringLiteral("/d");
        files << folder + QStringLiteral("/x.log");
    }
    files << QStringLiteral("tree") + QStringLiteral("/d").repeated(20) +
                 QStringLiteral("/e/y.log");
    for (int i = 0; i < 300; ++i)
        files << QStringLiteral("tree/w/w%1/f.log").arg(i, 3, 10, QLatin1Char('0'));
    files << QStringLiteral("tree/z/z.log");
    for (const QString &file : files)
        workspace.writeFile(file);
    return files;
}

// The console and the log's block of a run 40 days on over "tree", in which the files are hits
// in this order; a file "!" begins with is not removed but refused, and a "/" that ends an entry
// marks a folder that could not be listed.
QPair<QByteArray, QByteArray> expectedRun(const QStringList &entries)
{
    QByteArray console = announced("tree");
    QByteArray log;
    int hits = 0;
    for (QString entry : entries) {
        const bool refusedFile = entry.startsWith(QLatin1Char('!'));
        entry.remove(QLatin1Char('!'));
        const QByteArray path = entry.toUtf8();
        if (entry.endsWith(QLatin1Char('/'))) {
            console += notSwept(path.chopped(1));
            log += notSweptEntry(path.chopped(1));
            continue;
        }
        console += hit(path.mid(path.lastIndexOf('/') + 1), 40);
        console += refusedFile ? refused(path) : QByteArray();
        log += refusedFile ? refusedEntry(path) : removedEntry(path, 40);
        ++hits;
    }
    return {console + end(hits), log + logTotal(hits)};
}

// Bounds the address space of the process to what it has mapped now and `moreBytes` beyond.
bool boundAddressSpace(qint64 pid, qint64 moreBytes)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (!line.startsWith("VmSize:"))
            continue;
        const qint64 mapped = line.mid(7).trimmed().split(' ').value(0).toLongLong() * 1024;
        const struct rlimit bound = {rlim_t(mapped + moreBytes), rlim_t(mapped + moreBytes)};
        return mapped > 0 && ::prlimit(pid_t(pid), RLIMIT_AS, &bound, nullptr) == 0;
    }
    return false;
}
} // namespace

class FaultsTest : public QObject
{
    Q_OBJECT

  private slots:
    void starved_data();
    void starved();
    void closedStandardStreams();
    void fullDisk_data();
    void fullDisk();
    void fileSizeLimit();
    void memoryShortMidWalk_data();
    void memoryShortMidWalk();
    void consoleNobodyReads();
    void stopRequest_data();
    void stopRequest();
    void stopWhileAFolderOpens_data();
    void stopWhileAFolderOpens();
    void longEntriesFromRunsAtOnce();
    void ownOutputInTree();
    void mountInsideTree_data();
    void mountInsideTree();
    void logPlantedAsLink_data();
    void logPlantedAsLink();
    void newLogNotWritableByOthers();
    void jobLineOfAMegabyte();
};

void FaultsTest::starved_data()
{
    // What the run is short of, set up by a wrapper; `entries` are the files of makeDeepTree()
    // as expectedRun() takes them.
    QTest::addColumn<QStringList>("wrapper");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("heldUnknown"); // the snapshot of files held open failed

    const QStringList all = [] {
        Workspace scratch;
        return makeDeepTree(scratch);
    }();
    const QStringList limited{QStringLiteral("prlimit"), QStringLiteral("--nofile=64")};
    QTest::newRow("64 descriptors") << limited << all << false;
    QTest::newRow("16 descriptors")
        << QStringList(limited).replaceInStrings(QStringLiteral("64"), QStringLiteral("16")) << all
        << false;
    // The one thread that waits for a stop cannot be started: the run goes on without it.
    const QString clone = QStringLiteral("clone3");
    QTest::newRow("no thread can be started")
        << failing({QStringLiteral("-e"), QStringLiteral("inject=%1:error=EAGAIN").arg(clone)})
        << all << false;
    QTest::newRow("the second thread cannot be started")
        << failing(
               {QStringLiteral("-e"), QStringLiteral("inject=%1:error=EAGAIN:when=2").arg(clone)})
        << all << false;
    QTest::newRow("no descriptor for the root")
        << failing({QStringLiteral("-P"), QStringLiteral("tree"), QStringLiteral("-e"),
                    QStringLiteral("inject=openat:error=EMFILE")})
        << QStringList{QStringLiteral("tree/")} << false;
    // Each subfolder takes two: it is opened, then its way from the root is checked.
    QTest::newRow("no descriptor from the third subfolder on")
        << failing({QStringLiteral("-e"), QStringLiteral("inject=openat2:error=EMFILE:when=5+")})
        << QStringList{all.at(0), all.at(1), QStringLiteral("tree/d/d/d/"),
                       QStringLiteral("tree/w/"), QStringLiteral("tree/z/")}
        << false;
    QTest::newRow("no descriptor to check the second subfolder's place")
        << failing({QStringLiteral("-e"), QStringLiteral("inject=openat2:error=EMFILE:when=4+")})
        << QStringList{all.at(0), QStringLiteral("tree/d/d/"), QStringLiteral("tree/d/d/d/"),
                       QStringLiteral("tree/w/"), QStringLiteral("tree/z/")}
        << false;
    // A damaged folder: its listing fails part way, after its first batch of entries.
    QStringList afterD{QStringLiteral("tree/d/")};
    for (const QString &file : all) {
        if (!file.startsWith(QLatin1String("tree/d/")))
            afterD << file;
    }
    QTest::newRow("a folder's listing fails part way")
        << failing({QStringLiteral("-P"), QStringLiteral("tree/d"), QStringLiteral("-e"),
                    QStringLiteral("inject=getdents64:error=EIO:when=2")})
        << afterD << false;
    // Any file may be held open then: none is removed.
    QStringList refusedAll = all;
    refusedAll.replaceInStrings(QRegularExpression(QStringLiteral("^")), QStringLiteral("!"));
    QTest::newRow("no descriptor for the snapshot of files held open")
        << failing({QStringLiteral("-P"), QStringLiteral("/proc"), QStringLiteral("-e"),
                    QStringLiteral("inject=openat:error=EMFILE")})
        << refusedAll << true;
}

// A run short of descriptors, threads or memory sweeps the whole tree all the same, or names
// what it could not do; nothing is passed over in silence, and the block gets its total.
void FaultsTest::starved()
{
    QFETCH(QStringList, wrapper);
    QFETCH(QStringList, entries);
    QFETCH(bool, heldUnknown);
    Workspace workspace;
    const QStringList files = makeDeepTree(workspace);
    const RunResult result = runThrough(workspace, wrapper);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    const QPair<QByteArray, QByteArray> expected = expectedRun(entries);
    QCOMPARE(result.console, (heldUnknown ? heldFilesUnknown() : QByteArray()) + expected.first);
    QCOMPARE(result.log, result.expectedLog((heldUnknown ? heldFilesUnknownEntry() : QByteArray()) +
                                            expected.second));
    for (const QString &file : files)
        QCOMPARE(workspace.exists(file), !entries.contains(file));
}

// Started with standard input and error closed (kehrlund <&- 2>&-), the run log must not take
// standard error's place and with it the console's lines. With the real clock nothing is old:
// libfaketime, preloaded, would take the first free descriptor itself.
void FaultsTest::closedStandardStreams()
{
    Workspace workspace;
    workspace.writeFile(QStringLiteral("tree/neu.log"));
    workspace.writeJobFile("tree\t*.log\t30\n");
    RunOptions options;
    options.wrapper = QStringList{QStringLiteral("sh"), QStringLiteral("-c"),
                                  QStringLiteral("exec \"$@\" <&- 2>&-"), QStringLiteral("sh")};
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console, QByteArray());
    QCOMPARE(result.log, result.expectedLog(logTotal(0)));
}

void FaultsTest::fullDisk_data()
{
    QTest::addColumn<qint64>("freeBytes");
    QTest::newRow("one free page") << qint64(4096);
    QTest::newRow("no room") << qint64(0);
}

// The working folder, and so the run log, on a file system of 64 KiB filled up to a given free
// space; the tree elsewhere.
void FaultsTest::fullDisk()
{
    REQUIRE_ROOT();
    QFETCH(qint64, freeBytes);
    Workspace workspace;
    const QStringList files = makeFiles(workspace, QStringLiteral("tree"), 500);
    workspace.makeFolder(QStringLiteral("work"));
    const QString work = workspace.pathOf(QStringLiteral("work"));
    Mount disk(QStringLiteral("tmpfs"), work, "tmpfs", "size=64k,mode=0777", 0);
    QVERIFY(disk.isMounted());
    workspace.writeFile(QStringLiteral("work/eingabe_kehrlund.txt"), "../tree\t*.log\t30\n");
    struct statvfs space;
    QVERIFY(::statvfs(QFile::encodeName(work).constData(), &space) == 0);
    const qint64 fill = qint64(space.f_bavail) * qint64(space.f_bsize) - freeBytes;
    workspace.writeFile(QStringLiteral("work/fill"), QByteArray(int(fill), 'x'));

    RunOptions options = daysOn(40);
    options.workingFolder = QStringLiteral("work");
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.console.contains(logNotWritten().chopped(1)));
    QVERIFY(result.console.endsWith(prompt()));
    QVERIFY2(!result.console.contains("Treffer gesamt"), result.console);
    // The log was full: the run stopped, and left files for the next one.
    QVERIFY(countExisting(workspace, files) > 0);
    if (freeBytes == 0)
        QCOMPARE(countExisting(workspace, files), files.size());
    verifyGoneFilesLogged(workspace, files, result.log, result.console, 1, "../");
}

// The log reaches the file-size limit (ulimit -f, LimitFSIZE=): the write fails and the run stops,
// rather than the system ending the program between a removal and its entry.
void FaultsTest::fileSizeLimit()
{
    Workspace workspace;
    const QStringList files = makeFiles(workspace, QStringLiteral("tree"), 200);
    const RunResult result = runThrough(workspace, shellFirst(QStringLiteral("ulimit -f 2")));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.console.contains(logNotWritten().chopped(1)));
    QVERIFY(countExisting(workspace, files) > 0);
    verifyGoneFilesLogged(workspace, files, result.log, result.console, 1);
}

// Memory runs short midway through the walk, where no listing is to blame: the walk ends there,
// and the run names the job's root as not searched through, the files it removed before counted.
// The run blocks on its console among the root's files; then its address space is bounded to a
// mebibyte beyond what it has mapped, large blocks come straight from the system, and the ever
// longer path of a chain of long folder names outgrows the bound within a few hundred folders.
void FaultsTest::memoryShortMidWalk_data()
{
    QTest::addColumn<bool>("dryRun");
    QTest::addColumn<int>("count");   // old files in the root
    QTest::addColumn<int>("folders"); // folders of one old file each, instead of the chain
    QTest::newRow("real run") << false << 300 << 0;
    // What a dry run takes as removed must not outgrow the bound as its hits grow.
    QTest::newRow("dry run, many hits after the bound") << true << 20000 << 0;
    // What it keeps of each folder it took files from does grow: once it cannot, the folder is
    // named and the run goes on.
    QTest::newRow("dry run, many folders with hits after the bound") << true << 300 << 15000;
}

void FaultsTest::memoryShortMidWalk()
{
    QFETCH(bool, dryRun);
    QFETCH(int, count);
    QFETCH(int, folders);
#ifdef KEHRLUND_SANITIZED
    QSKIP("the sanitizers' allocator ignores the C library's settings and maps beyond any bound");
#endif
    Workspace workspace;
    const TreeRemover remover{workspace.pathOf(QStringLiteral("tree"))};
    const QStringList files = makeFiles(workspace, QStringLiteral("tree"), count);
    workspace.writeFile(QStringLiteral("tree/z/z.log"));
    // 2,000 folders deep: a path of half a mebibyte, a mebibyte in the program's strings, made
    // step by step as it is far beyond the system's limit.
    const QByteArray name(255, 'k');
    int folder = ::open(QFile::encodeName(workspace.pathOf(QStringLiteral("tree"))).constData(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; folder >= 0 && i < folders; ++i) {
        const QByteArray sub = "m" + QByteArray::number(i);
        ::mkdirat(folder, sub.constData(), 0777);
        ::close(
            ::openat(folder, (sub + "/f.log").constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    }
    for (int depth = 0; folder >= 0 && folders == 0 && depth < 2000; ++depth) {
        ::mkdirat(folder, name.constData(), 0777);
        const int next = ::openat(folder, name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(folder);
        folder = next;
    }
    QVERIFY(folder >= 0);
    ::close(folder);
    workspace.writeJobFile("tree\t*.log\t30\n");

    BlockingConsole console(workspace);
    QVERIFY(console.isOpen());
    RunOptions options = daysOn(40);
    options.console = console.path();
    options.environment.append(
        {QStringLiteral("GLIBC_TUNABLES"), QStringLiteral("glibc.malloc.mmap_threshold=65536")});
    if (dryRun)
        options.arguments = QStringList{QStringLiteral("--dry-run")};
    QProcess process;
    workspace.start(process, options);
    const qint64 program = programProcess(process);
    QVERIFY(BlockingConsole::waitUntilBlocked(program));
    QVERIFY(boundAddressSpace(program, 1 << 20));
    const QByteArray shown = console.readToEnd();
    const RunResult result = workspace.finish(process, options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    if (folders > 0) {
        // Past the bound, what could not be listed or kept is named (a folder, or the rest of
        // the tree); every hit shown is counted, and the run ends as a dry run does.
        QVERIFY2(shown.contains(notSwept("tree").left(30)), "no bound was reached");
        const int hits = int(shown.count(hit("f.log", 40).left(12)));
        QVERIFY(shown.endsWith(total(hits) + dryRunDone() + prompt()));
        QCOMPARE(result.log, QByteArray());
        return;
    }
    QPair<QByteArray, QByteArray> expected =
        expectedRun(files + QStringList{QStringLiteral("tree/")});
    if (dryRun)
        expected.first.insert(expected.first.size() - prompt().size(), dryRunDone());
    QCOMPARE(shown, expected.first);
    QCOMPARE(result.log, dryRun ? QByteArray() : result.expectedLog(expected.second));
    QVERIFY(workspace.exists(QStringLiteral("tree/z/z.log")));
}

// The console is a pipe whose reader has gone (a logger that died): the run goes on to its end.
void FaultsTest::consoleNobodyReads()
{
    Workspace workspace;
    const QStringList files = makeFiles(workspace, QStringLiteral("tree"), 300);
    const RunResult result =
        runThrough(workspace, {QStringLiteral("perl"), QStringLiteral("-e"),
                               QStringLiteral("pipe(R, W); close R; open STDERR, '>&W'; "
                                              "open STDOUT, '>&W'; exec @ARGV or die")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(countExisting(workspace, files), 0);
    QVERIFY(result.log.endsWith(logTotal(300)));
    verifyGoneFilesLogged(workspace, files, result.log, result.console);
}

void FaultsTest::stopRequest_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("during"); // what the run is busy with when the stop comes
    QTest::newRow("SIGTERM") << int(SIGTERM) << QString();
    QTest::newRow("SIGINT") << int(SIGINT) << QString();
    QTest::newRow("SIGHUP") << int(SIGHUP) << QString();
    // A logger that stalled, a terminal paused with Ctrl+S: the console cannot keep the run.
    QTest::newRow("SIGTERM while the console blocks") << int(SIGTERM) << "console blocks";
    // Each folder opened a few milliseconds late, as on a cold cache.
    QTest::newRow("SIGTERM while the walk goes through empty folders")
        << int(SIGTERM) << "slow walk";
    // The next job's root on a network mount whose server went away.
    QTest::newRow("SIGTERM while a file system does not answer") << int(SIGTERM) << "silent";
    // Its server took the request and never answers: nothing ends the call, not even SIGKILL,
    // until the mount goes; the block is closed all the same.
    QTest::newRow("SIGTERM while a file system has taken a request it never answers")
        << int(SIGTERM) << "silent, taken";
    // The console a file on such a mount: a hit's lines wait for it.
    QTest::newRow("SIGTERM while the console's file system does not answer")
        << int(SIGTERM) << "console silent";
}

// Stopped midway: the file in hand is finished and recorded, no other is begun, and the block is
// closed with its total. The program is held still while the stop is asked for, so that what is
// gone by then counts as removed before it, however busy the machine.
void FaultsTest::stopRequest()
{
    QFETCH(int, signal);
    QFETCH(QString, during);
    const bool slowWalk = during == QLatin1String("slow walk");
    const bool consoleBlocks = during == QLatin1String("console blocks");
    const bool taken = during == QLatin1String("silent, taken");
    const bool silent = during == QLatin1String("silent") || taken;
    const bool consoleSilent = during == QLatin1String("console silent");
    if (silent || consoleSilent) {
        REQUIRE_ROOT();
        keepMountsToThisTest(); // before the run starts, so that it sees the mount made later
    }
    const int emptyFolders = 1000;
    // A run may be over before the test could hold it (a busy machine); then it is tried again
    // on a fresh tree. Only a run that still had work ahead tells anything.
    for (int attempt = 1;; ++attempt) {
        QVERIFY2(attempt <= 20, "in 20 attempts no run was still at work when it was held");
        Workspace workspace;
        const QStringList files = makeFiles(workspace, QStringLiteral("tree"),
                                            during.isEmpty() || silent || consoleSilent ? 30000
                                            : slowWalk                                  ? 0
                                                                                        : 2000);
        for (int i = 0; slowWalk && i < emptyFolders; ++i)
            workspace.makeFolder(QStringLiteral("tree/leer%1").arg(i));
        workspace.makeFolder(QStringLiteral("silent"));
        workspace.writeJobFile(silent ? "tree\t*.log\t30\nsilent\t*.log\t30\n"
                                      : "tree\t*.log\t30\n");
        // The empty folders need no moved clock, and libfaketime would stretch strace's delays
        // too. The trace shows which folders the walk opened after the stop.
        RunOptions options = slowWalk ? RunOptions() : daysOn(40);
        const QString trace = workspace.pathOf(QStringLiteral("trace"));
        if (slowWalk)
            options.wrapper = QStringList{QStringLiteral("strace"),
                                          QStringLiteral("-f"),
                                          QStringLiteral("--quiet=all"),
                                          QStringLiteral("-o"),
                                          trace,
                                          QStringLiteral("-e"),
                                          QStringLiteral("trace=openat2"),
                                          QStringLiteral("-e"),
                                          QStringLiteral("inject=openat2:delay_enter=3000")};
        BlockingConsole console(workspace);
        if (consoleBlocks)
            options.console = console.path();
        std::unique_ptr<SilentFileSystem> silentConsole;
        if (consoleSilent) {
            silentConsole.reset(new SilentFileSystem(workspace.pathOf(QStringLiteral("silent")),
                                                     SilentFileSystem::Silence::AfterAWrite));
            if (!silentConsole->isMounted())
                QSKIP("no file system in user space here (/dev/fuse)");
            options.console = silentConsole->filePath();
        }
        QProcess process;
        workspace.start(process, options);
        if (consoleSilent) // once the test has handed the file on: the program's next write
            silentConsole->fallSilent();
        QVERIFY(process.waitForStarted(hangMs));
        const qint64 program = programProcess(process);
        QFileInfo log(workspace.pathOf(QStringLiteral("log_kehrlund.txt")));
        log.setCaching(false);
        QByteArray shownBefore;
        if (consoleBlocks) {
            QVERIFY(BlockingConsole::waitUntilBlocked(program));
        } else if (consoleSilent) {
            // The announcement went through; a hit's lines wait in a write to the console that
            // nobody reads, for an answer.
            QFile call(QStringLiteral("/proc/%1/syscall").arg(program));
            const QByteArray consoleWrite = QByteArray::number(SYS_write) + " 0x2 ";
            QVERIFY(waitReading(process, [&] {
                call.close();
                return (silentConsole->hasFallenSilent() &&
                        isWaitingIn(program, "request_wait_answer") &&
                        call.open(QIODevice::ReadOnly) &&
                        call.readAll().startsWith(consoleWrite)) ||
                       hasEnded(program);
            }));
            QVERIFY(!hasEnded(program));
        } else if (slowWalk) {
            // Well into the walk: the job is announced as its walk begins, and some of its
            // folders have been opened.
            QVERIFY(waitReading(process, [&] {
                shownBefore += process.readAllStandardError();
                return (shownBefore.contains(announced("tree")) &&
                        callsAroundSignal(trace, "openat2").first >= 50) ||
                       hasEnded(program);
            }));
        } else {
            QVERIFY(waitReading(process, [&] { return log.size() >= 20000 || hasEnded(program); }));
        }
        const bool held = consoleSilent || holdStill(process, program);
        const int goneBeforeStop = files.size() - countExisting(workspace, files);
        const int openedBeforeStop = callsAroundSignal(trace, "openat2").first;
        if (!held ||
            (slowWalk ? openedBeforeStop >= emptyFolders : goneBeforeStop == files.size())) {
            ::kill(pid_t(program), SIGKILL);
            ::kill(pid_t(program), SIGCONT);
            workspace.finish(process, options);
            continue;
        }
        // The next job's root stops answering; the run finishes the first job and waits for it.
        std::unique_ptr<SilentFileSystem> silentRoot;
        if (silent) {
            silentRoot.reset(
                new SilentFileSystem(workspace.pathOf(QStringLiteral("silent")),
                                     taken ? SilentFileSystem::Silence::ReadsButNeverAnswers
                                           : SilentFileSystem::Silence::FromTheStart));
            ::kill(pid_t(program), SIGCONT);
            if (!silentRoot->isMounted())
                QSKIP("no file system in user space here (/dev/fuse)");
            QVERIFY(waitReading(process, [&] {
                return isWaitingIn(program, taken ? "request_wait_answer" : "fuse");
            }));
        }
        ::kill(pid_t(program), signal);
        ::kill(pid_t(program), SIGCONT);
        if (taken) {
            // The block is closed while the program still waits; it ends once the mount goes.
            QFile logFile(log.filePath());
            QVERIFY(waitReading(process, [&] {
                logFile.close();
                const QList<QByteArray> lines = logFile.open(QIODevice::ReadOnly)
                                                    ? logLines(logFile.readAll())
                                                    : QList<QByteArray>();
                return !lines.isEmpty() && lines.last().startsWith("Treffer gesamt: ");
            }));
            QVERIFY(!hasEnded(program));
            silentRoot.reset();
        }
        // Ended, even with the console still unread.
        QVERIFY2(waitReading(process, [&] { return hasEnded(program); }),
                 "the run hung after the stop request");
        const QByteArray blocked = consoleBlocks ? console.readToEnd() : QByteArray();
        RunResult result = workspace.finish(process, options);
        QVERIFY(result.finished);
        result.console = shownBefore + result.console + blocked;

        const int removed = files.size() - countExisting(workspace, files);
        QVERIFY2(removed <= (silent ? files.size() : goneBeforeStop + 1),
                 qPrintable(QStringLiteral("%1 files removed after the stop request")
                                .arg(removed - goneBeforeStop)));
        QVERIFY(result.log.endsWith(logTotal(removed)));
        verifyGoneFilesLogged(workspace, files, result.log, result.console);
        if (slowWalk) {
            // The walk went no further than the folders it had in hand, of the hundreds left.
            const QPair<int, int> opened = callsAroundSignal(trace, "openat2");
            qInfo("folders opened before the stop: %d, after it: %d", opened.first, opened.second);
            QVERIFY2(opened.second <= 3, "the walk went on after the stop request");
        }
        if (consoleSilent) {
            QCOMPARE(result.exitCode, -1); // ended by the signal
            QVERIFY(silentConsole->fileContent().startsWith(announced("tree")));
        }
        if (silent) // the run ended while waiting, the console as it was
            QVERIFY2(result.console.endsWith(announced("silent")), result.console.right(300));
        else if (!consoleBlocks && !consoleSilent) // else the console was given up
            QVERIFY2(result.console.endsWith(total(removed)), result.console.right(300));
        return;
    }
}

// Paths far longer than a text stream's buffer, from four runs appending at once: every line of
// the log is whole, and every path line is followed by its age.
void FaultsTest::stopWhileAFolderOpens_data()
{
    QTest::addColumn<QStringList>("interrupted");
    QTest::newRow("by openat2") << QStringList{
        QStringLiteral("-e"), QStringLiteral("inject=openat2:signal=SIGTERM:error=EINTR:when=1")};
    // Each try interrupted again, as a file system that answers so does: the opening is not made
    // again and again until the stop's guard cuts the run short.
    QTest::newRow("by name, without openat2, every try") << QStringList{
        QStringLiteral("-P"), QStringLiteral("tree"),
        QStringLiteral("-e"), QStringLiteral("inject=openat2:error=ENOSYS"),
        QStringLiteral("-e"), QStringLiteral("inject=openat:signal=SIGTERM:error=EINTR:when=2+")};
}

// A stop that interrupts a folder's opening (as on a slow network mount) ends the run by the
// signal, its block closed, and names nothing of the folder it did not come to look at.
void FaultsTest::stopWhileAFolderOpens()
{
    QFETCH(QStringList, interrupted);
    Workspace workspace;
    workspace.writeFile(QStringLiteral("tree/a/x.log"));
    workspace.writeJobFile("tree\t*.log\t30\n");
    RunOptions options = daysOn(40);
    options.arguments = QStringList{QStringLiteral("--verbose")};
    options.wrapper = failing(interrupted);
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, -1);
    QCOMPARE(result.console, announced("tree") + total(0));
    QCOMPARE(result.log, result.expectedLog(logTotal(0)));
    QVERIFY(workspace.exists(QStringLiteral("tree/a/x.log")));
}

void FaultsTest::longEntriesFromRunsAtOnce()
{
    Workspace workspace;
    const TreeRemover remover{workspace.pathOf(QStringLiteral("tree"))};
    QString deep = QStringLiteral("tree");
    const QString level = QString(200, QLatin1Char('d'));
    QStringList files;
    // Created step by step below an open folder: the whole path is far over the system's limit.
    int folder = ::open(QFile::encodeName(workspace.path()).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(folder >= 0);
    for (int depth = 0; depth < 90; ++depth) {
        const QByteArray name = depth == 0 ? QByteArray("tree") : level.toUtf8();
        ::mkdirat(folder, name.constData(), 0777);
        const int next = ::openat(folder, name.constData(), O_RDONLY | O_DIRECTORY);
        ::close(folder);
        folder = next;
        QVERIFY(folder >= 0);
        if (depth > 0)
            deep += QLatin1Char('/') + level;
        if (depth >= 80) {
            for (int i = 0; i < 20; ++i) {
                const QByteArray file = "f" + QByteArray::number(i) + ".log";
                ::close(::openat(folder, file.constData(), O_WRONLY | O_CREAT, 0666));
                files << deep + QLatin1Char('/') + QString::fromLatin1(file);
            }
        }
    }
    ::close(folder);
    workspace.writeJobFile("tree\t*.log\t30\n");

    const RunOptions options = daysOn(40);
    QProcess runs[4];
    for (QProcess &run : runs)
        workspace.start(run, options);
    for (QProcess &run : runs)
        QVERIFY(workspace.finish(run, options).finished);

    QFile log(workspace.pathOf(QStringLiteral("log_kehrlund.txt")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = logLines(log.readAll());
    int paths = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray &text = lines.at(i);
        if (text.startsWith("tree/")) {
            QVERIFY2(files.contains(QString::fromUtf8(text)), "not a whole path: " + text.left(80));
            QVERIFY(i + 1 < lines.size() && lines.at(i + 1) == "40 Tage");
            ++paths;
        } else if (text == "40 Tage") {
            QVERIFY(i > 0 && lines.at(i - 1).startsWith("tree/"));
        } else {
            QVERIFY2(text == "**************************" || text.startsWith("  ") ||
                         text.startsWith("Treffer gesamt: "),
                     "stray line: " + text.left(80));
        }
    }
    QCOMPARE(paths, files.size());
}

// The console log of a run sits in the swept folder, as with "kehrlund >>/var/log/x.log 2>&1" and
// a job on /var/log: it is in use, and stays.
void FaultsTest::ownOutputInTree()
{
    Workspace workspace;
    workspace.makeFolder(QStringLiteral("tree"));
    const RunResult result = runThrough(
        workspace,
        {QStringLiteral("perl"), QStringLiteral("-e"),
         QStringLiteral(
             "open STDERR, '>>', shift or die; open STDOUT, '>&STDERR'; exec @ARGV or die"),
         QStringLiteral("tree/konsole.log")});
    QVERIFY(result.finished);
    QVERIFY(workspace.exists(QStringLiteral("tree/konsole.log")));
    QFile console(workspace.pathOf(QStringLiteral("tree/konsole.log")));
    QVERIFY(console.open(QIODevice::ReadOnly));
    QCOMPARE(console.readAll(),
             announced("tree") + hit("konsole.log", 40) + refused("tree/konsole.log") + end(1));
}

void FaultsTest::mountInsideTree_data()
{
    QTest::addColumn<bool>("bind");
    QTest::addColumn<bool>("withoutOpenat2"); // as on a kernel before 5.6, or under a filter
    QTest::addColumn<bool>("verbose");
    QTest::newRow("bind mount of a folder") << true << false << false;
    QTest::newRow("another file system") << false << false << false;
    QTest::newRow("bind mount of a folder, without openat2") << true << true << false;
    QTest::newRow("another file system, without openat2") << false << true << false;
    QTest::newRow("another file system, named with -v") << false << false << true;
    QTest::newRow("bind mount of a folder, without openat2, named with -v") << true << true << true;
}

// Not entered, silently unless the run is verbose, as a link to a folder is not followed; the
// root may be a mount point.
void FaultsTest::mountInsideTree()
{
    REQUIRE_ROOT();
    QFETCH(bool, bind);
    QFETCH(bool, withoutOpenat2);
    QFETCH(bool, verbose);
    Workspace workspace;
    workspace.writeFile(QStringLiteral("outside/keep.log"));
    workspace.writeFile(QStringLiteral("tree/old.log"));
    workspace.makeFolder(QStringLiteral("tree/mounted"));
    workspace.makeFolder(QStringLiteral("root"));
    Mount inner(workspace.pathOf(QStringLiteral("outside")),
                workspace.pathOf(QStringLiteral("tree/mounted")), bind ? nullptr : "tmpfs", nullptr,
                bind ? MS_BIND : 0);
    QVERIFY(inner.isMounted());
    Mount root(workspace.pathOf(QStringLiteral("tree")), workspace.pathOf(QStringLiteral("root")),
               nullptr, nullptr, MS_BIND | MS_REC);
    QVERIFY(root.isMounted());
    if (!bind)
        workspace.writeFile(QStringLiteral("tree/mounted/keep.log"));
    workspace.writeJobFile("root\t*.log\t30\n");

    RunOptions options = withoutOpenat2
                             ? through(failing({QStringLiteral("-e"),
                                                QStringLiteral("inject=openat2:error=ENOSYS")}))
                             : daysOn(40);
    if (verbose)
        options.arguments << QStringLiteral("-v");
    const RunResult result = workspace.run(options);
    QCOMPARE(result.console,
             announced("root") + hit("old.log", 40) +
                 (verbose ? passedOver("root/mounted", Why::OtherMount) : QByteArray()) + end(1));
    QVERIFY(!workspace.exists(QStringLiteral("tree/old.log")));
    QVERIFY(workspace.exists(QStringLiteral("tree/mounted/keep.log")));
}

void FaultsTest::logPlantedAsLink_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("symbolic link to a file") << QStringLiteral("symlink");
    QTest::newRow("dangling symbolic link") << QStringLiteral("dangling");
    QTest::newRow("hard link") << QStringLiteral("hardlink");
}

// A link planted as the run log would make a run, perhaps as root, append to any file or create
// one anywhere: the run refuses it and sweeps nothing.
void FaultsTest::logPlantedAsLink()
{
    QFETCH(QString, kind);
    Workspace workspace;
    workspace.writeFile(QStringLiteral("tree/old.log"));
    workspace.writeJobFile("tree\t*.log\t30\n");
    const QString log = workspace.pathOf(QStringLiteral("log_kehrlund.txt"));
    const QString target = workspace.pathOf(QStringLiteral("target"));
    if (kind != QLatin1String("dangling"))
        workspace.writeFile(QStringLiteral("target"), "bleibt\n");
    if (kind == QLatin1String("hardlink"))
        QVERIFY(::link(QFile::encodeName(target).constData(), QFile::encodeName(log).constData()) ==
                0);
    else
        QVERIFY(QFile::link(target, log));

    for (const QStringList &arguments : {QStringList(), QStringList{QStringLiteral("-n")}}) {
        RunOptions options = daysOn(40);
        options.arguments = arguments;
        const RunResult result = workspace.run(options);
        QVERIFY(result.console.startsWith(logNotWritten()));
        QVERIFY(workspace.exists(QStringLiteral("tree/old.log")));
        QFile file(target);
        QCOMPARE(file.exists(), kind != QLatin1String("dangling"));
        if (file.open(QIODevice::ReadOnly))
            QCOMPARE(file.readAll(), QByteArray("bleibt\n"));
    }
}

void FaultsTest::newLogNotWritableByOthers()
{
    Workspace workspace;
    workspace.writeJobFile(QByteArray());
    RunOptions options;
    options.wrapper = shellFirst(QStringLiteral("umask 000"));
    QVERIFY(workspace.run(options).finished);
    QFileInfo log(workspace.pathOf(QStringLiteral("log_kehrlund.txt")));
    QVERIFY(log.isFile());
    QCOMPARE(log.permissions() & (QFileDevice::WriteGroup | QFileDevice::WriteOther),
             QFileDevice::Permissions());
}

// Refused and skipped, without being held whole; the next line counts.
void FaultsTest::jobLineOfAMegabyte()
{
    Workspace workspace;
    workspace.writeFile(QStringLiteral("tree/old.log"));
    workspace.writeJobFile(QByteArray(1 << 20, 'x') + "\t*.log\t30\ntree\t*.log\t30\n");
    const RunResult result = workspace.run(daysOn(40));
    QCOMPARE(result.console, wrongLine() + announced("tree") + hit("old.log", 40) + end(1));
}

QTEST_GUILESS_MAIN(FaultsTest)
#include "tst_faults.moc"
