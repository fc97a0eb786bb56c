// Old files that other programs still hold open are left in place and reported as refused
// removals, seen from outside.
#include "harness.h"

#include <QProcess>
#include <QScopeGuard>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace expect;

namespace
{
const QString folderName = QStringLiteral("daten");

// How a helper process holds its files.
enum class Hold {
    Append,           // opened for appending, then the process sleeps
    ReadOnly,         // opened for reading, then the process sleeps
    Writing,          // opened for appending and written to every few milliseconds
    OpenedThenClosed, // opened, written, closed again; the process lives on
    // None, but the test itself holds a descriptor by path (O_PATH, which asks nothing) on the
    // root of a file system that does not answer.
    NoneButASilentMount,
    EachByItself, // each opened for reading by a process of its own (Workspace::holdOpen)
};

enum class Pauses { Untraced, Counted, Interrupted };

// A shell that opens the given files on descriptors 3, 4, ... and keeps them open until it is
// killed, which happens at the latest when the object goes out of scope.
class Holder
{
  public:
    Holder(const QStringList &paths, Hold hold, bool unprivileged = false)
    {
        QString script;
        for (int i = 0; i < paths.size(); ++i) {
            const QString fd = QString::number(3 + i);
            const QString arg = QStringLiteral("\"$%1\"").arg(i + 1);
            script +=
                QStringLiteral("exec %1%2%3; ")
                    .arg(fd, hold == Hold::ReadOnly ? QStringLiteral("<") : QStringLiteral(">>"),
                         arg);
            if (hold == Hold::OpenedThenClosed)
                script += QStringLiteral("echo x >&%1; exec %1>&-; ").arg(fd);
        }
        script += QStringLiteral("echo ready; ");
        if (hold == Hold::Writing) {
            // The short sleeps do not inherit the files, so killing the shell lets go of them.
            QString closeAll;
            QString writeAll;
            for (int i = 0; i < paths.size(); ++i) {
                writeAll += QStringLiteral("echo x >&%1; ").arg(3 + i);
                closeAll += QStringLiteral(" %1>&-").arg(3 + i);
            }
            script += QStringLiteral("while :; do %1sleep 0.02%2; done").arg(writeAll, closeAll);
        } else {
            script += QStringLiteral("exec sleep 600");
        }

        QStringList command =
            QStringList{QStringLiteral("sh"), QStringLiteral("-c"), script, QStringLiteral("sh")} +
            paths;
        if (unprivileged)
            command = asUnprivileged(command);
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(command.takeFirst(), command);
    }
    ~Holder() { stop(); }
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;

    // True once every file is open (or, for OpenedThenClosed, closed again).
    bool waitUntilReady()
    {
        if (!process.waitForStarted(hangMs))
            return false;
        QByteArray output;
        while (!output.contains("ready\n")) {
            if (process.state() != QProcess::Running || !process.waitForReadyRead(hangMs))
                return false;
            output += process.readAllStandardOutput();
        }
        return true;
    }

    void stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(hangMs);
        }
    }

  private:
    QProcess process;
};

QByteArray jobLine(const QString &root, const QString &patterns = QStringLiteral("*.log"))
{
    return (root + QLatin1Char('\t') + patterns + QStringLiteral("\t30\n")).toUtf8();
}
} // namespace

class OpenFilesTest : public QObject
{
    Q_OBJECT

  private slots:
    void heldFileStaysUntilReleased_data();
    void heldFileStaysUntilReleased();
    void changedWhileHeld_data();
    void changedWhileHeld();
    void heldAmongFree_data();
    void heldAmongFree();
    void hardLinkToHeldFile_data();
    void hardLinkToHeldFile();
    void ownLogInsideTree_data();
    void ownLogInsideTree();
    void processesOutOfSight_data();
    void processesOutOfSight();
};

void OpenFilesTest::heldFileStaysUntilReleased_data()
{
    QTest::addColumn<int>("hold");
    QTest::newRow("open for appending") << int(Hold::Append);
    QTest::newRow("open for reading only") << int(Hold::ReadOnly);
    QTest::newRow("still being written to") << int(Hold::Writing);
}

// While another process holds the old file it stays, reported as a refused removal and counted;
// once that process is gone the next run removes it.
void OpenFilesTest::heldFileStaysUntilReleased()
{
    QFETCH(int, hold);
    Workspace workspace;
    QVERIFY(workspace.isValid());
    const QString root = workspace.pathOf(folderName);
    const QString path = root + QStringLiteral("/dienst.log");
    workspace.writeFile(folderName + QStringLiteral("/dienst.log"), "erste Zeile\n");
    workspace.writeJobFile(jobLine(root));

    Holder holder({path}, Hold(hold));
    QVERIFY(holder.waitUntilReady());

    const RunResult held = workspace.run(daysOn(40));
    QVERIFY(held.finished);
    QCOMPARE(held.exitCode, 0);
    QCOMPARE(held.console,
             announced(root.toUtf8()) + hit("dienst.log", 40) + refused(path.toUtf8()) + end(1));
    QCOMPARE(held.log, held.expectedLog(refusedEntry(path.toUtf8()) + logTotal(1)));
    QVERIFY(workspace.exists(folderName + QStringLiteral("/dienst.log")));
    if (Hold(hold) == Hold::Writing) {
        // What the writer adds after the run still lands in the named file.
        const qint64 sizeAfterRun = QFileInfo(path).size();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).size() > sizeAfterRun, hangMs);
    }

    holder.stop();
    const RunResult released = workspace.run(daysOn(40));
    QVERIFY(released.finished);
    QCOMPARE(released.console, announced(root.toUtf8()) + hit("dienst.log", 40) + end(1));
    QCOMPARE(released.log,
             released.expectedLog(removedEntry(path.toUtf8(), 40) + logTotal(1), held.log));
    QVERIFY(!workspace.exists(folderName + QStringLiteral("/dienst.log")));
}

void OpenFilesTest::changedWhileHeld_data()
{
    // Run in the folder while the run waits for the held old file behind "dienst.log" to be let
    // go; the entry is the file itself, or a link to it ("ziel").
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("another file renamed over it")
        << "echo neu >jung && mv jung dienst.log" << false;
    // No writer waits for this one: an opening that blocked would hold the run.
    QTest::newRow("a FIFO renamed over it") << "mkfifo neu && mv neu dienst.log" << false;
    QTest::newRow("the waited-on FIFO renamed over it") << "mv rohr dienst.log" << false;
    // A writer waits to open the FIFO "rohr": any opening of it for reading lets the writer on.
    QTest::newRow("its link turned to a FIFO") << "ln -s rohr neu && mv neu dienst.log" << true;
}

// While the run waits for a held file to be let go, its name comes to lead to another file: the
// run removes, and opens, nothing but the file it judged. Whether the change came while the run
// still waited is read from the outcome: a run that gave up first refuses the held file, and the
// race is run again.
void OpenFilesTest::changedWhileHeld()
{
#ifdef KEHRLUND_WALK_BY_PATHS
    QSKIP("this build asks no lease, so it never waits for a held file");
#endif
    QFETCH(QString, change);
    QFETCH(bool, throughLink);
    for (int round = 1;; ++round) {
        QVERIFY2(round <= 20, "the run never waited for the held file");
        Workspace workspace;
        const QString root = workspace.pathOf(folderName);
        const QString held =
            folderName + (throughLink ? QStringLiteral("/ziel") : QStringLiteral("/dienst.log"));
        workspace.writeFile(held, "alt\n");
        if (throughLink)
            QVERIFY(QFile::link(QStringLiteral("ziel"), root + QStringLiteral("/dienst.log")));
        QVERIFY(::mkfifo(QFile::encodeName(root + QStringLiteral("/rohr")).constData(), 0644) == 0);
        QProcess writer;
        writer.setWorkingDirectory(root);
        writer.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("exec 3>rohr")});
        QVERIFY(writer.waitForStarted(hangMs));
        workspace.writeJobFile(jobLine(root));
        QVERIFY(workspace.holdOpen(held));

        QProcess process;
        const RunOptions options = daysOn(40);
        workspace.start(process, options);
        const qint64 program = programProcess(process);
        QElapsedTimer waited;
        waited.start();
        while (!hasEnded(program) && !isWaitingIn(program, "nanosleep"))
            QVERIFY2(waited.elapsed() < hangMs, "the run hung");
        QProcess changer;
        changer.setWorkingDirectory(root);
        changer.start(QStringLiteral("sh"), {QStringLiteral("-c"), change});
        QVERIFY(changer.waitForFinished(hangMs) && changer.exitCode() == 0);
        const RunResult result = workspace.finish(process, options);
        QVERIFY(result.finished);
        const bool stillWaiting = isWaitingIn(writer.processId(), "wait_for_partner");
        writer.kill();
        writer.waitForFinished(hangMs);
        if (result.console.contains("Fehler 005"))
            continue; // it gave the held file up before the change
        QCOMPARE(result.console, announced(root.toUtf8()) + end(0));
        QCOMPARE(result.log, result.expectedLog(logTotal(0)));
        QVERIFY(workspace.exists(folderName + QStringLiteral("/dienst.log")));
        QVERIFY2(stillWaiting, "the run opened the FIFO");
        return;
    }
}

void OpenFilesTest::heldAmongFree_data()
{
    // Names in the order the sweep meets them (by name, without regard to case), each with
    // whether a helper holds it.
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QList<bool>>("held");
    QTest::addColumn<int>("hold");
    QTest::addColumn<bool>("verbose"); // a held file is named as in use, after its Fehler 005
    // The run's pauses before it asks for a lease again, traced (strace): counted, together at
    // most as many as one file's retries may take; or every other one interrupted by a report of
    // a move (SIGIO), which must not cut the wait short.
    QTest::addColumn<int>("pauses");

    QTest::newRow("one held between two free")
        << QStringList{QStringLiteral("a.log"), QStringLiteral("b.log"), QStringLiteral("c.log")}
        << QList<bool>{false, true, false} << int(Hold::Append) << false << int(Pauses::Untraced);
    QTest::newRow("one held between two free, named with -v")
        << QStringList{QStringLiteral("a.log"), QStringLiteral("b.log"), QStringLiteral("c.log")}
        << QList<bool>{false, true, false} << int(Hold::Append) << true << int(Pauses::Untraced);
    QTest::newRow("several held, names in mixed case")
        << QStringList{QStringLiteral("alpha.log"), QStringLiteral("Bericht.log"),
                       QStringLiteral("cron.log"),  QStringLiteral("Delta.log"),
                       QStringLiteral("echo.log"),  QStringLiteral("Zulu.log")}
        << QList<bool>{false, true, true, false, true, false} << int(Hold::Append) << false
        << int(Pauses::Untraced);
    QTest::newRow("several held for reading, the first and the last")
        << QStringList{QStringLiteral("1.log"), QStringLiteral("2.log"), QStringLiteral("3.log")}
        << QList<bool>{true, false, true} << int(Hold::ReadOnly) << false << int(Pauses::Untraced);
    // The helper lives on but has closed the files again: nothing holds them.
    QTest::newRow("opened and closed before the run")
        << QStringList{QStringLiteral("frei.log"), QStringLiteral("zu.log")}
        << QList<bool>{false, false} << int(Hold::OpenedThenClosed) << false
        << int(Pauses::Untraced);
    // A program that holds all it writes to: the run does not wait two seconds for each file.
    QStringList twenty;
    QList<bool> allHeld;
    for (int i = 1; i <= 20; ++i) {
        twenty << QStringLiteral("h%1.log").arg(i, 2, 10, QLatin1Char('0'));
        allHeld << true;
    }
    QTest::newRow("twenty held: the retries are bounded per run, not per file")
        << twenty << allHeld << int(Hold::EachByItself) << false << int(Pauses::Counted);
    QTest::newRow("one held, every other pause interrupted by a report of a move")
        << QStringList{QStringLiteral("dienst.log")} << QList<bool>{true} << int(Hold::Append)
        << false << int(Pauses::Interrupted);
    // Asked how the mount's root is, it would never answer; the run is not held.
    QTest::newRow("a file system that does not answer held open elsewhere")
        << QStringList{QStringLiteral("alt.log")} << QList<bool>{false}
        << int(Hold::NoneButASilentMount) << false << int(Pauses::Untraced);
}

void OpenFilesTest::heldAmongFree()
{
    QFETCH(QStringList, names);
    QFETCH(QList<bool>, held);
    QFETCH(int, hold);
    QFETCH(bool, verbose);
    QFETCH(int, pauses);
#ifdef KEHRLUND_WALK_BY_PATHS
    if (Pauses(pauses) == Pauses::Interrupted)
        QSKIP("this build asks no lease, so it never pauses to ask again");
#endif
    Workspace workspace;
    QVERIFY(workspace.isValid());
    const QString root = workspace.pathOf(folderName);
    QStringList heldPaths;
    QByteArray expectedConsole = announced(root.toUtf8());
    QByteArray log;
    for (int i = 0; i < names.size(); ++i) {
        const QString path = root + QLatin1Char('/') + names.at(i);
        workspace.writeFile(folderName + QLatin1Char('/') + names.at(i), "x\n");
        expectedConsole += hit(names.at(i).toUtf8(), 40);
        // A helper that opens and closes again is handed every file.
        if (held.at(i) && Hold(hold) == Hold::EachByItself)
            QVERIFY(workspace.holdOpen(folderName + QLatin1Char('/') + names.at(i)));
        else if (held.at(i) || Hold(hold) == Hold::OpenedThenClosed)
            heldPaths << path;
        if (held.at(i)) {
            expectedConsole += refused(path.toUtf8());
            if (verbose)
                expectedConsole += passedOver(path.toUtf8(), Why::InUse);
            log += refusedEntry(path.toUtf8());
        } else {
            log += removedEntry(path.toUtf8(), 40);
        }
    }
    expectedConsole += end(names.size());
    log += logTotal(names.size());
    workspace.writeJobFile(jobLine(root));

    Holder holder(heldPaths, Hold(hold));
    QVERIFY(holder.waitUntilReady());
    std::unique_ptr<SilentFileSystem> silent;
    int onSilent = -1;
    const auto closeIt = qScopeGuard([&] {
        if (onSilent >= 0)
            ::close(onSilent);
    });
    if (Hold(hold) == Hold::NoneButASilentMount) {
        if (!runningAsRoot())
            QSKIP("needs root to mount a file system");
        workspace.makeFolder(QStringLiteral("stumm"));
        silent.reset(new SilentFileSystem(workspace.pathOf(QStringLiteral("stumm"))));
        if (!silent->isMounted())
            QSKIP("no file system in user space here (/dev/fuse)");
        onSilent = ::open(QFile::encodeName(workspace.pathOf(QStringLiteral("stumm"))).constData(),
                          O_PATH | O_CLOEXEC);
        QVERIFY(onSilent >= 0);
    }
    RunOptions options = daysOn(40);
    if (verbose)
        options.arguments << QStringLiteral("-v");
    const QString trace = workspace.pathOf(QStringLiteral("trace"));
    if (Pauses(pauses) != Pauses::Untraced)
        options = underStrace(options, {QStringLiteral("-T"), QStringLiteral("-o"), trace,
                                        QStringLiteral("-e"),
                                        QStringLiteral("trace=nanosleep,clock_nanosleep")});
    if (Pauses(pauses) == Pauses::Interrupted)
        options.wrapper << QStringLiteral("-e")
                        << QStringLiteral("inject=nanosleep,clock_nanosleep:signal=SIGIO:when=1+2");
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.console, expectedConsole);
    QCOMPARE(result.log, result.expectedLog(log));
    QFile traced(trace);
    const bool isTraced = Pauses(pauses) != Pauses::Untraced;
    QVERIFY(!isTraced || traced.open(QIODevice::ReadOnly));
    const QByteArray pausesTraced = isTraced ? traced.readAll() : QByteArray();
    if (Pauses(pauses) == Pauses::Counted) {
        // One file's retries end once the pauses asked for add up to two seconds; each pause is
        // drawn from 0.5 to 2 ms and doubled with each try, up to 32 times: at the most as many
        // as the shortest pauses take (0.5, 1, 2, 4, 8, then 16 ms each).
        int retriesAtMost = 0;
        for (double pausedMs = 0; pausedMs < 2000; ++retriesAtMost)
            pausedMs += 0.5 * (1 << std::min(retriesAtMost, 5));
        const int counted = int(pausesTraced.count("nanosleep("));
        QVERIFY2(counted <= retriesAtMost,
                 qPrintable(QStringLiteral("%1 pauses, one file's retries take at most %2")
                                .arg(counted)
                                .arg(retriesAtMost)));
    }
    if (Pauses(pauses) == Pauses::Interrupted) {
        // The pauses asked for add up to two seconds, less a millisecond each; cut short where
        // interrupted, they would take about half of that. A slow machine only adds to them.
        double sleptS = 0;
        const QRegularExpression took(QStringLiteral("<(\\d+\\.\\d+)>$"),
                                      QRegularExpression::MultilineOption);
        for (auto match = took.globalMatch(QString::fromLatin1(pausesTraced)); match.hasNext();)
            sleptS += match.next().captured(1).toDouble();
        QVERIFY2(sleptS >= 1.5, qPrintable(QStringLiteral("paused %1 s in all").arg(sleptS)));
    }
    for (int i = 0; i < names.size(); ++i)
        QCOMPARE(workspace.exists(folderName + QLatin1Char('/') + names.at(i)), held.at(i));
}

void OpenFilesTest::hardLinkToHeldFile_data()
{
    // A file outside the swept folder, "original.dat", and a hard link to it inside,
    // "verweis.log"; which of the two names the helper opened does not matter.
    QTest::addColumn<bool>("holdLink");
    QTest::newRow("original held, link swept") << false;
    QTest::newRow("link held and swept") << true;
}

void OpenFilesTest::hardLinkToHeldFile()
{
    QFETCH(bool, holdLink);
    Workspace workspace;
    QVERIFY(workspace.isValid());
    const QString root = workspace.pathOf(folderName);
    const QString original = workspace.pathOf(QStringLiteral("original.dat"));
    const QString link = root + QStringLiteral("/verweis.log");
    const QString other = root + QStringLiteral("/anders.log");
    workspace.writeFile(QStringLiteral("original.dat"), "x\n");
    workspace.writeFile(folderName + QStringLiteral("/anders.log"), "x\n");
    QCOMPARE(::link(QFile::encodeName(original).constData(), QFile::encodeName(link).constData()),
             0);
    workspace.writeJobFile(jobLine(root));

    Holder holder({holdLink ? link : original}, Hold::Append);
    QVERIFY(holder.waitUntilReady());
    const RunResult result = workspace.run(daysOn(40));
    QVERIFY(result.finished);
    QCOMPARE(result.console, announced(root.toUtf8()) + hit("anders.log", 40) +
                                 hit("verweis.log", 40) + refused(link.toUtf8()) + end(2));
    QCOMPARE(result.log, result.expectedLog(removedEntry(other.toUtf8(), 40) +
                                            refusedEntry(link.toUtf8()) + logTotal(2)));
    QVERIFY(workspace.exists(folderName + QStringLiteral("/verweis.log")));
    QVERIFY(workspace.exists(QStringLiteral("original.dat")));
    QVERIFY(!workspace.exists(folderName + QStringLiteral("/anders.log")));
}

void OpenFilesTest::ownLogInsideTree_data()
{
    QTest::addColumn<bool>("logViewed");
    QTest::newRow("log open only in the program") << false;
    QTest::newRow("log also open in a viewer") << true;
}

// The working folder itself is swept, so the run log and the job file match the pattern and are
// old by the moved clock. The program holds its log open itself; that never makes a hit, and a
// viewer that holds it too changes nothing. Other files are judged as usual.
void OpenFilesTest::ownLogInsideTree()
{
    QFETCH(bool, logViewed);
    Workspace workspace;
    QVERIFY(workspace.isValid());
    const QString root = workspace.path();
    const QString logPath = workspace.pathOf(QStringLiteral("log_kehrlund.txt"));
    const QString oldPath = workspace.pathOf(QStringLiteral("alt.txt"));
    const QString openPath = workspace.pathOf(QStringLiteral("offen.txt"));
    const QByteArray earlier = "frühere Zeile\n";
    workspace.writeFile(QStringLiteral("log_kehrlund.txt"), earlier);
    workspace.writeFile(QStringLiteral("alt.txt"), "x\n");
    workspace.writeFile(QStringLiteral("offen.txt"), "x\n");
    workspace.writeJobFile(jobLine(root, QStringLiteral("*.txt")));

    QStringList heldPaths{openPath};
    if (logViewed)
        heldPaths << logPath;
    Holder holder(heldPaths, Hold::ReadOnly);
    QVERIFY(holder.waitUntilReady());
    const RunResult result = workspace.run(daysOn(40));
    QVERIFY(result.finished);
    QCOMPARE(result.console, announced(root.toUtf8()) + hit("alt.txt", 40) + hit("offen.txt", 40) +
                                 refused(openPath.toUtf8()) + end(2));
    QCOMPARE(result.log, result.expectedLog(removedEntry(oldPath.toUtf8(), 40) +
                                                refusedEntry(openPath.toUtf8()) + logTotal(2),
                                            earlier));
    QVERIFY(workspace.exists(QStringLiteral("log_kehrlund.txt")));
    QVERIFY(workspace.exists(QStringLiteral("eingabe_kehrlund.txt")));
    QVERIFY(workspace.exists(QStringLiteral("offen.txt")));
    QVERIFY(!workspace.exists(QStringLiteral("alt.txt")));
}

void OpenFilesTest::processesOutOfSight_data()
{
    QTest::addColumn<bool>("holderUnprivileged");
    QTest::addColumn<bool>("expectHeld");
    QTest::addColumn<bool>("readable"); // to the run; else no lease can be asked for it
    // The program, run as nobody, can look into nobody's processes: the file is held.
    QTest::newRow("holder of the same user") << true << true << true;
    // It cannot look into root's: the file is not in the snapshot and is removed.
    QTest::newRow("holder of another user") << false << false << true;
    QTest::newRow("holder of another user, the file not readable to the run")
        << false << false << false;
}

// Run unprivileged, the program sees only the open files of processes it may inspect.
void OpenFilesTest::processesOutOfSight()
{
    if (!runningAsRoot())
        QSKIP("needs root to run the program and the helper as different users");
    QFETCH(bool, holderUnprivileged);
    QFETCH(bool, expectHeld);
    QFETCH(bool, readable);
    Workspace workspace;
    QVERIFY(workspace.isValid());
    const QString root = workspace.pathOf(folderName);
    const QString path = root + QStringLiteral("/dienst.log");
    workspace.writeFile(folderName + QStringLiteral("/dienst.log"), "x\n");
    // Anyone may delete in the folder.
    QVERIFY(QFile::setPermissions(root, QFileDevice::Permissions(0x7777)));
    QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions(readable ? 0x6666 : 0x6600)));
    workspace.writeJobFile(jobLine(root));

    Holder holder({path}, Hold::ReadOnly, holderUnprivileged);
    QVERIFY(holder.waitUntilReady());
    RunOptions options = daysOn(40);
    options.unprivileged = true;
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.console, announced(root.toUtf8()) + hit("dienst.log", 40) +
                                 (expectHeld ? refused(path.toUtf8()) : QByteArray()) + end(1));
    QCOMPARE(result.log, result.expectedLog((expectHeld ? refusedEntry(path.toUtf8())
                                                        : removedEntry(path.toUtf8(), 40)) +
                                            logTotal(1)));
    QCOMPARE(workspace.exists(folderName + QStringLiteral("/dienst.log")), expectHeld);
}

QTEST_GUILESS_MAIN(OpenFilesTest)
#include "tst_openfiles.moc"
