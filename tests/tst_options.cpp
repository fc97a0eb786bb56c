// The command line: help, version and the dry run; an unknown option starts nothing; and the
// syslog priorities on a console that is the systemd journal.
#include "harness.h"

#include <QFile>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace expect;

namespace
{
// A tree with one old file and a job file that sweeps it.
void prepareOneOldFile(const Workspace &workspace)
{
    workspace.writeFile(QStringLiteral("tree/old.log"));
    workspace.writeJobFile("tree\t*.log\t30\n");
}
} // namespace

class OptionsTest : public QObject
{
    Q_OBJECT

  private slots:
    void options_data();
    void options();
    void dryRunShowsWhatARunDoes();
    void journalPriorities_data();
    void journalPriorities();
};

void OptionsTest::options_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output");  // how standard output begins; empty: nothing
    QTest::addColumn<QByteArray>("console"); // how standard error begins
    QTest::addColumn<bool>("removes");

    const QByteArray help = "Aufruf: kehrlund";
    const QByteArray version = "kehrlund 1.0.0\n";
    const QByteArray run = announced("tree");
    auto refusal = [](const char *option) {
        return "kehrlund: unbekannte Option \"" + QByteArray(option) + "\"\n\nAufruf: kehrlund";
    };
    QTest::newRow("--help") << strings({"--help"}) << 0 << help << QByteArray() << false;
    QTest::newRow("-h") << strings({"-h"}) << 0 << help << QByteArray() << false;
    QTest::newRow("help before a dry run")
        << strings({"--help", "-n"}) << 0 << help << QByteArray() << false;
    QTest::newRow("--help names --verbose")
        << strings({"--help"}) << 0
        << QByteArray("Aufruf: kehrlund [-n | --dry-run] [-v | --verbose]\n") << QByteArray()
        << false;
    QTest::newRow("--version") << strings({"--version"}) << 0 << version << QByteArray() << false;
    QTest::newRow("--bogus") << strings({"--bogus"}) << 2 << QByteArray() << refusal("--bogus")
                             << false;
    QTest::newRow("-x") << strings({"-x"}) << 2 << QByteArray() << refusal("-x") << false;
    QTest::newRow("-") << strings({"-"}) << 2 << QByteArray() << refusal("-") << false;
    QTest::newRow("--help=yes") << strings({"--help=yes"}) << 2 << QByteArray()
                                << refusal("--help=yes") << false;
    // Qt would take these (and the argument after the first) for itself.
    QTest::newRow("-qmljsdebugger --help") << strings({"-qmljsdebugger", "--help"}) << 2
                                           << QByteArray() << refusal("-qmljsdebugger") << false;
    QTest::newRow("-qmljsdebugger=port:1")
        << strings({"-qmljsdebugger=port:1"}) << 2 << QByteArray()
        << refusal("-qmljsdebugger=port:1") << false;
    QTest::newRow("-hn, options not joined")
        << strings({"-hn"}) << 2 << QByteArray() << refusal("-hn") << false;
    QTest::newRow("unknown after --help")
        << strings({"--help", "--dry"}) << 2 << QByteArray() << refusal("--dry") << false;
    QTest::newRow("unknown after a real run's argument")
        << strings({"datei.txt", "--force"}) << 2 << QByteArray() << refusal("--force") << false;
    QTest::newRow("other arguments ignored")
        << strings({"datei.txt", "C:\\Temp\\x.log", "", "andere\t*.log\t1"}) << 0 << QByteArray()
        << run << true;
    QTest::newRow("no arguments") << QStringList() << 0 << QByteArray() << run << true;
    QTest::newRow("-n") << strings({"-n"}) << 0 << QByteArray() << run << false;
    QTest::newRow("--dry-run with another argument")
        << strings({"datei.txt", "--dry-run"}) << 0 << QByteArray() << run << false;
    QTest::newRow("-v") << strings({"-v"}) << 0 << QByteArray() << run << true;
    QTest::newRow("--verbose with a dry run")
        << strings({"--verbose", "-n"}) << 0 << QByteArray() << run << false;
}

// Only a run without options, with ignored arguments or with -v deletes and writes the log;
// nothing else reads the job file.
void OptionsTest::options()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, console);
    QFETCH(bool, removes);

    Workspace workspace;
    prepareOneOldFile(workspace);
    RunOptions options = daysOn(40);
    options.arguments = arguments;
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(result.standardOutput.startsWith(asWritten(output)), result.standardOutput);
    QCOMPARE(result.standardOutput.isEmpty(), output.isEmpty());
    QVERIFY2(result.console.startsWith(asWritten(console)), result.console);
    QCOMPARE(result.console.isEmpty(), console.isEmpty());
    QCOMPARE(workspace.exists(QStringLiteral("tree/old.log")), !removes);
    QCOMPARE(workspace.exists(QStringLiteral("log_kehrlund.txt")), removes);
}

// The dry run and a real run on the same tree: the same messages (the held file's Fehler 005 and
// the job checks included), then the real run removes exactly the files the dry run named.
void OptionsTest::dryRunShowsWhatARunDoes()
{
    if (underWindows())
        QSKIP("on Windows a dry run cannot foresee that the system refuses a held file");
    Workspace workspace;
    for (const char *file : {"tree/a.log", "tree/B.LOG", "tree/sub/c.log", "tree/keep.txt",
                             "tree/held.log", "tree/t.log", "other/d.tmp"})
        workspace.writeFile(QString::fromLatin1(file));
    // The tree twice, spelled two ways, with a folder beyond the path limit; and links to files
    // that are themselves hits: the real run finds those gone, also a link to one of two names of
    // a file whose other name stays until it goes too.
    const TreeRemover remover{workspace.pathOf(QStringLiteral("tree"))};
    QVERIFY(!makeDeepFolder(workspace, QStringLiteral("tree"), QByteArray(200, 'd'), 25,
                            {QByteArrayLiteral("tief.log")})
                 .isEmpty());
    workspace.writeJobFile(
        "tree\t*.log\t30\nother\t*.tmp;*.tar.gz\t30\nother\t*.tmp\t30\n./tree\t*.log\t30\n");
    QVERIFY(
        QFile::link(QStringLiteral("a.log"), workspace.pathOf(QStringLiteral("tree/link.log"))));
    QCOMPARE(::link(QFile::encodeName(workspace.pathOf(QStringLiteral("tree/t.log"))).constData(),
                    QFile::encodeName(workspace.pathOf(QStringLiteral("tree/t2.log"))).constData()),
             0);
    QVERIFY(QFile::link(QStringLiteral("../tree/t.log"),
                        workspace.pathOf(QStringLiteral("other/l.tmp"))));
    workspace.writeFile(QStringLiteral("log_kehrlund.txt"), "frueher\n");
    QVERIFY(workspace.holdOpen(QStringLiteral("tree/held.log")));

#ifdef KEHRLUND_WALK_BY_PATHS
    const QByteArray deepHit; // Qt's paths reach no folder beyond the limit: no run sees it
    const QStringList verbose;
#else
    const QByteArray deepHit = hit("tief.log", 40);
    const QStringList verbose{QStringLiteral("-v")};
#endif
    const auto heldNamed = [&verbose](const QByteArray &path) {
        return verbose.isEmpty() ? QByteArray() : passedOver(path, Why::InUse);
    };
    const QByteArray expected =
        wrongPattern("*.tar.gz") + announced("tree") + hit("a.log", 40) + hit("B.LOG", 40) +
        hit("held.log", 40) + refused("tree/held.log") + heldNamed("tree/held.log") +
        hit("t.log", 40) + hit("t2.log", 40) + deepHit + hit("c.log", 40) + announced("other") +
        hit("d.tmp", 40) + announced("./tree") + hit("held.log", 40) + refused("./tree/held.log") +
        heldNamed("./tree/held.log") + total(deepHit.isEmpty() ? 8 : 9);
    // Verbose, so that what either run passes over is compared too (but where the walk goes by
    // paths, which names the folder beyond the limit that it cannot reach).
    RunOptions options = daysOn(40);
    options.arguments = QStringList{QStringLiteral("--dry-run")} + verbose;
    const RunResult dry = workspace.run(options);
    QCOMPARE(dry.console, expected + dryRunDone() + prompt());
    QCOMPARE(dry.log, QByteArray("frueher\n"));
    for (const char *file :
         {"tree/a.log", "tree/B.LOG", "tree/sub/c.log", "tree/t2.log", "other/d.tmp"})
        QVERIFY(workspace.exists(QString::fromLatin1(file)));

    options.arguments = verbose;
    const RunResult real = workspace.run(options);
    QCOMPARE(real.console, expected + prompt());
    for (const char *file :
         {"tree/a.log", "tree/B.LOG", "tree/sub/c.log", "tree/t2.log", "other/d.tmp"})
        QVERIFY(!workspace.exists(QString::fromLatin1(file)));
    QVERIFY(workspace.exists(QStringLiteral("tree/keep.txt")));
    QVERIFY(workspace.exists(QStringLiteral("tree/held.log")));
}

void OptionsTest::journalPriorities_data()
{
    QTest::addColumn<QString>("stream"); // what JOURNAL_STREAM names
    QTest::addColumn<bool>("prefixed");
    QTest::newRow("standard error") << QStringLiteral("console") << true;
    QTest::newRow("another file") << QStringLiteral("other") << false;
    QTest::newRow("not set") << QString() << false;
    QTest::newRow("not a device and inode") << QStringLiteral("journal") << false;
}

// Standard error goes to a file here; JOURNAL_STREAM names it as systemd names the journal's
// stream. journald takes "<3>" and "<6>" off and files the line under that priority.
void OptionsTest::journalPriorities()
{
    QFETCH(QString, stream);
    QFETCH(bool, prefixed);
    if (underWindows())
        QSKIP("Windows has no systemd journal");
    Workspace workspace;
    prepareOneOldFile(workspace);
    workspace.writeJobFile("tree\t*.log\t30\nohne tabulator\nfehlt\t*.log\t30\n");
    workspace.writeFile(QStringLiteral("console"));
    workspace.writeFile(QStringLiteral("other"));
    RunOptions options = daysOn(40);
    options.wrapper =
        QStringList{QStringLiteral("perl"), QStringLiteral("-e"),
                    QStringLiteral("open STDERR, '>', shift or die; exec @ARGV or die"),
                    workspace.pathOf(QStringLiteral("console"))};
    struct stat status;
    if (!stream.isEmpty() &&
        ::stat(QFile::encodeName(workspace.pathOf(stream)).constData(), &status) == 0)
        stream = QStringLiteral("%1:%2").arg(quint64(status.st_dev)).arg(quint64(status.st_ino));
    options.environment.append({QStringLiteral("JOURNAL_STREAM"), stream});
    QVERIFY(workspace.run(options).finished);

    QByteArray expected;
    for (const QByteArray &message :
         {wrongLine(), wrongRoot(), announced("tree"), hit("old.log", 40), total(1), prompt()}) {
        for (const QByteArray &text : message.split('\n')) {
            if (text.isEmpty())
                continue;
            if (prefixed)
                expected += text.startsWith("\"Fehler ") ? "<3>" : "<6>";
            expected += text + '\n';
        }
    }
    QFile console(workspace.pathOf(QStringLiteral("console")));
    QVERIFY(console.open(QIODevice::ReadOnly));
    QCOMPARE(console.readAll(), expected);
}

QTEST_GUILESS_MAIN(OptionsTest)
#include "tst_options.moc"
