// The job file, the console format and the run log, seen from outside.
#include "harness.h"

#include <QFile>
#include <QTextCodec>
#include <QtTest>

namespace
{
QByteArray message(const QString &text)
{
    return line(item(text));
}

const QByteArray error001 = message(QStringLiteral(
    "Fehler 001: Der angegebene Wurzelordner existiert nicht oder ist gar kein Ordner"));
const QByteArray error004 =
    message(QStringLiteral("Fehler 004: Logdatei konnte nicht geschrieben werden"));
const QByteArray error006 =
    message(QStringLiteral("Fehler 006: Eingabedatei konnte nicht geöffnet werden"));
const QByteArray error007 =
    message(QStringLiteral("Fehler 007: Zeile der Eingabedatei nicht korrekt"));

QByteArray error002(const QString &pattern)
{
    return line(item(QStringLiteral("Fehler 002: Fehlerhafte Endung entdeckt: ")) + item(pattern));
}

QByteArray error003(int days)
{
    return line(item(QStringLiteral("Fehler 003: Tage ist mit ")) + item(days) +
                item(QStringLiteral(" außerhalb des erlaubten Intervalls von 1 - 365 Tagen")));
}

// The two messages with which the run announces a job.
QByteArray announced(const QString &root)
{
    return line(item(QStringLiteral("Ordner: ")) + item(root)) + line(item(QString()));
}

QByteArray hit(const QString &name, int age)
{
    return line(item(QStringLiteral("Treffer: ")) + item(name)) +
           line(item(QStringLiteral("Alter in Tagen: ")) + item(age));
}

QByteArray runEnd(int hits)
{
    return totalMessages(hits) + closingPrompt();
}

const QByteArray starLine = "**************************\n";

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

// A run with the real clock (moved by a number of days), with the readings of the clock just
// before and after it, so that the log's date line can be compared exactly.
struct TimedRun {
    RunResult result;
    QDateTime before;
    QDateTime after;
};

TimedRun timedRun(const Workspace &workspace, const RunOptions &options = RunOptions(),
                  int clockMovedDays = 0)
{
    TimedRun run;
    run.before = QDateTime::currentDateTimeUtc().addDays(clockMovedDays);
    run.result = workspace.run(options);
    run.after = QDateTime::currentDateTimeUtc().addDays(clockMovedDays);
    return run;
}

// The whole log a single run leaves in a workspace without an earlier log.
QByteArray expectedLog(const TimedRun &run, const QByteArray &body)
{
    const QByteArray late = logHeader(run.after) + body;
    return run.result.log == late ? late : logHeader(run.before) + body;
}

QStringList names(std::initializer_list<const char *> utf8)
{
    QStringList result;
    for (const char *name : utf8)
        result.append(QString::fromUtf8(name));
    return result;
}

QByteArray utf16WithByteOrderMark(const QByteArray &utf8, bool littleEndian)
{
    const char *codec = littleEndian ? "UTF-16LE" : "UTF-16BE";
    const QByteArray mark = littleEndian ? QByteArray("\xff\xfe") : QByteArray("\xfe\xff");
    const QByteArray encoded =
        QTextCodec::codecForName(codec)->fromUnicode(QString::fromUtf8(utf8));
    return encoded.startsWith(mark) ? encoded : mark + encoded;
}
} // namespace

class JobFileTest : public QObject
{
    Q_OBJECT

  private slots:
    void missingJobFile();
    void unreadableJobFile();
    void emptyJobFile();
    void lineShapes_data();
    void lineShapes();
    void encodingsAndLineEnds_data();
    void encodingsAndLineEnds();
    void rootWithTrailingBlank();
    void logKeepsEarlierBytes_data();
    void logKeepsEarlierBytes();
    void dateLine_data();
    void dateLine();
    void logCannotBeOpened_data();
    void logCannotBeOpened();
    void argumentsIgnored_data();
    void argumentsIgnored();
    void consoleFormatUnescaped();
    void loggingEnvironment_data();
    void loggingEnvironment();
};

void JobFileTest::missingJobFile()
{
    Workspace workspace;
    const TimedRun run = timedRun(workspace);
    QVERIFY(run.result.finished);
    QCOMPARE(run.result.exitCode, 0);
    QCOMPARE(run.result.console, error006 + runEnd(0));
    QCOMPARE(run.result.log, expectedLog(run, "Treffer gesamt: 0\n"));
}

void JobFileTest::unreadableJobFile()
{
    Workspace workspace;
    workspace.makeFolder(QStringLiteral("dir"));
    workspace.writeJobFile("dir\t*.txt\t30\n");
    QVERIFY(QFile::setPermissions(workspace.pathOf(QStringLiteral("eingabe_kehrlund.txt")),
                                  QFileDevice::Permissions()));
    RunOptions options;
    options.unprivileged = true;
    const TimedRun run = timedRun(workspace, options);
    QVERIFY(run.result.finished);
    QCOMPARE(run.result.exitCode, 0);
    QCOMPARE(run.result.console, error006 + runEnd(0));
    QCOMPARE(run.result.log, expectedLog(run, "Treffer gesamt: 0\n"));
}

void JobFileTest::emptyJobFile()
{
    Workspace workspace;
    workspace.writeJobFile(QByteArray());
    const TimedRun run = timedRun(workspace);
    QVERIFY(run.result.finished);
    QCOMPARE(run.result.exitCode, 0);
    QCOMPARE(run.result.console, runEnd(0));
    QCOMPARE(run.result.log, expectedLog(run, "Treffer gesamt: 0\n"));
}

void JobFileTest::lineShapes_data()
{
    QTest::addColumn<QByteArray>("jobFile");
    QTest::addColumn<QStringList>("entries");
    // Everything on the console before the two closing messages of the run.
    QTest::addColumn<QByteArray>("console");

    const QStringList dir{QStringLiteral("dir/")};
    const QByteArray dirJob = announced(QStringLiteral("dir"));

    // Lines and line ends.
    QTest::newRow("one line with line end") << QByteArray("dir\t*.txt\t30\n") << dir << dirJob;
    QTest::newRow("last line without line end") << QByteArray("dir\t*.txt\t30") << dir << dirJob;
    QTest::newRow("empty line at the end")
        << QByteArray("dir\t*.txt\t30\n\n") << dir << error007 + dirJob;
    QTest::newRow("only a line end") << QByteArray("\n") << dir << error007;
    QTest::newRow("only CR LF") << QByteArray("\r\n") << dir << error007;
    QTest::newRow("empty lines before and between")
        << QByteArray("\na\t*.txt\t30\n\n\nb\t*.log\t7\n") << names({"a/", "b/"})
        << error007 + error007 + error007 + announced(QStringLiteral("a")) +
               announced(QStringLiteral("b"));
    QTest::newRow("line of blanks")
        << QByteArray("dir\t*.txt\t30\n   \n") << dir << error007 + dirJob;
    QTest::newRow("heading without tabs")
        << QByteArray("Ordner Endungen Tage\ndir\t*.txt\t30\n") << dir << error007 + dirJob;
    QTest::newRow("two tab-less lines between jobs")
        << QByteArray("a\t*.txt\t30\nNotiz\nb\t*.txt\t30\n") << names({"a/", "b/"})
        << error007 + announced(QStringLiteral("a")) + announced(QStringLiteral("b"));

    // Tab counts: exactly two, counted before anything is trimmed.
    QTest::newRow("no tab") << QByteArray("dir *.txt 30\n") << dir << error007;
    QTest::newRow("one tab") << QByteArray("dir\t*.txt 30\n") << dir << error007;
    QTest::newRow("three tabs") << QByteArray("dir\t*.txt\t30\tnoch\n") << dir << error007;
    QTest::newRow("trailing tab") << QByteArray("dir\t*.txt\t30\t\n") << dir << error007;
    QTest::newRow("leading tab") << QByteArray("\tdir\t*.txt\t30\n") << dir << error007;
    QTest::newRow("four tabs") << QByteArray("dir\t\t*.txt\t\t30\n") << dir << error007;
    QTest::newRow("only two tabs") << QByteArray("\t\t\n") << dir << error001;
    QTest::newRow("bad lines keep the good ones")
        << QByteArray("a\t*.txt\t30\n\t\t\t\nb\t*.txt\t30\nc\t*.txt\n") << names({"a/", "b/"})
        << error007 + error007 + announced(QStringLiteral("a")) + announced(QStringLiteral("b"));

    // Carriage returns are dropped wherever they stand; only a line feed ends a line.
    QTest::newRow("CR LF line ends")
        << QByteArray("dir\t*.txt\t30\r\ndir\t*.log\t5\r\n") << dir << dirJob + dirJob;
    QTest::newRow("CR inside the days field") << QByteArray("dir\t*.txt\t3\r0\n") << dir << dirJob;
    QTest::newRow("CR alone ends no line")
        << QByteArray("dir\t*.txt\t30\rdir\t*.txt\t30\r") << dir << error007;

    // Trimming.
    QTest::newRow("blanks around the fields")
        << QByteArray(" dir\\ \t *.log;*.tmp \t 30 \n") << dir << dirJob;
    QTest::newRow("tabs only as separators, other white space trimmed")
        << QByteArray("\v\fdir\v\t\f*.txt\v\t\f30\v\n") << dir << dirJob;
    QTest::newRow("no-break spaces around the fields")
        << QByteArray("\xc2\xa0"
                      "dir\xc2\xa0\t\xc2\xa0*.txt\xc2\xa0\t\xc2\xa0"
                      "30\xc2\xa0\n")
        << dir << dirJob;
    QTest::newRow("blank inside the root folder stays")
        << QByteArray("mein ordner\t*.txt\t30\n") << names({"mein ordner/"})
        << announced(QStringLiteral("mein ordner"));

    // Trailing backslashes of the root folder.
    QTest::newRow("two trailing backslashes")
        << QByteArray("C:\\\\\t*.txt\t30\n") << names({"C:/"}) << announced(QStringLiteral("C:"));
    QTest::newRow("backslash alone") << QByteArray("\\\t*.txt\t30\n") << dir << error001;
    QTest::newRow("backslashes only") << QByteArray("\\\\\\\t*.txt\t30\n") << dir << error001;
    QTest::newRow("inner backslash stays")
        << QByteArray("a\\b\\\t*.txt\t30\n") << names({"a\\b/", "a/b/"})
        << announced(QStringLiteral("a\\b"));
    QTest::newRow("inner backslash names another folder")
        << QByteArray("a\\b\\\t*.txt\t30\n") << names({"a/b/"}) << error001;
    QTest::newRow("slashes untouched") << QByteArray("sub/dir/\t*.txt\t30\n") << names({"sub/dir/"})
                                       << announced(QStringLiteral("sub/dir/"));
    QTest::newRow("backslash after a slash")
        << QByteArray("sub/dir/\\\\\t*.txt\t30\n") << names({"sub/dir/"})
        << announced(QStringLiteral("sub/dir/"));
    QTest::newRow("blank before the backslash stays in the path")
        << QByteArray("dir \\\t*.txt\t30\n") << dir << error001;
    QTest::newRow("root folder names a file")
        << QByteArray("datei\t*.txt\t30\n") << names({"datei"}) << error001;
    QTest::newRow("missing root: no other check")
        << QByteArray("fehlt\t*.tar.gz;*\t0\n") << dir << error001;

    // The days field.
    QTest::newRow("days abc") << QByteArray("dir\t*.txt\tabc\n") << dir << error003(0);
    QTest::newRow("days 30 Tage") << QByteArray("dir\t*.txt\t30 Tage\n") << dir << error003(0);
    QTest::newRow("days 99999999999")
        << QByteArray("dir\t*.txt\t99999999999\n") << dir << error003(0);
    QTest::newRow("days 2147483648")
        << QByteArray("dir\t*.txt\t2147483648\n") << dir << error003(0);
    QTest::newRow("days -2147483648")
        << QByteArray("dir\t*.txt\t-2147483648\n") << dir << error003(-2147483647 - 1);
    QTest::newRow("days empty") << QByteArray("dir\t*.txt\t\n") << dir << error003(0);
    QTest::newRow("days blanks only") << QByteArray("dir\t*.txt\t   \n") << dir << error003(0);
    QTest::newRow("days -5") << QByteArray("dir\t*.txt\t-5\n") << dir << error003(-5);
    QTest::newRow("days +30") << QByteArray("dir\t*.txt\t+30\n") << dir << dirJob;
    QTest::newRow("days 007") << QByteArray("dir\t*.txt\t007\n") << dir << dirJob;
    QTest::newRow("days 0366 is decimal")
        << QByteArray("dir\t*.txt\t0366\n") << dir << error003(366);
    QTest::newRow("days 0x10") << QByteArray("dir\t*.txt\t0x10\n") << dir << error003(0);
    QTest::newRow("days 3.0") << QByteArray("dir\t*.txt\t3.0\n") << dir << error003(0);
    QTest::newRow("days 1e2") << QByteArray("dir\t*.txt\t1e2\n") << dir << error003(0);
    QTest::newRow("days 3 0") << QByteArray("dir\t*.txt\t3 0\n") << dir << error003(0);
    QTest::newRow("days 1 and 365")
        << QByteArray("dir\t*.txt\t1\ndir\t*.txt\t365\n") << dir << dirJob + dirJob;
    QTest::newRow("days 0 and 366")
        << QByteArray("dir\t*.txt\t0\ndir\t*.txt\t366\n") << dir << error003(0) + error003(366);

    // The pattern field.
    QTest::newRow("blank after ; and trailing ;")
        << QByteArray("dir\t*.log; *.tmp;\t30\n") << dir
        << error002(QStringLiteral(" *.tmp")) + error002(QString());
    QTest::newRow("empty pattern field") << QByteArray("dir\t\t30\n") << dir << error002(QString());
    QTest::newRow("blank pattern field")
        << QByteArray("dir\t   \t30\n") << dir << error002(QString());
    QTest::newRow("lone ;") << QByteArray("dir\t;\t30\n") << dir
                            << error002(QString()) + error002(QString());
    QTest::newRow("two ; in a row")
        << QByteArray("dir\t*.txt;;*.log\t30\n") << dir << error002(QString());
    QTest::newRow("leading ;") << QByteArray("dir\t;*.txt\t30\n") << dir << error002(QString());
    QTest::newRow("field trimmed as a whole")
        << QByteArray("dir\t *.txt;*.log \t30\n") << dir << dirJob;
    QTest::newRow("blank before ;")
        << QByteArray("dir\t*.txt ;*.log\t30\n") << dir << error002(QStringLiteral("*.txt "));
    QTest::newRow("comma is no separator")
        << QByteArray("dir\t*.txt,*.log\t30\n") << dir << error002(QStringLiteral("*.txt,*.log"));
    QTest::newRow("admitted patterns")
        << QByteArray("dir\t*.txt;*.TXT;*.Log;*.7z;*.1;*.abcde;*.*\t30\n") << dir << dirJob;
    QTest::newRow("refused patterns in order, period untested")
        << QByteArray("dir\t*.txt;*.tar.gz;*\t400\n") << dir
        << error002(QStringLiteral("*.tar.gz")) + error002(QStringLiteral("*"));

    // Order: every reading message before every check message; faulty jobs are dropped and the
    // others announced in file order.
    QTest::newRow("reading messages before check messages")
        << QByteArray(
               "fehlt\t*.txt\t30\nkaputt\ndir\t*.txt\t0\n\ndir\t*.tar.gz\t30\ndir\t*.txt\t30")
        << dir
        << error007 + error007 + error001 + error003(0) + error002(QStringLiteral("*.tar.gz")) +
               dirJob;
    QTest::newRow("faulty jobs dropped, order kept")
        << QByteArray("b\t*.txt\t30\nfehlt\t*.txt\t30\na\t*.txt\t30\nb\t*.log\t5\n"
                      "a\t*.log\t500\nc\t*.txt\t30\n")
        << names({"a/", "b/", "c/"})
        << error001 + error003(500) + announced(QStringLiteral("b")) +
               announced(QStringLiteral("a")) + announced(QStringLiteral("b")) +
               announced(QStringLiteral("c"));
}

void JobFileTest::lineShapes()
{
    QFETCH(QByteArray, jobFile);
    QFETCH(QStringList, entries);
    QFETCH(QByteArray, console);

    Workspace workspace;
    populate(workspace, entries);
    workspace.writeJobFile(jobFile);
    const TimedRun run = timedRun(workspace);
    QVERIFY(run.result.finished);
    QCOMPARE(run.result.exitCode, 0);
    QCOMPARE(run.result.console, console + runEnd(0));
    QCOMPARE(run.result.log, expectedLog(run, "Treffer gesamt: 0\n"));
}

void JobFileTest::encodingsAndLineEnds_data()
{
    QTest::addColumn<QByteArray>("jobFile");

    // The same jobs, however the file is encoded and its lines ended.
    const QByteArray lf = "a\t*.txt\t30\n\xc3\xa4rger\t*.log\t7\nKopfzeile\nb\t*.txt\t0\n";
    QByteArray crlf = lf;
    crlf.replace("\n", "\r\n");
    const QByteArray bom = "\xef\xbb\xbf";

    QTest::newRow("LF") << lf;
    QTest::newRow("LF, last line without line end") << lf.left(lf.size() - 1);
    QTest::newRow("CR LF") << crlf;
    QTest::newRow("CR LF, last line without line end") << crlf.left(crlf.size() - 2);
    QTest::newRow("mixed line ends")
        << QByteArray("a\t*.txt\t30\r\n\xc3\xa4rger\t*.log\t7\nKopfzeile\r\nb\t*.txt\t0");
    QTest::newRow("UTF-8 byte-order mark, LF") << bom + lf;
    QTest::newRow("UTF-8 byte-order mark, CR LF") << bom + crlf;
    QTest::newRow("UTF-16LE with byte-order mark") << utf16WithByteOrderMark(lf, true);
    QTest::newRow("UTF-16BE with byte-order mark") << utf16WithByteOrderMark(lf, false);
    QTest::newRow("UTF-16LE with byte-order mark, CR LF") << utf16WithByteOrderMark(crlf, true);
}

void JobFileTest::encodingsAndLineEnds()
{
    QFETCH(QByteArray, jobFile);

    Workspace workspace;
    populate(workspace, {QStringLiteral("a/"), QStringLiteral("b/"), QStringLiteral("ärger/")});
    workspace.writeJobFile(jobFile);
    const TimedRun run = timedRun(workspace);
    QVERIFY(run.result.finished);
    QCOMPARE(run.result.exitCode, 0);
    QCOMPARE(run.result.console, error007 + error003(0) + announced(QStringLiteral("a")) +
                                     announced(QStringLiteral("ärger")) + runEnd(0));
    QCOMPARE(run.result.log, expectedLog(run, "Treffer gesamt: 0\n"));
}

void JobFileTest::rootWithTrailingBlank()
{
    const QDate made = QDateTime::currentDateTimeUtc().date();
    // The field "dir \" loses its backslash and keeps the blank: the announcement shows the
    // trimmed path, the sweep goes through the folder whose name ends in the blank.
    Workspace workspace;
    populate(workspace, {QStringLiteral("dir/"), QStringLiteral("dir /"),
                         QStringLiteral("dir/alt.txt"), QStringLiteral("dir /alt.txt")});
    workspace.writeJobFile("dir \\\t*.txt\t30\n");
    RunOptions options;
    options.fakeTime = QStringLiteral("+40d");
    const TimedRun run = timedRun(workspace, options, 40);
    if (QDateTime::currentDateTimeUtc().date() != made)
        QSKIP("the day changed during the run");
    QVERIFY(run.result.finished);
    QCOMPARE(run.result.exitCode, 0);
    QCOMPARE(run.result.console,
             announced(QStringLiteral("dir")) + hit(QStringLiteral("alt.txt"), 40) + runEnd(1));
    QCOMPARE(run.result.log, expectedLog(run, "dir /alt.txt\n40 Tage\nTreffer gesamt: 1\n"));
    QVERIFY(!workspace.exists(QStringLiteral("dir /alt.txt")));
    QVERIFY(workspace.exists(QStringLiteral("dir/alt.txt")));
}

void JobFileTest::logKeepsEarlierBytes_data()
{
    QTest::addColumn<QByteArray>("earlier");

    QTest::newRow("no earlier log") << QByteArray();
    QTest::newRow("earlier block")
        << QByteArray(starLine + "  01.01.2020 / 08:00 Uhr\n" + starLine + "Treffer gesamt: 0\n");
    static const char arbitrary[] = "alt\r\n\x00\xff\xfe\xc3\xa4 \x1b[31m ohne Zeilenende";
    QTest::newRow("arbitrary bytes without final line end")
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

    const QByteArray expectedConsole = announced(QStringLiteral("dir")) + runEnd(0);
    QVERIFY(one.finished && two.finished);
    QCOMPARE(one.exitCode, 0);
    QCOMPARE(two.exitCode, 0);
    QCOMPARE(one.console, expectedConsole);
    QCOMPARE(two.console, expectedConsole);
    const QByteArray firstBlock =
        starLine + "  07.03.2026 / 09:05 Uhr\n" + starLine + "Treffer gesamt: 0\n";
    const QByteArray secondBlock =
        starLine + "  08.03.2026 / 10:15 Uhr\n" + starLine + "Treffer gesamt: 0\n";
    QCOMPARE(one.log, earlier + firstBlock);
    QCOMPARE(two.log, earlier + firstBlock + secondBlock);
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
    QCOMPARE(result.console, error006 + runEnd(0));
    QCOMPARE(result.log, starLine + dateLine + '\n' + starLine + "Treffer gesamt: 0\n");
}

void JobFileTest::logCannotBeOpened_data()
{
    QTest::addColumn<bool>("logIsFolder");

    QTest::newRow("folder named like the log") << true;
    QTest::newRow("read-only log, ordinary user") << false;
}

void JobFileTest::logCannotBeOpened()
{
    QFETCH(bool, logIsFolder);

    Workspace workspace;
    populate(workspace, {QStringLiteral("dir/alt.txt"), QStringLiteral("dir/unter/alt.txt")});
    workspace.writeJobFile("dir\t*.txt\t30\nkaputt\nfehlt\t*.txt\t30\ndir\t*.txt\t0\n");
    const QString log = QStringLiteral("log_kehrlund.txt");
    const QByteArray earlier = "frueher\n";
    RunOptions options;
    options.fakeTime = QStringLiteral("+40d");
    if (logIsFolder) {
        workspace.writeFile(log + QStringLiteral("/inhalt.txt"), earlier);
    } else {
        workspace.writeFile(log, earlier);
        QVERIFY(QFile::setPermissions(workspace.pathOf(log), QFileDevice::ReadOwner |
                                                                 QFileDevice::ReadGroup |
                                                                 QFileDevice::ReadOther));
        options.unprivileged = true;
    }
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console, error007 + error001 + error003(0) + error004 + closingPrompt());
    // Nothing swept, nothing written.
    QVERIFY(workspace.exists(QStringLiteral("dir/alt.txt")));
    QVERIFY(workspace.exists(QStringLiteral("dir/unter/alt.txt")));
    if (logIsFolder) {
        QVERIFY(QFileInfo(workspace.pathOf(log)).isDir());
        QFile inner(workspace.pathOf(log + QStringLiteral("/inhalt.txt")));
        QVERIFY(inner.open(QIODevice::ReadOnly));
        QCOMPARE(inner.readAll(), earlier);
    } else {
        QCOMPARE(result.log, earlier);
    }
}

void JobFileTest::argumentsIgnored_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("none") << QStringList();
    QTest::newRow("--help") << names({"--help"});
    QTest::newRow("-x") << names({"-x"});
    QTest::newRow("eingabe.txt") << names({"eingabe.txt"});
    QTest::newRow("--version -v") << names({"--version", "-v"});
    QTest::newRow("job line as argument") << names({"andere\t*.txt\t30"});
    QTest::newRow("empty argument") << names({""});
}

void JobFileTest::argumentsIgnored()
{
    QFETCH(QStringList, arguments);

    Workspace workspace;
    populate(workspace, {QStringLiteral("dir/"), QStringLiteral("andere/")});
    workspace.writeJobFile("dir\t*.txt\t30\nkaputt\n");
    workspace.writeFile(QStringLiteral("eingabe.txt"), "andere\t*.txt\t30\n");
    RunOptions options;
    options.arguments = arguments;
    const TimedRun run = timedRun(workspace, options);
    QVERIFY(run.result.finished);
    QCOMPARE(run.result.exitCode, 0);
    QCOMPARE(run.result.console, error007 + announced(QStringLiteral("dir")) + runEnd(0));
    QCOMPARE(run.result.standardOutput, QByteArray());
    QCOMPARE(run.result.log, expectedLog(run, "Treffer gesamt: 0\n"));
}

void JobFileTest::consoleFormatUnescaped()
{
    const QDate made = QDateTime::currentDateTimeUtc().date();
    // Text items between double quotes with nothing escaped; written out here byte by byte.
    Workspace workspace;
    const QString root = QStringLiteral("a\\b\"c ä");
    workspace.makeFolder(root);
    workspace.writeFile(root + QStringLiteral("/\"alt\" \\ü.txt"));
    workspace.writeJobFile("a\\b\"c \xc3\xa4\t*.txt\t30\n"
                           "a\\b\"c \xc3\xa4\t*.txt;;\"*.x\";*.\\;*.\xc3\xa4\t30\n");
    RunOptions options;
    options.fakeTime = QStringLiteral("+40d");
    const TimedRun run = timedRun(workspace, options, 40);
    if (QDateTime::currentDateTimeUtc().date() != made)
        QSKIP("the day changed during the run");
    QVERIFY(run.result.finished);
    QCOMPARE(run.result.exitCode, 0);
    QCOMPARE(run.result.console,
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
    QCOMPARE(
        run.result.log,
        expectedLog(run, "a\\b\"c \xc3\xa4/\"alt\" \\\xc3\xbc.txt\n40 Tage\nTreffer gesamt: 1\n"));
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
    const QDate made = QDateTime::currentDateTimeUtc().date();

    Workspace workspace;
    const QByteArray rules = "[Rules]\n*.debug=false\n";
    workspace.writeFile(QStringLiteral("qtlogging.ini"), rules);
    workspace.writeFile(QStringLiteral("settings/QtProject/qtlogging.ini"), rules);
    populate(workspace, {QStringLiteral("dir/alt.txt"), QStringLiteral("dir/neu.log")});
    workspace.writeJobFile("fehlt\t*.txt\t30\nkaputt\ndir\t*.txt\t30\ndir\t*.txt\t-1\n");

    RunOptions options;
    options.fakeTime = QStringLiteral("+40d");
    if (!name.isEmpty())
        options.environment.append(
            {name, QString(value).replace(QLatin1Char('@'), workspace.path())});
    const TimedRun run = timedRun(workspace, options, 40);
    if (QDateTime::currentDateTimeUtc().date() != made)
        QSKIP("the day changed during the run");
    QVERIFY(run.result.finished);
    QCOMPARE(run.result.exitCode, 0);
    QCOMPARE(run.result.console, error007 + error001 + error003(-1) +
                                     announced(QStringLiteral("dir")) +
                                     hit(QStringLiteral("alt.txt"), 40) + runEnd(1));
    QCOMPARE(run.result.log, expectedLog(run, "dir/alt.txt\n40 Tage\nTreffer gesamt: 1\n"));
}

QTEST_GUILESS_MAIN(JobFileTest)
#include "tst_jobfile.moc"
