// Hostile trees and hostile job files: names that break lines or are no valid text, trees deeper
// than the system's path limit, huge folders, folders the program may not read, odd entries, and
// job files made of any bytes or of no regular file at all. Last, one full run under memcheck.
#include "harness.h"

#include <QStandardPaths>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace expect;

namespace
{
QByteArray jobLine(const QByteArray &root, const QByteArray &patterns = "*.log")
{
    return root + '\t' + patterns + "\t30\n";
}

// The console of a run with one job over `root` whose hits are all 40 days old, after whatever
// reading and checking the job file printed.
QByteArray runConsole(const QByteArray &root, const QList<QByteArray> &hitNames,
                      const QByteArray &before = QByteArray())
{
    QByteArray console = before + announced(root);
    for (const QByteArray &name : hitNames)
        console += hit(name, 40);
    return console + end(hitNames.size());
}

// The log block of a run without its header: two lines per removed file, then the total.
QByteArray logEntries(const QList<QByteArray> &paths)
{
    QByteArray entries;
    for (const QByteArray &path : paths)
        entries += removedEntry(path, 40);
    return entries + logTotal(paths.size());
}

QByteArray lastComponent(const QByteArray &path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

bool rawExists(const QByteArray &path)
{
    struct stat status;
    return ::lstat(path.constData(), &status) == 0;
}

// Makes a file under `base` by a relative path of raw bytes, with the folders on the way.
bool makeRawFile(const QByteArray &base, const QByteArray &relative)
{
    const QList<QByteArray> parts = relative.split('/');
    QByteArray path = base;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        path += '/' + parts.at(i);
        if (::mkdir(path.constData(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    path += '/' + parts.last();
    const int handle = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (handle < 0)
        return false;
    ::close(handle);
    return true;
}

bool createAt(int folder, const char *name)
{
    const int handle = ::openat(folder, name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (handle < 0)
        return false;
    ::close(handle);
    return true;
}

// Goes one folder down from `folder` (which it closes), making the subfolder first.
int descend(int folder, const char *name)
{
    if (::mkdirat(folder, name, 0755) != 0 && errno != EEXIST)
        return -1;
    const int child = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(folder);
    return child;
}

// Gives a folder the mode it had back when the test ends, so that the workspace can go.
struct ModeRestorer {
    QByteArray path;
    ~ModeRestorer() { ::chmod(path.constData(), 0755); }
};
} // namespace

class HostileTest : public QObject
{
    Q_OBJECT

  private slots:
    void hostileNames_data();
    void hostileNames();
    void oddEntries();
    void treeDeeperThanThePathLimit();
    void backUpAfterDescendingAgain();
    void folderOfHundredThousandEntries();
    void unreadableFolder_data();
    void unreadableFolder();
    void jobFileOfAnyBytes_data();
    void jobFileOfAnyBytes();
    void jobFileOfAnotherKind_data();
    void jobFileOfAnotherKind();
    void fullRunUnderMemcheck();
};

void HostileTest::hostileNames_data()
{
    // Every file is old and matches, and each row ends with "zz.log" (or has it in its place in
    // name order) to show that the run goes on. `files` are made under the job's root by raw
    // bytes; `shown` are the log's paths below the root, in the order of the walk, as UTF-8.
    // Where a row holds a file whose name shows like another one's, a walk that removed by the
    // shown name would delete the wrong file and leave the right one: every file must go, each
    // with its own entry.
    QTest::addColumn<QList<QByteArray>>("files");
    QTest::addColumn<QList<QByteArray>>("shown");

    const QByteArray replacement = "\xEF\xBF\xBD"; // U+FFFD
    QTest::newRow("line feed") << QList<QByteArray>{"a\nb.log", "a" + replacement + "b.log",
                                                    "zz.log"}
                               << QList<QByteArray>{"a" + replacement + "b.log",
                                                    "a" + replacement + "b.log", "zz.log"};
    QTest::newRow("carriage return")
        << QList<QByteArray>{"a\rb.log", "a" + replacement + "b.log", "zz.log"}
        << QList<QByteArray>{"a" + replacement + "b.log", "a" + replacement + "b.log", "zz.log"};
    QTest::newRow("line breaks forging log entries")
        << QList<QByteArray>{"a.log\n40 Tage\nTreffer gesamt: 99\n.log", "zz.log"}
        << QList<QByteArray>{"a.log" + replacement + "40 Tage" + replacement +
                                 "Treffer gesamt: 99" + replacement + ".log",
                             "zz.log"};
    QTest::newRow("folder with a line feed")
        << QList<QByteArray>{"x\ny/a.log", "x" + replacement + "y/a.log", "zz.log"}
        << QList<QByteArray>{"zz.log", "x" + replacement + "y/a.log",
                             "x" + replacement + "y/a.log"};
    // Terminal sequences and other controls, the C1 controls and the Unicode line breaks.
    QTest::newRow("escape sequence")
        << QList<QByteArray>{"\x1b[2J\x1b]0;x\x07.log", "zz.log"}
        << QList<QByteArray>{"zz.log",
                             replacement + "[2J" + replacement + "]0;x" + replacement + ".log"};
    QTest::newRow("C0 controls and DEL")
        << QList<QByteArray>{"a\x01\x08\x0b\x0c\x1f\x7f.log", "zz.log"}
        << QList<QByteArray>{"a" + replacement.repeated(6) + ".log", "zz.log"};
    QTest::newRow("C1 controls") << QList<QByteArray>{"a\xC2\x85\xC2\x9B.log", "zz.log"}
                                 << QList<QByteArray>{"a" + replacement + replacement + ".log",
                                                      "zz.log"};
    QTest::newRow("line and paragraph separators")
        << QList<QByteArray>{"a\xE2\x80\xA8"
                             "b\xE2\x80\xA9.log",
                             "zz.log"}
        << QList<QByteArray>{"a" + replacement + "b" + replacement + ".log", "zz.log"};
    QTest::newRow("tab") << QList<QByteArray>{"a\tb.log", "zz.log"}
                         << QList<QByteArray>{"a\tb.log", "zz.log"};
    // The backslash is the separator where the program came from; here it is part of the name
    // and must not lead into the folder "a".
    QTest::newRow("backslash") << QList<QByteArray>{"a\\b.log", "a/b.log", "zz.log"}
                               << QList<QByteArray>{"a\\b.log", "zz.log", "a/b.log"};
    QTest::newRow("double quote") << QList<QByteArray>{"sag \"hallo\".log", "zz.log"}
                                  << QList<QByteArray>{"sag \"hallo\".log", "zz.log"};
    QTest::newRow("leading dash") << QList<QByteArray>{"-rf.log", "--help.log", "zz.log"}
                                  << QList<QByteArray>{"--help.log", "-rf.log", "zz.log"};
    QTest::newRow("format directives")
        << QList<QByteArray>{"%s%n%x.log", "zz.log"} << QList<QByteArray>{"%s%n%x.log", "zz.log"};
    const QByteArray longest = QByteArray(251, 'x') + ".log";
    QTest::newRow("255 bytes") << QList<QByteArray>{longest, "zz.log"}
                               << QList<QByteArray>{longest, "zz.log"};
    QByteArray longestUmlauts;
    for (int i = 0; i < 125; ++i)
        longestUmlauts += "\xC3\xA4"; // ä
    longestUmlauts += "x.log";
    // In name order "z" comes before "ä".
    QTest::newRow("255 bytes of umlauts") << QList<QByteArray>{longestUmlauts, "zz.log"}
                                          << QList<QByteArray>{"zz.log", longestUmlauts};
    // Bytes that are no UTF-8 show as one U+FFFD each, so these three names show alike (and
    // come after "zz.log" in name order).
    QTest::newRow("invalid UTF-8")
        << QList<QByteArray>{"\xFF\xFE.log", "\xFE\xFF.log", replacement + replacement + ".log",
                             "zz.log"}
        << QList<QByteArray>{"zz.log", replacement + replacement + ".log",
                             replacement + replacement + ".log",
                             replacement + replacement + ".log"};
    QTest::newRow("truncated UTF-8 sequence")
        << QList<QByteArray>{"caf\xC3.log", "caf\xC3\xA9.log", "zz.log"}
        << QList<QByteArray>{"caf\xC3\xA9.log", "caf" + replacement + ".log", "zz.log"};
}

void HostileTest::hostileNames()
{
    QFETCH(QList<QByteArray>, files);
    QFETCH(QList<QByteArray>, shown);
#ifdef KEHRLUND_WALK_BY_PATHS
    if (QByteArray(QTest::currentDataTag()).contains("UTF-8"))
        QSKIP("this build reaches files through Qt's paths, which cannot name bytes that are no "
              "valid UTF-8");
#endif

    Workspace workspace;
    // Names that are no valid text are beyond Qt's removal of the workspace.
    const TreeRemover remover{workspace.pathOf(QStringLiteral("tree"))};
    const QByteArray root = workspace.pathOf(QStringLiteral("tree")).toUtf8();
    workspace.makeFolder(QStringLiteral("tree"));
    for (const QByteArray &file : files)
        QVERIFY2(makeRawFile(root, file), file.constData());
    workspace.writeJobFile(jobLine(root));

    RunOptions options;
    options.fakeTime = QStringLiteral("+40d");
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);

    QList<QByteArray> names;
    QList<QByteArray> paths;
    for (const QByteArray &path : shown) {
        names.append(lastComponent(path));
        paths.append(root + '/' + path);
    }
    QCOMPARE(result.console, runConsole(root, names));
    QCOMPARE(result.log, result.expectedLog(logEntries(paths)));
    for (const QByteArray &file : files)
        QVERIFY2(!rawExists(root + '/' + file), file.constData());
}

// Entries that only look like files: a FIFO and a socket (never opened, so nothing blocks),
// links that lead nowhere or in a circle, a link to a folder outside (not entered), and a link
// to an old file outside, which goes as a link while its target stays.
void HostileTest::oddEntries()
{
    Workspace workspace;
    const QByteArray root = workspace.pathOf(QStringLiteral("tree")).toUtf8();
    const QByteArray outside = workspace.pathOf(QStringLiteral("outside")).toUtf8();
    workspace.writeFile(QStringLiteral("outside/ziel.log"), "stays\n");
    workspace.writeFile(QStringLiteral("outside/innen.log"), "stays\n");
    workspace.writeFile(QStringLiteral("tree/alt.log"));
    QCOMPARE(::mkfifo(root + "/fifo.log", 0644), 0);
    const int socketHandle = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(socketHandle >= 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray socketPath = root + "/sockel.log";
    QVERIFY(size_t(socketPath.size()) < sizeof(address.sun_path));
    qstrcpy(address.sun_path, socketPath.constData());
    QCOMPARE(::bind(socketHandle, reinterpret_cast<const sockaddr *>(&address), sizeof(address)),
             0);
    ::close(socketHandle);
    QCOMPARE(::symlink("nirgends.log", root + "/tot.log"), 0);
    QCOMPARE(::symlink("schleife.log", root + "/schleife.log"), 0);
    QCOMPARE(::symlink(outside.constData(), root + "/ordner.log"), 0);
    QCOMPARE(::symlink(outside + "/ziel.log", root + "/verweis.log"), 0);
    workspace.writeJobFile(jobLine(root));

    RunOptions options;
    options.fakeTime = QStringLiteral("+40d");
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console, runConsole(root, {"alt.log", "verweis.log"}));
    QCOMPARE(result.log,
             result.expectedLog(logEntries({root + "/alt.log", root + "/verweis.log"})));
    for (const char *stays :
         {"/fifo.log", "/sockel.log", "/tot.log", "/schleife.log", "/ordner.log"})
        QVERIFY2(rawExists(root + stays), stays);
    QVERIFY(!rawExists(root + "/verweis.log"));
    QVERIFY(rawExists(outside + "/ziel.log"));
    QVERIFY(rawExists(outside + "/innen.log"));
}

// A tree 2,001 folders deep, its paths some 10,000 bytes long (more than the system's limit
// for one path): the walk has no such limit and no recursion to run out of stack. It must come
// back up the whole way: the folder "b" halfway down and the folder "z" beside the top are
// swept after the deepest one. A link to a folder outside, deep down, is not followed.
void HostileTest::treeDeeperThanThePathLimit()
{
#ifdef KEHRLUND_WALK_BY_PATHS
    QSKIP("this build walks folders by path, bounded by the system's path limit");
#endif
    Workspace workspace;
    const TreeRemover remover{workspace.pathOf(QStringLiteral("tree"))};
    const QByteArray root = workspace.pathOf(QStringLiteral("tree")).toUtf8();
    const QByteArray outside = workspace.pathOf(QStringLiteral("outside")).toUtf8();
    workspace.writeFile(QStringLiteral("outside/geheim.log"), "stays\n");
    workspace.writeFile(QStringLiteral("tree/z/z.log"));

    int folder = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QByteArray middle = root;
    for (int level = 0; level < 1000 && folder >= 0; ++level) {
        folder = descend(folder, "tief");
        middle += "/tief";
    }
    QVERIFY(folder >= 0);
    QVERIFY(createAt(folder, "mitte.log"));
    QCOMPARE(::mkdirat(folder, "b", 0755), 0);
    const int b = ::openat(folder, "b", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QVERIFY(b >= 0);
    QVERIFY(createAt(b, "b.log"));
    ::close(b);
    folder = descend(folder, "a");
    QByteArray bottom = middle + "/a";
    for (int level = 0; level < 1000 && folder >= 0; ++level) {
        if (level == 500)
            QCOMPARE(::symlinkat(outside.constData(), folder, "aussen"), 0);
        folder = descend(folder, "tief");
        bottom += "/tief";
    }
    QVERIFY(folder >= 0);
    QVERIFY(createAt(folder, "grund.log"));
    ::close(folder);
    QVERIFY(bottom.size() > 4096 * 2);
    workspace.writeJobFile(jobLine(root));

    RunOptions options;
    options.fakeTime = QStringLiteral("+40d");
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console, runConsole(root, {"mitte.log", "grund.log", "b.log", "z.log"}));
    QCOMPARE(result.log,
             result.expectedLog(logEntries({middle + "/mitte.log", bottom + "/grund.log",
                                            middle + "/b/b.log", root + "/z/z.log"})));
    QVERIFY(rawExists(outside + "/geheim.log"));
    QVERIFY(!rawExists(root + "/z/z.log"));
}

// The walk keeps only the deepest folders open. When it has come back up into a folder deep down
// (40 folders) from a long way below (40 more) and goes down again into the next subfolder, the
// folders above must still lead back to the top, to the folder "z" beside the deep one.
void HostileTest::backUpAfterDescendingAgain()
{
    Workspace workspace;
    const QByteArray root = workspace.pathOf(QStringLiteral("tree")).toUtf8();
    QString deep = QStringLiteral("tree");
    for (int level = 0; level < 40; ++level)
        deep += QStringLiteral("/c");
    QString bottom = deep + QStringLiteral("/a");
    for (int level = 0; level < 40; ++level)
        bottom += QStringLiteral("/x");
    workspace.writeFile(bottom + QStringLiteral("/grund.log"));
    workspace.writeFile(deep + QStringLiteral("/b/b.log"));
    workspace.writeFile(QStringLiteral("tree/z/z.log"));
    workspace.writeJobFile(jobLine(root));

    RunOptions options;
    options.fakeTime = QStringLiteral("+40d");
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console, runConsole(root, {"grund.log", "b.log", "z.log"}));
    QCOMPARE(result.log, result.expectedLog(logEntries(
                             {workspace.pathOf(bottom).toUtf8() + "/grund.log",
                              workspace.pathOf(deep).toUtf8() + "/b/b.log", root + "/z/z.log"})));
}

// 100,000 entries in one folder, every fourth one a hit (some with the pattern in capitals):
// all hits go, in name order, and everything else stays.
void HostileTest::folderOfHundredThousandEntries()
{
    const int entries = 100000;
    Workspace workspace;
    const QByteArray root = workspace.pathOf(QStringLiteral("tree")).toUtf8();
    workspace.makeFolder(QStringLiteral("tree"));
    const int folder = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QVERIFY(folder >= 0);
    QList<QByteArray> hits;
    for (int i = 0; i < entries; ++i) {
        const QByteArray stem = 'e' + QByteArray::number(i).rightJustified(6, '0');
        const QByteArray name = stem + (i % 8 == 0 ? ".log" : i % 8 == 4 ? ".LOG" : ".txt");
        QVERIFY(createAt(folder, name.constData()));
        if (i % 4 == 0)
            hits.append(name);
    }
    ::close(folder);
    workspace.writeJobFile(jobLine(root));

    RunOptions options;
    options.fakeTime = QStringLiteral("+40d");
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);

    QList<QByteArray> paths;
    for (const QByteArray &name : hits)
        paths.append(root + '/' + name);
    QVERIFY(result.console == runConsole(root, hits));
    QVERIFY(result.log == result.expectedLog(logEntries(paths)));
    const QStringList left = QDir(QString::fromUtf8(root)).entryList(QDir::Files);
    QCOMPARE(left.size(), entries - hits.size());
    for (const QString &name : left)
        QVERIFY2(name.endsWith(QLatin1String(".txt")), qPrintable(name));
}

void HostileTest::unreadableFolder_data()
{
    // What the user running the program may do in the folder "geheim".
    QTest::addColumn<int>("access");
    // What a run with -v names as not readable, below the root; empty: a run without -v.
    QTest::addColumn<QByteArrayList>("named");
    QTest::newRow("nothing") << 0 << QByteArrayList();
    QTest::newRow("list, but not enter") << 4 << QByteArrayList();
    QTest::newRow("enter, but not list") << 1 << QByteArrayList();
    QTest::newRow("nothing, named with -v") << 0 << QByteArrayList{"geheim"};
    // Its names are listed, but neither its file nor its subfolder can be looked at.
    QTest::newRow("list, but not enter, named with -v")
        << 4 << QByteArrayList{"geheim/x.log", "geheim/innen"};
    QTest::newRow("enter, but not list, named with -v") << 1 << QByteArrayList{"geheim"};
}

// A folder the program may not read is passed over without a word, unless the run is verbose;
// the rest of the tree is swept. As root the run is made as an unprivileged user and the folder
// belongs to root.
void HostileTest::unreadableFolder()
{
    QFETCH(int, access);
    QFETCH(QByteArrayList, named);
    Workspace workspace;
    const QByteArray root = workspace.pathOf(QStringLiteral("tree")).toUtf8();
    workspace.writeFile(QStringLiteral("tree/a.log"));
    workspace.writeFile(QStringLiteral("tree/geheim/x.log"));
    workspace.writeFile(QStringLiteral("tree/geheim/innen/y.log"));
    workspace.writeFile(QStringLiteral("tree/offen/b.log"));
    workspace.writeJobFile(jobLine(root));
    // The unprivileged user may remove in the other folders.
    QCOMPARE(::chmod(root.constData(), 0777), 0);
    QCOMPARE(::chmod(root + "/offen", 0777), 0);
    const ModeRestorer restorer{root + "/geheim"};
    const mode_t mode = runningAsRoot() ? mode_t(0700 | access << 3 | access)
                                        : mode_t(access << 6 | access << 3 | access);
    QCOMPARE(::chmod(root + "/geheim", mode), 0);

    RunOptions options;
    options.fakeTime = QStringLiteral("+40d");
    options.unprivileged = true;
    QByteArray namedLines;
    for (const QByteArray &path : named)
        namedLines += passedOver(root + '/' + path, Why::NotReadable);
    if (!named.isEmpty())
        options.arguments << QStringLiteral("-v");
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console,
             announced(root) + hit("a.log", 40) + namedLines + hit("b.log", 40) + end(2));
    QCOMPARE(result.log, result.expectedLog(logEntries({root + "/a.log", root + "/offen/b.log"})));
    QCOMPARE(::chmod(root + "/geheim", 0755), 0);
    QVERIFY(rawExists(root + "/geheim/x.log"));
    QVERIFY(rawExists(root + "/geheim/innen/y.log"));
}

// A run over the tree "tree" holding the one old file alt.log: either the job was read and the
// file went, or no job came of the job file and the file stays. `messages` come before the run's.
void verifyOneOldFileRun(const Workspace &workspace, const RunResult &result,
                         const QByteArray &root, const QByteArray &messages, bool swept)
{
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    if (swept) {
        QCOMPARE(result.console, runConsole(root, {"alt.log"}, messages));
        QCOMPARE(result.log, result.expectedLog(logEntries({root + "/alt.log"})));
        QVERIFY(!workspace.exists(QStringLiteral("tree/alt.log")));
    } else {
        QCOMPARE(result.console, messages + end(0));
        QCOMPARE(result.log, result.expectedLog(logEntries({})));
        QVERIFY(workspace.exists(QStringLiteral("tree/alt.log")));
    }
}

void HostileTest::jobFileOfAnyBytes_data()
{
    // `content` names the job's root folder as "@ROOT@", a folder with one old file, "alt.log".
    // `messages` are those of reading and checking the job file. When `swept`, the job runs
    // and removes the file; else nothing is swept and the file stays.
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("messages");
    QTest::addColumn<bool>("swept");

    const QByteArray job = "@ROOT@\t*.log\t30\n";
    const QByteArray lineError = wrongLine();
    const QByteArray noFolder = wrongRoot();
    const QByteArray zeroDays = wrongPeriod(0);
    const int fiftyMegabytes = 50 * 1024 * 1024;

    QTest::newRow("a line of 50 MB, then a job")
        << QByteArray(fiftyMegabytes, 'x') + '\n' + job << lineError << true;
    QTest::newRow("a root folder of 50 MB")
        << "/" + QByteArray(fiftyMegabytes, 'a') + "\t*.log\t30" << lineError << false;
    // A NUL must not cut the root folder short, to the folder before it.
    QTest::newRow("NUL in the root folder")
        << QByteArray("@ROOT@\0/x\t*.log\t30\n", 19) << noFolder << false;
    QTest::newRow("NUL in a pattern")
        << QByteArray("@ROOT@\t*.log\0\t30\n", 17) << wrongPattern("*.log\xEF\xBF\xBD") << false;
    QTest::newRow("NUL in the days") << QByteArray("@ROOT@\t*.log\t3\0"
                                                   "0\n",
                                                   17)
                                     << zeroDays << false;
    QTest::newRow("NUL bytes only, then a job")
        << QByteArray("\0\0\0\n", 4) + job << lineError << true;
    // Each byte that is no UTF-8 becomes U+FFFD; none of them takes the tab after it along.
    QTest::newRow("invalid UTF-8 before a tab")
        << QByteArray("@ROOT@\t*.log\xE2\t30\n") << wrongPattern("*.log\xEF\xBF\xBD") << false;
    QTest::newRow("invalid UTF-8 in the days") << QByteArray("@ROOT@\t*.log\t\xFF"
                                                             "30\n")
                                               << zeroDays << false;
    QTest::newRow("overlong tab") << QByteArray("@ROOT@\xC0\x89*.log\t30\n") << lineError << false;
    QTest::newRow("invalid UTF-8 only, then a job")
        << QByteArray("\x80\xFF\xFE\xFD\n") + job << lineError << true;
    QTest::newRow("carriage returns only") << QByteArray("\r\r\r\n") << lineError << false;
    // Text mode drops carriage returns wherever they stand.
    QTest::newRow("carriage return in the root folder")
        << QByteArray("@ROOT@\r\t*.log\t30\n") << QByteArray() << true;
    QTest::newRow("UTF-8 byte-order mark") << "\xEF\xBB\xBF" + job << QByteArray() << true;
    QByteArray utf16;
    utf16 += "\xFF\xFE";
    for (const char c : job) {
        utf16 += c;
        utf16 += '\0';
    }
    QTest::newRow("UTF-16 with byte-order mark") << utf16 << QByteArray() << true;
}

void HostileTest::jobFileOfAnyBytes()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, messages);
    QFETCH(bool, swept);

    Workspace workspace;
    const QByteArray root = workspace.pathOf(QStringLiteral("tree")).toUtf8();
    workspace.writeFile(QStringLiteral("tree/alt.log"));
    if (content.startsWith("\xFF\xFE")) {
        QByteArray rootUtf16;
        for (const char c : root) {
            rootUtf16 += c;
            rootUtf16 += '\0';
        }
        content.replace(QByteArray("@\0R\0O\0O\0T\0@\0", 12), rootUtf16);
    } else {
        content.replace("@ROOT@", root);
    }
    workspace.writeJobFile(content);

    RunOptions options;
    options.fakeTime = QStringLiteral("+40d");
    const RunResult result = workspace.run(options);
    verifyOneOldFileRun(workspace, result, root, messages, swept);
}

void HostileTest::jobFileOfAnotherKind_data()
{
    // `kind` is what stands in the job file's place. A job file that is no regular file is not
    // read (a FIFO would block, a device never end); a good job file behind a link is read.
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("messages");
    QTest::addColumn<bool>("swept");

    const QByteArray notOpened = jobFileNotOpened();
    QTest::newRow("missing") << "missing" << notOpened << false;
    QTest::newRow("empty") << "empty" << QByteArray() << false;
    QTest::newRow("folder") << "folder" << notOpened << false;
    QTest::newRow("FIFO") << "fifo" << notOpened << false;
    QTest::newRow("link to a FIFO") << "link to fifo" << notOpened << false;
    QTest::newRow("link to /dev/zero") << "link to /dev/zero" << notOpened << false;
    QTest::newRow("dangling link") << "dangling link" << notOpened << false;
    QTest::newRow("not readable") << "unreadable" << notOpened << false;
    QTest::newRow("link to a job file") << "link to file" << QByteArray() << true;
    // Anyone who may read the files may lock them, for as long as they like.
    QTest::newRow("job file and log locked by another program") << "locked" << QByteArray() << true;
}

void HostileTest::jobFileOfAnotherKind()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, messages);
    QFETCH(bool, swept);

    Workspace workspace;
    const QByteArray root = workspace.pathOf(QStringLiteral("tree")).toUtf8();
    workspace.writeFile(QStringLiteral("tree/alt.log"));
    const QByteArray path =
        QFile::encodeName(workspace.pathOf(QStringLiteral("eingabe_kehrlund.txt")));
    const QByteArray other = QFile::encodeName(workspace.pathOf(QStringLiteral("other")));
    RunOptions options = daysOn(40);
    QFile lockedJobFile(QFile::decodeName(path));
    QFile lockedLog(workspace.pathOf(QStringLiteral("log_kehrlund.txt")));
    if (kind == QLatin1String("empty")) {
        workspace.writeJobFile(QByteArray());
    } else if (kind == QLatin1String("folder")) {
        QCOMPARE(::mkdir(path.constData(), 0755), 0);
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(path.constData(), 0666), 0);
    } else if (kind == QLatin1String("link to fifo")) {
        QCOMPARE(::mkfifo(other.constData(), 0666), 0);
        QCOMPARE(::symlink(other.constData(), path.constData()), 0);
    } else if (kind == QLatin1String("link to /dev/zero")) {
        QCOMPARE(::symlink("/dev/zero", path.constData()), 0);
    } else if (kind == QLatin1String("dangling link")) {
        QCOMPARE(::symlink(other.constData(), path.constData()), 0);
    } else if (kind == QLatin1String("unreadable")) {
        workspace.writeJobFile(jobLine(root));
        QCOMPARE(::chmod(path.constData(), 0600), 0);
        options.unprivileged = true;
        if (!runningAsRoot())
            QCOMPARE(::chmod(path.constData(), 0), 0);
    } else if (kind == QLatin1String("link to file")) {
        workspace.writeFile(QStringLiteral("other"), jobLine(root));
        QCOMPARE(::symlink("other", path.constData()), 0);
    } else if (kind == QLatin1String("locked")) {
        workspace.writeJobFile(jobLine(root));
        workspace.writeFile(QStringLiteral("log_kehrlund.txt"));
        for (QFile *file : {&lockedJobFile, &lockedLog}) {
            QVERIFY(file->open(QIODevice::ReadOnly));
            QCOMPARE(::flock(file->handle(), LOCK_EX), 0);
        }
    }
    const RunResult result = workspace.run(options);
    verifyOneOldFileRun(workspace, result, root, messages, swept);
}

// One whole run under memcheck: hits, a removal that fails, a line of the wrong shape and a
// job with a refused pattern. No invalid access, nothing lost; the blocks Qt keeps reachable to
// the end do not count.
void HostileTest::fullRunUnderMemcheck()
{
#ifdef KEHRLUND_SANITIZED
    QSKIP("memcheck cannot run a program built with AddressSanitizer");
#endif
    const QString valgrind = QStandardPaths::findExecutable(QStringLiteral("valgrind"));
    if (valgrind.isEmpty())
        QSKIP("valgrind is not installed");

    Workspace workspace;
    const QByteArray root = workspace.pathOf(QStringLiteral("tree")).toUtf8();
    workspace.writeFile(QStringLiteral("tree/alt.log"));
    workspace.writeFile(QStringLiteral("tree/neu.txt"));
    workspace.writeFile(QStringLiteral("tree/unten/auch.log"));
    workspace.writeFile(QStringLiteral("tree/unten/fest/gesperrt.log"));
    QVERIFY(workspace.lockFile(QStringLiteral("tree/unten/fest/gesperrt.log")));
    workspace.writeJobFile("keine Tabs in dieser Zeile\n" + jobLine(root) + jobLine(root, "*.l_g"));
    const QString report = workspace.pathOf(QStringLiteral("memcheck.txt"));

    RunOptions options = daysOn(40);
    options.wrapper = QStringList{valgrind, QStringLiteral("--error-exitcode=1"),
                                  QStringLiteral("--leak-check=full"),
                                  QStringLiteral("--errors-for-leak-kinds=definite,indirect"),
                                  QStringLiteral("--log-file=") + report};
    const RunResult result = workspace.run(options);
    QVERIFY(result.finished);
    QFile reportFile(report);
    QVERIFY(reportFile.open(QIODevice::ReadOnly));
    const QByteArray memcheck = reportFile.readAll();
    QVERIFY2(result.exitCode == 0, memcheck.constData());
    QVERIFY2(memcheck.contains("ERROR SUMMARY: 0 errors"), memcheck.constData());

    // It was a real run, with every kind of entry.
    const QByteArray locked = root + "/unten/fest/gesperrt.log";
    QCOMPARE(result.console, wrongLine() + wrongPattern("*.l_g") + announced(root) +
                                 hit("alt.log", 40) + hit("auch.log", 40) +
                                 hit("gesperrt.log", 40) + refused(locked) + end(3));
    QCOMPARE(result.log, result.expectedLog(removedEntry(root + "/alt.log", 40) +
                                            removedEntry(root + "/unten/auch.log", 40) +
                                            refusedEntry(locked) + logTotal(3)));
}

QTEST_GUILESS_MAIN(HostileTest)
#include "tst_hostile.moc"
