// The job file, the console format and the run log, seen from outside.
#include "harness.h"

#include <QFile>
#include <QtTest>

#include <sys/stat.h>

using namespace expect;

namespace
{
// Entries ending in '/' are folders, the others empty files.
void populate(const Workspace &workspace, const QStringList &entries)
{
    for (const QString &entry : entries) {
        if (entry.endsWith(QLatin1Char('/')))
            workspace.makeFolder(entry.left(entry.size() - 1));
        else
            workspace.writeFile(entry);
    }
}

} // namespace

class JobFileTest : public QObject
{
    Q_OBJECT

  private slots:
    void lineShapes_data();
    void lineShapes();
    void rootWithTrailingBlank();
    void logKeepsEarlierBytes_data();
    void logKeepsEarlierBytes();
    void dateLine_data();
    void dateLine();
    void logCannotBeOpened_data();
    void logCannotBeOpened();
    void consoleFormatUnescaped();
    void loggingEnvironment_data();
    void loggingEnvironment();
};

// How lines become jobs is tested in-process (tst_units); these rows show the program wired to
// it: a job file read, a line refused, each check, and the order of all their messages.
void JobFileTest::lineShapes_data()
{
    QTest::addColumn<QByteArray>("jobFile");
    QTest::addColumn<QStringList>("entries");
    // Everything on the console before the two closing messages of the run.
    QTest::addColumn<QByteArray>("console");

    const QStringList dir{QStringLiteral("dir/")};
    QTest::newRow("empty job file") << QByteArray() << dir << QByteArray();
    QTest::newRow("accepted line") << QByteArray("dir\t*.txt\t30\n") << dir << announced("dir");
    QTest::newRow("line without two tabs") << QByteArray("dir *.txt 30\n") << dir << wrongLine();
    QTest::newRow("root folder names a file")
        << QByteArray("datei\t*.txt\t30\n") << strings({"datei"}) << wrongRoot();
    QTest::newRow("refused pattern")
        << QByteArray("dir\t*.txt;*.tar.gz\t30\n") << dir << wrongPattern("*.tar.gz");
    QTest::newRow("period out of range") << QByteArray("dir\t*.txt\t0\n") << dir << wrongPeriod(0);
    // Every reading message before every check message; faulty jobs are dropped and the others
    // announced in file order.
    QTest::newRow("reading, then checks, then the run")
        << QByteArray("b\t*.txt\t30\nfehlt\t*.txt\t30\nkaputt\na\t*.txt\t0\n\n"
                      "a\t*.tar.gz\t30\na\t*.txt\t30")
        << strings({"a/", "b/"})
        << wrongLine() + wrongLine() + wrongRoot() + wrongPeriod(0) + wrongPattern("*.tar.gz") +
               announced("b") + announced("a");
}

void JobFileTest::lineShapes()
{
    QFETCH(QByteArray, jobFile);
    QFETCH(QStringList, entries);
    QFETCH(QByteArray, console);

    Workspace workspace;
    populate(workspace, entries);
    workspace.writeJobFile(jobFile);
    const RunResult result = workspace.run();
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console, asWritten(console + end(0)));
    QCOMPARE(result.log, result.expectedLog(logTotal(0)));
}

void JobFileTest::rootWithTrailingBlank()
{
    // The field "dir \" loses its backslash and keeps the blank: the announcement shows the
    // trimmed path, the sweep goes through the folder whose name ends in the blank.
    if (underWindows())
        QSKIP("Windows takes the blanks off the end of a name");
    Workspace workspace;
    populate(workspace, {QStringLiteral("dir/"), QStringLiteral("dir /"),
                         QStringLiteral("dir/alt.txt"), QStringLiteral("dir /alt.txt")});
    workspace.writeJobFile("dir \\\t*.txt\t30\n");
    const RunResult result = workspace.run(daysOn(40));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console, announced("dir") + hit("alt.txt", 40) + end(1));
    QCOMPARE(result.log, result.expectedLog(removedEntry("dir /alt.txt", 40) + logTotal(1)));
    QVERIFY(!workspace.exists(QStringLiteral("dir /alt.txt")));
    QVERIFY(workspace.exists(QStringLiteral("dir/alt.txt")));
}

void JobFileTest::logKeepsEarlierBytes_data()
{
    QTest::addColumn<QByteArray>("earlier");

    QTest::newRow("no earlier log") << QByteArray();
    QTest::newRow("earlier block")
        << logHeader(QDateTime(QDate(2020, 1, 1), QTime(8, 0), Qt::UTC)) + logTotal(0);
    static const char arbitrary[] = "alt\r\n\x00\xff\xfe\xc3\xa4 \x1b[31m ohne Zeilenende";
    QTest::newRow("arbitrary bytes, the last line cut short")
        << QByteArray(arbitrary, int(sizeof arbitrary) - 1);
    QTest::newRow("byte-order mark") << QByteArray("\xef\xbb\xbf"
                                                   "Kopf\n");
}

void JobFileTest::logKeepsEarlierBytes()
{
    QFETCH(QByteArray, earlier);

    Workspace workspace;
    workspace.makeFolder(QStringLiteral("dir"));
    workspace.writeJobFile("dir\t*.txt\t30\n");
    if (!earlier.isNull())
        workspace.writeFile(QStringLiteral("log_kehrlund.txt"), earlier);

    RunOptions first;
    first.fakeTime = QStringLiteral("2026-03-07 09:05:00");
    RunOptions second;
    second.fakeTime = QStringLiteral("2026-03-08 10:15:00");
    const RunResult one = workspace.run(first);
    const RunResult two = workspace.run(second);

    const QByteArray expectedConsole = asWritten(announced("dir") + end(0));
    QVERIFY(one.finished && two.finished);
    QCOMPARE(one.exitCode, 0);
    QCOMPARE(two.exitCode, 0);
    QCOMPARE(one.console, expectedConsole);
    QCOMPARE(two.console, expectedConsole);
    QCOMPARE(one.log, one.expectedLog(logTotal(0), earlier));
    QCOMPARE(two.log, two.expectedLog(logTotal(0), one.log));
}

void JobFileTest::dateLine_data()
{
    QTest::addColumn<QString>("clock");
    QTest::addColumn<QByteArray>("dateLine");

    QTest::newRow("morning") << QStringLiteral("2026-03-07 09:05:00")
                             << QByteArray("  07.03.2026 / 09:05 Uhr");
    QTest::newRow("evening, last day of the year")
        << QStringLiteral("2026-12-31 21:30:00") << QByteArray("  31.12.2026 / 21:30 Uhr");
    QTest::newRow("midnight") << QStringLiteral("2027-01-01 00:00:00")
                              << QByteArray("  01.01.2027 / 00:00 Uhr");
    QTest::newRow("leap day, a minute to midnight")
        << QStringLiteral("2028-02-29 23:59:00") << QByteArray("  29.02.2028 / 23:59 Uhr");
    QTest::newRow("seconds are not shown")
        << QStringLiteral("2026-10-05 07:08:30") << QByteArray("  05.10.2026 / 07:08 Uhr");
}

void JobFileTest::dateLine()
{
    QFETCH(QString, clock);
    QFETCH(QByteArray, dateLine);

    Workspace workspace;
    RunOptions options;
    options.fakeTime = clock;
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console, asWritten(jobFileNotOpened() + end(0)));
    // Written out here byte by byte.
    const QByteArray stars = "**************************\n";
    QCOMPARE(result.log, asWritten(stars + dateLine + '\n' + stars + "Treffer gesamt: 0\n"));
}

void JobFileTest::logCannotBeOpened_data()
{
    QTest::addColumn<QString>("kind"); // what stands in the log's place

    QTest::newRow("folder named like the log") << QStringLiteral("folder");
    QTest::newRow("read-only log, ordinary user") << QStringLiteral("read-only");
    QTest::newRow("FIFO named like the log") << QStringLiteral("fifo");
}

// The job file is read and checked, then the run ends before any sweep and before its total.
void JobFileTest::logCannotBeOpened()
{
    QFETCH(QString, kind);
    if (underWindows() && kind != QLatin1String("folder"))
        QSKIP("made with Linux permissions and setpriv, or a FIFO, which Windows folders lack");

    Workspace workspace;
    populate(workspace, {QStringLiteral("dir/alt.txt"), QStringLiteral("dir/unter/alt.txt")});
    workspace.writeJobFile("dir\t*.txt\t30\nkaputt\nfehlt\t*.txt\t30\ndir\t*.txt\t0\n");
    const QString log = workspace.pathOf(QStringLiteral("log_kehrlund.txt"));
    const QByteArray earlier = "frueher\n";
    RunOptions options = daysOn(40);
    if (kind == QLatin1String("folder")) {
        workspace.writeFile(QStringLiteral("log_kehrlund.txt/inhalt.txt"), earlier);
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(log).constData(), 0666), 0);
    } else {
        workspace.writeFile(QStringLiteral("log_kehrlund.txt"), earlier);
        QVERIFY(QFile::setPermissions(log, QFileDevice::ReadOwner | QFileDevice::ReadGroup |
                                               QFileDevice::ReadOther));
        options.unprivileged = true;
    }
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console,
             asWritten(wrongLine() + wrongRoot() + wrongPeriod(0) + logNotWritten() + prompt()));
    // Nothing swept, nothing written.
    QVERIFY(workspace.exists(QStringLiteral("dir/alt.txt")));
    QVERIFY(workspace.exists(QStringLiteral("dir/unter/alt.txt")));
    if (kind == QLatin1String("folder")) {
        QFile inner(log + QStringLiteral("/inhalt.txt"));
        QVERIFY(inner.open(QIODevice::ReadOnly));
        QCOMPARE(inner.readAll(), earlier);
    } else if (kind == QLatin1String("read-only")) {
        QCOMPARE(result.log, earlier);
    }
}

void JobFileTest::consoleFormatUnescaped()
{
    // Text items between double quotes with nothing escaped; written out here byte by byte.
    if (underWindows())
        QSKIP("a Windows name holds neither '\"' nor '\\'");
    Workspace workspace;
    const QString root = QStringLiteral("a\\b\"c ä");
    workspace.makeFolder(root);
    workspace.writeFile(root + QStringLiteral("/\"alt\" \\ü.txt"));
    workspace.writeJobFile("a\\b\"c \xc3\xa4\t*.txt\t30\n"
                           "a\\b\"c \xc3\xa4\t*.txt;;\"*.x\";*.\\;*.\xc3\xa4\t30\n");
    const RunResult result = workspace.run(daysOn(40));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console,
             QByteArray("\"Fehler 002: Fehlerhafte Endung entdeckt: \" \"\" \n"
                        "\"Fehler 002: Fehlerhafte Endung entdeckt: \" \"\"*.x\"\" \n"
                        "\"Fehler 002: Fehlerhafte Endung entdeckt: \" \"*.\\\" \n"
                        "\"Fehler 002: Fehlerhafte Endung entdeckt: \" \"*.\xc3\xa4\" \n"
                        "\"Ordner: \" \"a\\b\"c \xc3\xa4\" \n"
                        "\"\" \n"
                        "\"Treffer: \" \"\"alt\" \\\xc3\xbc.txt\" \n"
                        "\"Alter in Tagen: \" 40 \n"
                        "\"\" \n"
                        "\"Treffer gesamt: \" 1 \n"
                        "\"Bitte druecken Sie eine Taste zum beenden...\" \n"));
    QCOMPARE(result.log, result.expectedLog("a\\b\"c \xc3\xa4/\"alt\" \\\xc3\xbc.txt\n40 Tage\n"
                                            "Treffer gesamt: 1\n"));
}

void JobFileTest::loggingEnvironment_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value"); // @ stands for the working folder

    QTest::newRow("none") << QString() << QString();
    QTest::newRow("QT_LOGGING_RULES *.debug=false")
        << QStringLiteral("QT_LOGGING_RULES") << QStringLiteral("*.debug=false");
    QTest::newRow("QT_LOGGING_RULES *=false")
        << QStringLiteral("QT_LOGGING_RULES") << QStringLiteral("*=false");
    QTest::newRow("QT_MESSAGE_PATTERN")
        << QStringLiteral("QT_MESSAGE_PATTERN") << QStringLiteral("X %{message}");
    QTest::newRow("QT_LOGGING_CONF")
        << QStringLiteral("QT_LOGGING_CONF") << QStringLiteral("@/qtlogging.ini");
    QTest::newRow("qtlogging.ini in the user's settings")
        << QStringLiteral("XDG_CONFIG_HOME") << QStringLiteral("@/settings");
    QTest::newRow("QT_FATAL_WARNINGS")
        << QStringLiteral("QT_FATAL_WARNINGS") << QStringLiteral("1");
}

void JobFileTest::loggingEnvironment()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    // Qt for Windows reads its settings from the registry's folders, never from XDG_CONFIG_HOME;
    // there the row would be the row "none" again, with Wine's own settings written below it.
    if (underWindows() && name == QLatin1String("XDG_CONFIG_HOME"))
        QSKIP("Qt for Windows does not read XDG_CONFIG_HOME");

    Workspace workspace;
    const QByteArray rules = "[Rules]\n*.debug=false\n";
    workspace.writeFile(QStringLiteral("qtlogging.ini"), rules);
    workspace.writeFile(QStringLiteral("settings/QtProject/qtlogging.ini"), rules);
    populate(workspace, {QStringLiteral("dir/alt.txt"), QStringLiteral("dir/neu.log")});
    workspace.writeJobFile("fehlt\t*.txt\t30\nkaputt\ndir\t*.txt\t30\ndir\t*.txt\t-1\n");

    RunOptions options = daysOn(40);
    if (!name.isEmpty())
        options.environment.append(
            {name, QString(value).replace(QLatin1Char('@'), workspace.path())});
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    // With what the program said, should it end otherwise (a message of Wine's or of Qt's).
    QVERIFY2(result.exitCode == 0, result.console.constData());
    QCOMPARE(result.console, asWritten(wrongLine() + wrongRoot() + wrongPeriod(-1) +
                                       announced("dir") + hit("alt.txt", 40) + end(1)));
    QCOMPARE(result.log, result.expectedLog(removedEntry("dir/alt.txt", 40) + logTotal(1)));
}

QTEST_GUILESS_MAIN(JobFileTest)
#include "tst_jobfile.moc"
