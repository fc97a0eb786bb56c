// The sweep of folder trees, the age test, the removal of hits and the checks of the jobs, seen
// from outside: the program runs on trees built here, with its clock moved by libfaketime, and
// its console and run log are compared byte for byte.
//
// Files made here are born now. Moving the program's clock ahead makes them old: with "+40d"
// every file is 40 days old. Where a row needs an absolute time, it names it as "day+N hh:mm:ss"
// (N days from today, UTC, which is the program's local time).
//
// In expected texts and job files "@" stands for the path of the working folder.
#include "harness.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace expect;

namespace
{
// ---------------------------------------------------------------------------------------------
// Building the trees

QByteArray expand(const Workspace &workspace, QByteArray text)
{
    return text.replace('@', QFile::encodeName(workspace.path()));
}

QString expand(const Workspace &workspace, QString text)
{
    return text.replace(QLatin1Char('@'), workspace.path());
}

bool makeSocket(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (size_t(name.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const int handle = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (handle < 0)
        return false;
    const bool bound = ::bind(handle, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(handle); // the socket's entry stays in the folder
    return bound;
}

// Sets the time of the last change (and of the last access) of a file.
bool setModificationTime(const QString &path, const QDateTime &time);

// One entry of a tree, relative to the working folder:
//   "dir/"               a folder
//   "name"               a file
//   "young:name"         a file made 40 days after the others (only under Windows: Wine takes
//                        the modification time for the creation time)
//   "fifo:name"          a named pipe
//   "socket:name"        a socket
//   "link:name>target"   a symbolic link ("@" in the target: the working folder)
bool build(const Workspace &workspace, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const int colon = entry.indexOf(QLatin1Char(':'));
        const QString kind = colon < 0 ? QString() : entry.left(colon);
        const QString rest = entry.mid(colon + 1);
        if (kind.isEmpty() && entry.endsWith(QLatin1Char('/'))) {
            workspace.makeFolder(entry);
            if (!QFileInfo(workspace.pathOf(entry)).isDir())
                return false;
            continue;
        }
        if (kind.isEmpty()) {
            workspace.writeFile(entry, "x\n");
            if (!QFileInfo(workspace.pathOf(entry)).isFile())
                return false;
            continue;
        }
        if (kind == QLatin1String("young")) {
            workspace.writeFile(rest, "x\n");
            if (!setModificationTime(workspace.pathOf(rest),
                                     QDateTime::currentDateTimeUtc().addDays(40)))
                return false;
            continue;
        }
        QString name = rest;
        QString target;
        if (kind == QLatin1String("link")) {
            name = rest.section(QLatin1Char('>'), 0, 0);
            target = expand(workspace, rest.section(QLatin1Char('>'), 1));
        }
        const QString full = workspace.pathOf(name);
        QDir().mkpath(QFileInfo(full).path());
        const QByteArray encoded = QFile::encodeName(full);
        bool made = false;
        if (kind == QLatin1String("fifo"))
            made = ::mkfifo(encoded.constData(), 0666) == 0;
        else if (kind == QLatin1String("socket"))
            made = makeSocket(full);
        else if (kind == QLatin1String("link"))
            made = ::symlink(QFile::encodeName(target).constData(), encoded.constData()) == 0;
        if (!made) {
            qWarning("could not make %s: %s", qPrintable(entry), std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool setModificationTime(const QString &path, const QDateTime &time)
{
    const qint64 seconds = time.toSecsSinceEpoch();
    struct timespec times[2];
    times[0].tv_sec = time_t(seconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

// "day+N hh:mm:ss" becomes the absolute time N days from today (UTC); anything else is handed
// to faketime as it stands.
QString resolveFakeTime(const QString &fakeTime)
{
    if (!fakeTime.startsWith(QLatin1String("day")))
        return fakeTime;
    const QString days = fakeTime.mid(3).section(QLatin1Char(' '), 0, 0);
    return fakeTimeAt(days.toInt(), fakeTime.section(QLatin1Char(' '), 1));
}

RunOptions at(const QString &fakeTime)
{
    RunOptions options;
    options.fakeTime = resolveFakeTime(fakeTime);
    return options;
}

// Why a tree or its jobs cannot mean under Windows what they mean here, or the other way round;
// empty when they can.
QString notTheSameOnWindows(const QStringList &tree, const QByteArray &jobs)
{
    const bool young = !tree.filter(QRegularExpression(QStringLiteral("^young:"))).isEmpty();
    if (young && !underWindows())
        return QStringLiteral("a file is made young only where its creation time can be set");
    if (!underWindows())
        return QString();
    if (!tree.filter(QRegularExpression(QStringLiteral("^(fifo|socket|link):"))).isEmpty())
        return QStringLiteral("Windows folders hold no FIFOs or sockets, and Wine shows a "
                              "symbolic link as what it points to");
    if (jobs.contains("/\t"))
        return QStringLiteral("a root's last backslash is taken off: Windows paths may end in one");
    return QString();
}

// Every path in the list exists (or, with exist false, none does); names the first that fails.
QString firstMismatch(const Workspace &workspace, const QStringList &paths, bool exist)
{
    for (const QString &path : paths) {
        if (workspace.exists(path) != exist)
            return path;
    }
    return QString();
}
} // namespace

class SweepTest : public QObject
{
    Q_OBJECT

  private slots:
    void age_data();
    void age();
    void sweep_data();
    void sweep();
    void refusedRemoval_data();
    void refusedRemoval();
    void ownFiles_data();
    void ownFiles();
    void faultyJobs_data();
    void faultyJobs();
    void unreadableFolder();
};

// ---------------------------------------------------------------------------------------------
// Age: whole calendar days from the creation date to the date of the run, a hit when at least
// the retention period; the time of the last change plays no part.

void SweepTest::age_data()
{
    QTest::addColumn<QString>("fakeTime");
    QTest::addColumn<int>("period");
    QTest::addColumn<int>("modifiedDaysFromNow"); // 0: left as made
    QTest::addColumn<int>("expectedAge");         // -1: no hit

    QTest::newRow("age equal to the period is a hit") << "+30d" << 30 << 0 << 30;
    QTest::newRow("one day younger than the period is no hit") << "+30d" << 31 << 0 << -1;
    QTest::newRow("older than the period") << "+40d" << 30 << 0 << 40;
    QTest::newRow("longest period, reached") << "+365d" << 365 << 0 << 365;
    QTest::newRow("longest period, one day short") << "+364d" << 365 << 0 << -1;
    QTest::newRow("one day: made today, run tomorrow 00:01") << "day+1 00:01:00" << 1 << 0 << 1;
    QTest::newRow("one day: made today, run today 23:59") << "day+0 23:59:00" << 1 << 0 << -1;
    QTest::newRow("two days: made today, run tomorrow 00:01") << "day+1 00:01:00" << 2 << 0 << -1;
    QTest::newRow("one day: made today, run tomorrow 23:59") << "day+1 23:59:00" << 1 << 0 << 1;
    QTest::newRow("made after the run's date: negative age") << "-5d" << 1 << 0 << -1;
    QTest::newRow("made today, run today") << "" << 1 << 0 << -1;
    QTest::newRow("old modification time on a new file") << "" << 30 << -60 << -1;
    QTest::newRow("old modification time, run 29 days on") << "+29d" << 30 << -60 << -1;
    QTest::newRow("modified on the day of the run, made 40 days before")
        << "+40d" << 30 << 40 << 40;
    QTest::newRow("modified after the run's date, made 40 days before")
        << "+40d" << 30 << 400 << 40;
}

void SweepTest::age()
{
    QFETCH(QString, fakeTime);
    QFETCH(int, period);
    QFETCH(int, modifiedDaysFromNow);
    QFETCH(int, expectedAge);
    if (modifiedDaysFromNow != 0 && underWindows())
        QSKIP("Wine takes the modification time for the creation time (NTFS keeps its own)");

    Workspace workspace;
    QVERIFY(workspace.isValid());
    QVERIFY(build(workspace, {QStringLiteral("t/a.log"), QStringLiteral("t/b.txt")}));
    if (modifiedDaysFromNow != 0) {
        const QDateTime modified = QDateTime::currentDateTimeUtc().addDays(modifiedDaysFromNow);
        QVERIFY(setModificationTime(workspace.pathOf(QStringLiteral("t/a.log")), modified));
        QCOMPARE(QFileInfo(workspace.pathOf(QStringLiteral("t/a.log")))
                     .lastModified()
                     .toSecsSinceEpoch(),
                 modified.toSecsSinceEpoch());
    }
    workspace.writeJobFile(expand(workspace, "@/t\t*.log\t" + QByteArray::number(period) + '\n'));

    // The log's header shows the moved clock.
    const RunResult result = workspace.run(at(fakeTime));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    const bool isHit = expectedAge >= 0;
    QByteArray console = announced("@/t");
    QByteArray log;
    if (isHit) {
        console += hit("a.log", expectedAge);
        log += removedEntry("@/t/a.log", expectedAge);
    }
    QCOMPARE(result.console, asWritten(expand(workspace, console + end(isHit ? 1 : 0))));
    QCOMPARE(result.log, result.expectedLog(expand(workspace, log + logTotal(isHit ? 1 : 0))));
    QCOMPARE(workspace.exists(QStringLiteral("t/a.log")), !isHit);
    QVERIFY(workspace.exists(QStringLiteral("t/b.txt")));
}

// ---------------------------------------------------------------------------------------------
// The walk: which entries are tested, in which order, and the paths shown for them. Every row
// runs 40 days after its files were made.

void SweepTest::sweep_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QByteArray>("jobs");
    // Up to the closing prompt. A row that expects entries named as passed over runs with -v.
    QTest::addColumn<QByteArray>("console");
    QTest::addColumn<QByteArray>("log"); // the block after its header
    QTest::addColumn<QStringList>("gone");
    QTest::addColumn<QStringList>("kept");

    const QByteArray root("@/t");

    QTest::newRow("pattern in lower case, name in upper case")
        << strings({"t/Bericht.LOG"}) << QByteArray("@/t\t*.log\t30\n")
        << announced(root) + hit("Bericht.LOG", 40) + total(1)
        << removedEntry("@/t/Bericht.LOG", 40) + logTotal(1) << strings({"t/Bericht.LOG"})
        << strings({"t"});

    QTest::newRow("pattern in upper case, name in lower case")
        << strings({"t/x.log"}) << QByteArray("@/t\t*.LOG\t30\n")
        << announced(root) + hit("x.log", 40) + total(1)
        << removedEntry("@/t/x.log", 40) + logTotal(1) << strings({"t/x.log"}) << strings({});

    QTest::newRow("pattern in mixed case")
        << strings({"t/a.lOG", "t/b.txt"}) << QByteArray("@/t\t*.Log\t30\n")
        << announced(root) + hit("a.lOG", 40) + total(1)
        << removedEntry("@/t/a.lOG", 40) + logTotal(1) << strings({"t/a.lOG"})
        << strings({"t/b.txt"});

    QTest::newRow("pattern matches the whole name only")
        << strings({"t/x.log.bak", "t/xlog", "t/a.logx", "t/log", "t/x.lo", "t/x.log"})
        << QByteArray("@/t\t*.log\t30\n") << announced(root) + hit("x.log", 40) + total(1)
        << removedEntry("@/t/x.log", 40) + logTotal(1) << strings({"t/x.log"})
        << strings({"t/x.log.bak", "t/xlog", "t/a.logx", "t/log", "t/x.lo"});

    QTest::newRow("any extension: names with a full stop only")
        << strings({"t/ohne", "t/mit.punkt", "t/u/a.b.c"}) << QByteArray("@/t\t*.*\t30\n")
        << announced(root) + hit("mit.punkt", 40) + hit("a.b.c", 40) + total(2)
        << removedEntry("@/t/mit.punkt", 40) + removedEntry("@/t/u/a.b.c", 40) + logTotal(2)
        << strings({"t/mit.punkt", "t/u/a.b.c"}) << strings({"t/ohne", "t/u"});

    QTest::newRow("two patterns, hits in name order")
        << strings({"t/b.log", "t/a.tmp", "t/c.txt", "t/d.TMP"})
        << QByteArray("@/t\t*.log;*.tmp\t30\n")
        << announced(root) + hit("a.tmp", 40) + hit("b.log", 40) + hit("d.TMP", 40) + total(3)
        << removedEntry("@/t/a.tmp", 40) + removedEntry("@/t/b.log", 40) +
               removedEntry("@/t/d.TMP", 40) + logTotal(3)
        << strings({"t/a.tmp", "t/b.log", "t/d.TMP"}) << strings({"t/c.txt"});

    QTest::newRow("folder whose name matches: entered, not removed")
        << strings({"t/archiv.log/innen.log", "t/archiv.log/innen.txt", "t/archiv.log/leer.log/"})
        << QByteArray("@/t\t*.log\t30\n") << announced(root) + hit("innen.log", 40) + total(1)
        << removedEntry("@/t/archiv.log/innen.log", 40) + logTotal(1)
        << strings({"t/archiv.log/innen.log"})
        << strings({"t/archiv.log", "t/archiv.log/innen.txt", "t/archiv.log/leer.log"});

    QTest::newRow("names with a blank and umlauts")
        << strings({"t/mit blank.log", "t/Größe.log"}) << QByteArray("@/t\t*.log\t30\n")
        << announced(root) + hit("Größe.log", 40) + hit("mit blank.log", 40) + total(2)
        << removedEntry("@/t/Größe.log", 40) + removedEntry("@/t/mit blank.log", 40) + logTotal(2)
        << strings({"t/mit blank.log", "t/Größe.log"}) << strings({});

    // Under Windows the console and the log show them in the ANSI code page, with '?' for what it
    // cannot show; the files go by their real names, never by those: the system's best fit would
    // take "Ābc.log" for "Abc.log", a file made after the others that must stay.
    QTest::newRow("names outside the ANSI code page removed by their real names")
        << strings({"t/Отчёт.log", "t/Ābc.log", "t/naïve.log", "young:t/Abc.log"})
        << QByteArray("@/t\t*.log\t30\n")
        << announced(root) + hit("naïve.log", 40) + hit("Ābc.log", 40) + hit("Отчёт.log", 40) +
               total(3)
        << removedEntry("@/t/naïve.log", 40) + removedEntry("@/t/Ābc.log", 40) +
               removedEntry("@/t/Отчёт.log", 40) + logTotal(3)
        << strings({"t/Отчёт.log", "t/Ābc.log", "t/naïve.log"}) << strings({"t/Abc.log"});

    QTest::newRow("hidden files and folders untouched")
        << strings({"t/.alt.log", "t/.versteckt/alt.log", "t/.versteckt/tief/alt.log",
                    "t/.x.log/alt.log", "t/u/.alt.log", "t/sichtbar.log"})
        << QByteArray("@/t\t*.log\t30\n") << announced(root) + hit("sichtbar.log", 40) + total(1)
        << removedEntry("@/t/sichtbar.log", 40) + logTotal(1) << strings({"t/sichtbar.log"})
        << strings({"t/.alt.log", "t/.versteckt/alt.log", "t/.versteckt/tief/alt.log",
                    "t/.x.log/alt.log", "t/u/.alt.log"});

    // Each folder's listing names what it passes over before the folder's hits; a folder that
    // holds nothing else names it where the walk goes on.
    QTest::newRow("hidden files and folders named with -v")
        << strings({"t/.alt.log", "t/.versteckt/alt.log", "t/.x.log/alt.log", "t/u/.alt.log",
                    "t/sichtbar.log"})
        << QByteArray("@/t\t*.log\t30\n")
        << announced(root) + passedOver("@/t/.alt.log", Why::Hidden) +
               passedOver("@/t/.versteckt", Why::Hidden) + passedOver("@/t/.x.log", Why::Hidden) +
               hit("sichtbar.log", 40) + passedOver("@/t/u/.alt.log", Why::Hidden) + total(1)
        << removedEntry("@/t/sichtbar.log", 40) + logTotal(1) << strings({"t/sichtbar.log"})
        << strings({"t/.alt.log", "t/.versteckt/alt.log", "t/.x.log/alt.log", "t/u/.alt.log"});

    QTest::newRow("pipe, socket and broken link untouched")
        << strings({"fifo:t/x.log", "socket:t/s.log", "link:t/kaputt.log>nirgends.log",
                    "t/echt.log", "fifo:t/u/y.log"})
        << QByteArray("@/t\t*.log\t30\n") << announced(root) + hit("echt.log", 40) + total(1)
        << removedEntry("@/t/echt.log", 40) + logTotal(1) << strings({"t/echt.log"})
        << strings({"t/x.log", "t/s.log", "t/kaputt.log", "t/u/y.log"});

    QTest::newRow("links to a pipe or a device untouched")
        << strings({"fifo:draussen/f", "link:t/p.log>../draussen/f", "link:t/n.log>/dev/null"})
        << QByteArray("@/t\t*.log\t30\n") << announced(root) + total(0) << logTotal(0)
        << strings({}) << strings({"t/p.log", "t/n.log", "draussen/f"});

    // Only ASCII letters fold: the Kelvin sign is no "k", the long s no "s".
    QTest::newRow("case folding of ASCII letters only")
        << strings({"t/x.\u212A", "t/y.\u017F", "t/z.K"}) << QByteArray("@/t\t*.k;*.s\t30\n")
        << announced(root) + hit("z.K", 40) + total(1) << removedEntry("@/t/z.K", 40) + logTotal(1)
        << strings({"t/z.K"}) << strings({"t/x.\u212A", "t/y.\u017F"});

    QTest::newRow("links to folders not followed")
        << strings({"draussen/alt.log", "draussen/innen/alt.log", "t/", "link:t/zeiger>../draussen",
                    "link:t/ordner.log>../draussen", "link:t/absolut>@/draussen"})
        << QByteArray("@/t\t*.log\t30\n") << announced(root) + total(0) << logTotal(0)
        << strings({})
        << strings({"draussen/alt.log", "draussen/innen/alt.log", "t/zeiger", "t/ordner.log",
                    "t/absolut"});

    QTest::newRow("links to folders named with -v")
        << strings({"draussen/alt.log", "t/", "link:t/zeiger>../draussen",
                    "link:t/ordner.log>../draussen", "link:t/absolut>@/draussen", "t/b.log"})
        << QByteArray("@/t\t*.log\t30\n")
        << announced(root) + passedOver("@/t/absolut", Why::LinkToFolder) +
               passedOver("@/t/ordner.log", Why::LinkToFolder) +
               passedOver("@/t/zeiger", Why::LinkToFolder) + hit("b.log", 40) + total(1)
        << removedEntry("@/t/b.log", 40) + logTotal(1) << strings({"t/b.log"})
        << strings({"draussen/alt.log", "t/zeiger", "t/ordner.log", "t/absolut"});

    QTest::newRow("links to files removed as links, targets stay")
        << strings({"draussen/ziel.log", "t/ziel.dat", "link:t/verweis.log>../draussen/ziel.log",
                    "link:t/v2.log>ziel.dat", "link:t/ohne.txt>ziel.dat"})
        << QByteArray("@/t\t*.log\t30\n")
        << announced(root) + hit("v2.log", 40) + hit("verweis.log", 40) + total(2)
        << removedEntry("@/t/v2.log", 40) + removedEntry("@/t/verweis.log", 40) + logTotal(2)
        << strings({"t/v2.log", "t/verweis.log"})
        << strings({"draussen/ziel.log", "t/ziel.dat", "t/ohne.txt"});

    // The files ahead of a link are dealt with before the link is judged: here its target.
    QTest::newRow("link to a file removed just before it left alone")
        << strings({"t/a.log", "link:t/b.log>a.log"}) << QByteArray("@/t\t*.log\t30\n")
        << announced(root) + hit("a.log", 40) + total(1)
        << removedEntry("@/t/a.log", 40) + logTotal(1) << strings({"t/a.log"})
        << strings({"t/b.log"});

    // Name order without regard to case differs from the order of the bytes at every level.
    QTest::newRow("order: each folder's hits, then its subfolders, by name ignoring case")
        << strings({"t/b.log", "t/C.log", "t/a.log", "t/a/zz.log", "t/a/m/x.log", "t/a/Z/g.log",
                    "t/a/y/h.log", "t/B/i.log", "t/B/c/j.log"})
        << QByteArray("@/t\t*.log\t30\n")
        << announced(root) + hit("a.log", 40) + hit("b.log", 40) + hit("C.log", 40) +
               hit("zz.log", 40) + hit("x.log", 40) + hit("h.log", 40) + hit("g.log", 40) +
               hit("i.log", 40) + hit("j.log", 40) + total(9)
        << removedEntry("@/t/a.log", 40) + removedEntry("@/t/b.log", 40) +
               removedEntry("@/t/C.log", 40) + removedEntry("@/t/a/zz.log", 40) +
               removedEntry("@/t/a/m/x.log", 40) + removedEntry("@/t/a/y/h.log", 40) +
               removedEntry("@/t/a/Z/g.log", 40) + removedEntry("@/t/B/i.log", 40) +
               removedEntry("@/t/B/c/j.log", 40) + logTotal(9)
        << strings({"t/a.log", "t/b.log", "t/C.log", "t/a/zz.log", "t/a/m/x.log", "t/a/y/h.log",
                    "t/a/Z/g.log", "t/B/i.log", "t/B/c/j.log"})
        << strings({"t/a/m", "t/a/Z", "t/B/c"});

    QTest::newRow("two jobs on one root: the second finds only its own")
        << strings({"t/a.log", "t/b.tmp", "t/u/c.log"})
        << QByteArray("@/t\t*.log\t30\n@/t\t*.log;*.tmp\t30\n")
        << announced(root) + hit("a.log", 40) + hit("c.log", 40) + announced(root) +
               hit("b.tmp", 40) + total(3)
        << removedEntry("@/t/a.log", 40) + removedEntry("@/t/u/c.log", 40) +
               removedEntry("@/t/b.tmp", 40) + logTotal(3)
        << strings({"t/a.log", "t/b.tmp", "t/u/c.log"}) << strings({"t/u"});

    QTest::newRow("the same job twice: the second sweep finds nothing")
        << strings({"t/a.log"}) << QByteArray("@/t\t*.log\t30\n@/t\t*.log\t30\n")
        << announced(root) + hit("a.log", 40) + announced(root) + total(1)
        << removedEntry("@/t/a.log", 40) + logTotal(1) << strings({"t/a.log"}) << strings({});

    QTest::newRow("root ending in a separator: doubled separator in paths")
        << strings({"t/a.log", "t/u/b.log"}) << QByteArray("@/t/\t*.log\t30\n")
        << announced("@/t/") + hit("a.log", 40) + hit("b.log", 40) + total(2)
        << removedEntry("@/t//a.log", 40) + removedEntry("@/t//u/b.log", 40) + logTotal(2)
        << strings({"t/a.log", "t/u/b.log"}) << strings({});

    QTest::newRow("root relative to the working folder")
        << strings({"t/a.log", "t/u/b.log"}) << QByteArray("t\t*.log\t30\n")
        << announced("t") + hit("a.log", 40) + hit("b.log", 40) + total(2)
        << removedEntry("t/a.log", 40) + removedEntry("t/u/b.log", 40) + logTotal(2)
        << strings({"t/a.log", "t/u/b.log"}) << strings({});

    QTest::newRow("empty tree: nothing written")
        << strings({"t/", "t/u/v/"}) << QByteArray("@/t\t*.log\t30\n") << announced(root) + total(0)
        << logTotal(0) << strings({}) << strings({"t/u/v"});

    QTest::newRow("no matching name: nothing written")
        << strings({"t/a.txt", "t/u/b.tmp"}) << QByteArray("@/t\t*.log\t30\n")
        << announced(root) + total(0) << logTotal(0) << strings({})
        << strings({"t/a.txt", "t/u/b.tmp"});
}

void SweepTest::sweep()
{
    QFETCH(QStringList, tree);
    QFETCH(QByteArray, jobs);
    QFETCH(QByteArray, console);
    QFETCH(QByteArray, log);
    QFETCH(QStringList, gone);
    QFETCH(QStringList, kept);
    const QString notTheSame = notTheSameOnWindows(tree, jobs);
    if (!notTheSame.isEmpty())
        QSKIP(qPrintable(notTheSame));

    Workspace workspace;
    QVERIFY(workspace.isValid());
    QVERIFY(build(workspace, tree));
    workspace.writeJobFile(expand(workspace, jobs));

    RunOptions options = at(QStringLiteral("+40d"));
    if (namesPassedOver(console))
        options.arguments << QStringLiteral("-v");
    const RunResult result = workspace.run(options);
    QVERIFY2(result.finished, "the run hangs");
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console, asWritten(expand(workspace, console) + prompt()));
    QCOMPARE(result.log, result.expectedLog(expand(workspace, log)));
    QCOMPARE(firstMismatch(workspace, gone, false), QString());
    QCOMPARE(firstMismatch(workspace, kept, true), QString());
}

// ---------------------------------------------------------------------------------------------
// A file the system refuses to delete: reported with its full path on the console and in the
// log, counted, and the run goes on.

void SweepTest::refusedRemoval_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QString>("locked");
    QTest::addColumn<bool>("needsImmutable"); // the next file stands in the same folder
    QTest::addColumn<QByteArray>("console");
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<QStringList>("gone");

    // Spelled out in full once, message by message and line by line.
    QTest::newRow("locked file, the run goes on in the next folder")
        << strings({"t/a.log", "t/g/b.log", "t/h/d.log"}) << "t/g/b.log" << false
        << QByteArray("\"Ordner: \" \"@/t\" \n"
                      "\"\" \n"
                      "\"Treffer: \" \"a.log\" \n"
                      "\"Alter in Tagen: \" 40 \n"
                      "\"Treffer: \" \"b.log\" \n"
                      "\"Alter in Tagen: \" 40 \n"
                      "\"Fehler 005: Konnte Datei \" \"@/t/g/b.log\" \" nicht löschen\" \n"
                      "\"Treffer: \" \"d.log\" \n"
                      "\"Alter in Tagen: \" 40 \n"
                      "\"\" \n"
                      "\"Treffer gesamt: \" 3 \n")
        << QByteArray("@/t/a.log\n"
                      "40 Tage\n"
                      "Fehler 005: Konnte Datei @/t/g/b.log nicht löschen\n"
                      "@/t/h/d.log\n"
                      "40 Tage\n"
                      "Treffer gesamt: 3\n")
        << strings({"t/a.log", "t/h/d.log"});

    QTest::newRow("locked file, the run goes on with the next file")
        << strings({"t/a.log", "t/b.log", "t/c.log"}) << "t/b.log" << true
        << announced("@/t") + hit("a.log", 40) + hit("b.log", 40) + refused("@/t/b.log") +
               hit("c.log", 40) + total(3)
        << removedEntry("@/t/a.log", 40) + refusedEntry("@/t/b.log") +
               removedEntry("@/t/c.log", 40) + logTotal(3)
        << strings({"t/a.log", "t/c.log"});

    QTest::newRow("locked file last: counted in the total")
        << strings({"t/a.log", "t/z/z.log"}) << "t/z/z.log" << false
        << announced("@/t") + hit("a.log", 40) + hit("z.log", 40) + refused("@/t/z/z.log") +
               total(2)
        << removedEntry("@/t/a.log", 40) + refusedEntry("@/t/z/z.log") + logTotal(2)
        << strings({"t/a.log"});
}

void SweepTest::refusedRemoval()
{
    QFETCH(QStringList, tree);
    QFETCH(QString, locked);
    QFETCH(bool, needsImmutable);
    QFETCH(QByteArray, console);
    QFETCH(QByteArray, log);
    QFETCH(QStringList, gone);

    if (needsImmutable && !runningAsRoot() && !underWindows())
        QSKIP("an ordinary user can lock a file only with its whole folder");

    Workspace workspace;
    QVERIFY(workspace.isValid());
    QVERIFY(build(workspace, tree));
    QVERIFY(workspace.lockFile(locked));
    workspace.writeJobFile(expand(workspace, QByteArray("@/t\t*.log\t30\n")));

    const RunResult result = workspace.run(at(QStringLiteral("+40d")));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console, asWritten(expand(workspace, console) + prompt()));
    QCOMPARE(result.log, result.expectedLog(expand(workspace, log)));
    QVERIFY(workspace.exists(locked));
    QCOMPARE(firstMismatch(workspace, gone, false), QString());
}

// ---------------------------------------------------------------------------------------------
// The job file and the run log lie in the swept tree and match: they stay, unreported and
// uncounted. Files of the same names elsewhere in the tree are ordinary files.

void SweepTest::ownFiles_data()
{
    QTest::addColumn<QByteArray>("jobs");
    QTest::addColumn<QByteArray>("earlierLog"); // empty: no log before the run
    QTest::addColumn<QByteArray>("console");
    QTest::addColumn<QByteArray>("log");

    const auto expected = [](const QByteArray &root) {
        return announced(root) + hit("alt.txt", 40) + hit("zeta.txt", 40) +
               hit("eingabe_kehrlund.txt", 40) + hit("log_kehrlund.txt", 40) + total(4);
    };
    const auto entries = [](const QByteArray &root) {
        return removedEntry(root + "/alt.txt", 40) + removedEntry(root + "/zeta.txt", 40) +
               removedEntry(root + "/sub/eingabe_kehrlund.txt", 40) +
               removedEntry(root + "/sub/log_kehrlund.txt", 40) + logTotal(4);
    };

    QTest::newRow("root is the working folder, as \".\"")
        << QByteArray(".\t*.txt\t30\n") << QByteArray() << expected(".") << entries(".");
    QTest::newRow("root is the working folder, as its full path")
        << QByteArray("@\t*.txt\t30\n") << QByteArray() << expected("@") << entries("@");
    QTest::newRow("root is the working folder, log from an earlier run")
        << QByteArray("@\t*.txt\t30\n") << QByteArray("fruehere Zeile\n") << expected("@")
        << entries("@");
    QTest::newRow("any extension")
        << QByteArray(".\t*.*\t30\n") << QByteArray() << expected(".") << entries(".");
}

void SweepTest::ownFiles()
{
    QFETCH(QByteArray, jobs);
    QFETCH(QByteArray, earlierLog);
    QFETCH(QByteArray, console);
    QFETCH(QByteArray, log);

    Workspace workspace;
    QVERIFY(workspace.isValid());
    QVERIFY(build(workspace, {QStringLiteral("alt.txt"), QStringLiteral("zeta.txt"),
                              QStringLiteral("sub/eingabe_kehrlund.txt"),
                              QStringLiteral("sub/log_kehrlund.txt")}));
    const QByteArray jobFile = expand(workspace, jobs);
    workspace.writeJobFile(jobFile);
    if (!earlierLog.isEmpty())
        workspace.writeFile(QStringLiteral("log_kehrlund.txt"), earlierLog);

    const RunResult result = workspace.run(at(QStringLiteral("+40d")));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console, asWritten(expand(workspace, console) + prompt()));
    QCOMPARE(result.log, result.expectedLog(expand(workspace, log), earlierLog));

    QFile kept(workspace.pathOf(QStringLiteral("eingabe_kehrlund.txt")));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), asWritten(jobFile)); // as written by Workspace::writeJobFile
    // The run writes no file of its own but the log.
    QCOMPARE(QDir(workspace.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
             strings({"eingabe_kehrlund.txt", "log_kehrlund.txt"}));
    QCOMPARE(firstMismatch(workspace,
                           strings({"alt.txt", "zeta.txt", "sub/eingabe_kehrlund.txt",
                                    "sub/log_kehrlund.txt"}),
                           false),
             QString());
}

// ---------------------------------------------------------------------------------------------
// The checks of the jobs (each rule is tested in-process in tst_units): every message, in job
// order, before the run; a faulty job is never announced and never swept.

void SweepTest::faultyJobs_data()
{
    QTest::addColumn<QByteArray>("jobs");
    QTest::addColumn<QByteArray>("console");
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<QStringList>("gone");

    const QByteArray none = total(0);
    const QByteArray noHits = logTotal(0);

    QTest::newRow("root is a file")
        << QByteArray("@/t/x.log\t*.log\t30\n") << wrongRoot() + none << noHits << strings({});
    QTest::newRow("root is missing, patterns and period wrong too")
        << QByteArray("@/fehlt\t*;*.tar.gz\t0\n") << wrongRoot() + none << noHits << strings({});
    QTest::newRow("every refused pattern in order, no period message")
        << QByteArray("@/t\t*.txt;*.tar.gz;*\t400\n")
        << wrongPattern("*.tar.gz") + wrongPattern("*") + none << noHits << strings({});
    QTest::newRow("period 0") << QByteArray("@/t\t*.log\t0\n") << wrongPeriod(0) + none << noHits
                              << strings({});
    QTest::newRow("two faulty jobs in a row")
        << QByteArray("@/t\t*\t30\n@/t\t*.log\t0\n") << wrongPattern("*") + wrongPeriod(0) + none
        << noHits << strings({});
    QTest::newRow("faulty job between good ones: only the good ones run")
        << QByteArray("@/t\t*.tmp\t365\n@/t\t*\t30\n@/t\t*.TXT\t1\n")
        << wrongPattern("*") + announced("@/t") + hit("z.tmp", 400) + announced("@/t") +
               hit("y.txt", 400) + total(2)
        << removedEntry("@/t/z.tmp", 400) + removedEntry("@/t/y.txt", 400) + logTotal(2)
        << strings({"t/z.tmp", "t/y.txt"});
    QTest::newRow("admitted forms")
        << QByteArray("@/t\t*.abcde;*.7z;*.1;*.log\t1\n")
        << announced("@/t") + hit("x.log", 400) + hit("w.log", 400) + total(2)
        << removedEntry("@/t/x.log", 400) + removedEntry("@/t/sub/w.log", 400) + logTotal(2)
        << strings({"t/x.log", "t/sub/w.log"});
}

void SweepTest::faultyJobs()
{
    QFETCH(QByteArray, jobs);
    QFETCH(QByteArray, console);
    QFETCH(QByteArray, log);
    QFETCH(QStringList, gone);

    const QStringList tree = strings({"t/x.log", "t/y.txt", "t/z.tmp", "t/sub/w.log", "t/sub/v"});
    Workspace workspace;
    QVERIFY(workspace.isValid());
    QVERIFY(build(workspace, tree));
    workspace.writeJobFile(expand(workspace, jobs));

    const RunResult result = workspace.run(at(QStringLiteral("+400d")));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console, asWritten(expand(workspace, console) + prompt()));
    QCOMPARE(result.log, result.expectedLog(expand(workspace, log)));
    QStringList kept = tree;
    for (const QString &path : gone)
        kept.removeAll(path);
    QCOMPARE(firstMismatch(workspace, gone, false), QString());
    QCOMPARE(firstMismatch(workspace, kept, true), QString());
}

// ---------------------------------------------------------------------------------------------
// A folder the program may not read is passed over without a word; the rest of the tree is
// swept. The run goes as an ordinary user, who may delete in the other folders.

void SweepTest::unreadableFolder()
{
    if (underWindows())
        QSKIP("a folder is closed to the program with Linux permissions and setpriv");
    Workspace workspace;
    QVERIFY(workspace.isValid());
    QVERIFY(build(workspace, {QStringLiteral("t/a.log"), QStringLiteral("t/m/b.log"),
                              QStringLiteral("t/z/c.log")}));
    const QFileDevice::Permissions open(0x7777);
    for (const char *folder : {"t", "t/z"})
        QVERIFY(QFile::setPermissions(workspace.pathOf(QLatin1String(folder)), open));
    const QString closed = workspace.pathOf(QStringLiteral("t/m"));
    QVERIFY(QFile::setPermissions(closed, QFileDevice::Permissions()));
    struct Reopen {
        QString path;
        ~Reopen() { QFile::setPermissions(path, QFileDevice::Permissions(0x7755)); }
    } reopen{closed};
    workspace.writeJobFile(expand(workspace, QByteArray("@/t\t*.log\t30\n")));

    RunOptions options = at(QStringLiteral("+40d"));
    options.unprivileged = true;
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console, expand(workspace, announced("@/t") + hit("a.log", 40) +
                                                   hit("c.log", 40) + total(2) + prompt()));
    QCOMPARE(result.log, result.expectedLog(expand(workspace, removedEntry("@/t/a.log", 40) +
                                                                  removedEntry("@/t/z/c.log", 40) +
                                                                  logTotal(2))));
    QVERIFY(!workspace.exists(QStringLiteral("t/a.log")));
    QVERIFY(!workspace.exists(QStringLiteral("t/z/c.log")));
    QFile::setPermissions(closed, QFileDevice::Permissions(0x7755));
    QVERIFY(workspace.exists(QStringLiteral("t/m/b.log")));
}

QTEST_GUILESS_MAIN(SweepTest)
#include "tst_sweep.moc"
