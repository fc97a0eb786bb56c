#include "harness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

#ifndef KEHRLUND_BINARY
#error "KEHRLUND_BINARY must name the program under test"
#endif

namespace
{
// The program's fixed texts, in UTF-8, as it writes them on the console and into the run log.
namespace text
{
const QByteArray folder = "Ordner: ";
const QByteArray hit = "Treffer: ";
const QByteArray age = "Alter in Tagen: ";
const QByteArray total = "Treffer gesamt: ";
const QByteArray error001 =
    "Fehler 001: Der angegebene Wurzelordner existiert nicht oder ist gar kein Ordner";
const QByteArray error002 = "Fehler 002: Fehlerhafte Endung entdeckt: ";
const QByteArray error003 = "Fehler 003: Tage ist mit ";
const QByteArray error003End = " außerhalb des erlaubten Intervalls von 1 - 365 Tagen";
const QByteArray error004 = "Fehler 004: Logdatei konnte nicht geschrieben werden";
const QByteArray error005 = "Fehler 005: Konnte Datei ";
const QByteArray error005End = " nicht löschen";
const QByteArray error005Folder = "Fehler 005: Konnte Ordner ";
const QByteArray error005FolderEnd = " nicht durchsuchen";
const QByteArray error005Held =
    "Fehler 005: Konnte nicht ermitteln, welche Dateien geöffnet sind; keine Datei wird gelöscht";
const QByteArray error006 = "Fehler 006: Eingabedatei konnte nicht geöffnet werden";
const QByteArray error007 = "Fehler 007: Zeile der Eingabedatei nicht korrekt";
const QByteArray passedOver = "Übergangen: ";
const QByteArray days = " Tage";
const QByteArray prompt = "Bitte druecken Sie eine Taste zum beenden...";
const QByteArray dryRun = "Probelauf: nichts wurde gelöscht, das Protokoll ist unverändert";
const QByteArray stars = "**************************";
const QByteArray clock = " Uhr";
} // namespace text

QByteArray line(const QByteArray &items)
{
    return items + '\n';
}

// The program under test: KEHRLUND_UNDER_TEST names another one (say a build that walks by
// path). A run as nobody needs every folder on the way to the program open to it, which a build
// folder below a private one is not: root's runs use a copy in a folder open to everyone (a
// Windows program is never run as nobody, and needs its DLLs beside it).
QString programPath()
{
    static QTemporaryDir copyFolder;
    static const QString path = [] {
        const QString built = qEnvironmentVariableIsEmpty("KEHRLUND_UNDER_TEST")
                                  ? QStringLiteral(KEHRLUND_BINARY)
                                  : qEnvironmentVariable("KEHRLUND_UNDER_TEST");
        if (!runningAsRoot() || !copyFolder.isValid() || underWindows())
            return built;
        QFile::setPermissions(copyFolder.path(), QFileDevice::Permissions(0x7755));
        const QString copy = copyFolder.path() + QStringLiteral("/kehrlund");
        return QFile::copy(built, copy) ? copy : built;
    }();
    return path;
}

// libfaketime, from the folder of the C library these tests run with: where the system keeps its
// libraries for this architecture, as the faketime package installs it.
QString libfaketimePath()
{
    static const QString path = [] {
        QStringList folders;
        Dl_info library;
        void *const ofTheCLibrary = ::dlsym(RTLD_DEFAULT, "gnu_get_libc_version");
        if (ofTheCLibrary && ::dladdr(ofTheCLibrary, &library) != 0 && library.dli_fname)
            folders << QFileInfo(QFile::decodeName(library.dli_fname)).canonicalPath();
        folders << QStringLiteral("/usr/local/lib") << QStringLiteral("/usr/lib");
        for (const QString &folder : folders) {
            const QString candidate = folder + QStringLiteral("/faketime/libfaketime.so.1");
            if (QFileInfo(candidate).isFile())
                return candidate;
        }
        qFatal("libfaketime.so.1 is not installed (package faketime); looked in %s",
               qPrintable(folders.join(QStringLiteral(", "))));
        return QString();
    }();
    return path;
}

// libfaketime keeps its clock in shared memory named after the process that loaded it first. A
// process that loaded it and then became another program (setpriv, sh and valgrind do so) or
// was killed leaves it behind, and a later process given the same number would fail on it
// ("File exists"). Removed once its process has gone.
void removeOrphanedClockSegments()
{
    QDir shared(QStringLiteral("/dev/shm"));
    const QStringList names = shared.entryList(
        {QStringLiteral("faketime_shm_*"), QStringLiteral("sem.faketime_sem_*")}, QDir::Files);
    for (const QString &name : names) {
        const qint64 pid = name.section(QLatin1Char('_'), -1).toLongLong();
        if (pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            shared.remove(name);
    }
}

// The environment every run gets: the Qt logging variables removed, UTC, a UTF-8 locale, and
// sanitizer settings that let libfaketime be preloaded before the sanitizer runtime. Under
// Windows libfaketime moves the clock only: Wine reads the files' times through stat(), which
// it would move as well, and no file would ever be old.
QProcessEnvironment programEnvironment(const RunOptions &options)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &name : environment.keys()) {
        if (name.startsWith(QLatin1String("QT_")))
            environment.remove(name);
    }
    environment.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       QStringLiteral("verify_asan_link_order=0:detect_leaks=1"));
    if (underWindows())
        environment.insert(QStringLiteral("NO_FAKE_STAT"), QStringLiteral("1"));
    for (const auto &variable : options.environment) {
        if (variable.second.isEmpty())
            environment.remove(variable.first);
        else
            environment.insert(variable.first, variable.second);
    }
    return environment;
}

bool isRelative(const QString &fakeTime)
{
    return fakeTime.startsWith(QLatin1Char('+')) || fakeTime.startsWith(QLatin1Char('-'));
}

// The command that starts `command` with libfaketime preloaded and the clock set, through env(1)
// after setpriv: the files libfaketime makes then belong to the user the program runs as. Every
// process that loads it starts an absolute clock anew, so the program sees the given time when
// it starts, whatever wrapper ran before it.
QStringList withClock(const QString &fakeTime, const QStringList &command,
                      const QProcessEnvironment &environment)
{
    if (fakeTime.isEmpty())
        return command;
    QString preload = libfaketimePath();
    if (!environment.value(QStringLiteral("LD_PRELOAD")).isEmpty())
        preload += QLatin1Char(':') + environment.value(QStringLiteral("LD_PRELOAD"));
    return QStringList{QStringLiteral("env"), QStringLiteral("LD_PRELOAD=") + preload,
                       QStringLiteral("FAKETIME=") +
                           (isRelative(fakeTime) ? fakeTime : QLatin1Char('@') + fakeTime)} +
           command;
}

// How far the program's clock stands from the real one, in milliseconds.
qint64 clockOffsetMs(const QString &fakeTime)
{
    if (fakeTime.isEmpty())
        return 0;
    if (isRelative(fakeTime))
        return qint64(fakeTime.chopped(1).toInt()) * 24 * 3600 * 1000;
    QDateTime start = QDateTime::fromString(fakeTime, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    start.setTimeSpec(Qt::UTC);
    return QDateTime::currentDateTimeUtc().msecsTo(start);
}
} // namespace

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

bool underWindows()
{
    return !qEnvironmentVariableIsEmpty("KEHRLUND_WINDOWS");
}

bool hasEnded(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return true;
    const QByteArray fields = status.readAll();
    return fields.mid(fields.lastIndexOf(')') + 2, 1) == "Z";
}

QStringList asUnprivileged(const QStringList &command)
{
    if (!runningAsRoot())
        return command;
    return QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                       QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")} +
           command;
}

RunOptions daysOn(int days)
{
    RunOptions options;
    options.fakeTime = QStringLiteral("+%1d").arg(days);
    return options;
}

RunOptions underStrace(RunOptions options, const QStringList &straceOptions)
{
    options.wrapper = QStringList{QStringLiteral("sh"),
                                  QStringLiteral("-c"),
                                  QStringLiteral("preload=$LD_PRELOAD; unset LD_PRELOAD; "
                                                 "exec strace -E LD_PRELOAD=\"$preload\" \"$@\""),
                                  QStringLiteral("sh"),
                                  QStringLiteral("-f"),
                                  QStringLiteral("--quiet=all")} +
                      straceOptions;
    options.environment.append({QStringLiteral("ASAN_OPTIONS"),
                                QStringLiteral("verify_asan_link_order=0:detect_leaks=0")});
    return options;
}

QStringList strings(std::initializer_list<const char *> utf8)
{
    QStringList result;
    for (const char *text : utf8)
        result.append(QString::fromUtf8(text));
    return result;
}

QString fakeTimeAt(int daysFromToday, const QString &timeOfDay)
{
    const QDate day = QDateTime::currentDateTimeUtc().date().addDays(daysFromToday);
    return day.toString(QStringLiteral("yyyy-MM-dd ")) + timeOfDay;
}

Workspace::Workspace()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (now.time() >= QTime(23, 55))
        QTest::qSleep(int(now.msecsTo(QDateTime(now.date().addDays(1), QTime(0, 0, 2), Qt::UTC))));
    // Open to everyone, so that a run as an unprivileged user can read the job file and write
    // the log.
    QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777));
}

Workspace::~Workspace()
{
    for (const auto &holder : holders) {
        holder->kill();
        holder->waitForFinished(hangMs);
    }
    for (const QString &file : lockedFiles)
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), file});
    for (const QString &folder : readOnlyFolders)
        QFile::setPermissions(folder, QFileDevice::Permissions(0x7700));
}

// Under Windows as written there, with backslashes in its paths and in the ANSI code page.
void Workspace::writeJobFile(const QByteArray &content) const
{
    writeFile(QStringLiteral("eingabe_kehrlund.txt"),
              underWindows() ? expect::asOnWindows(content) : content);
}

void Workspace::writeFile(const QString &relative, const QByteArray &content) const
{
    const QString full = pathOf(relative);
    QDir().mkpath(QFileInfo(full).path());
    QFile file(full);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

void Workspace::makeFolder(const QString &relative) const
{
    QDir().mkpath(pathOf(relative));
}

bool Workspace::exists(const QString &relative) const
{
    const QFileInfo info(pathOf(relative));
    return info.exists() || info.isSymLink();
}

bool Workspace::lockFile(const QString &relative)
{
    const QString full = pathOf(relative);
    if (underWindows()) {
        auto holder = std::make_unique<QProcess>();
        holder->start(qEnvironmentVariable("KEHRLUND_WINDOWS"),
                      {qEnvironmentVariable("KEHRLUND_HOLDER"), full});
        const bool held = holder->waitForReadyRead(hangMs) && holder->readLine().startsWith("held");
        holders.push_back(std::move(holder));
        return held;
    }
    if (runningAsRoot()) {
        if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), full}) != 0)
            return false;
        lockedFiles.append(full);
        return true;
    }
    const QString folder = QFileInfo(full).path();
    readOnlyFolders.append(folder);
    return QFile::setPermissions(folder, QFileDevice::Permissions(0x5555));
}

bool Workspace::holdOpen(const QString &relative)
{
    auto holder = std::make_unique<QProcess>();
    holder->setStandardInputFile(pathOf(relative));
    holder->start(QStringLiteral("sleep"), {QStringLiteral("600")});
    const bool started = holder->waitForStarted(hangMs);
    holders.push_back(std::move(holder));
    return started;
}

void Workspace::start(QProcess &process, const RunOptions &options) const
{
    removeOrphanedClockSegments();
    QStringList command = options.wrapper;
    if (underWindows())
        command << qEnvironmentVariable("KEHRLUND_WINDOWS");
    command << programPath() << options.arguments;
    const QProcessEnvironment environment = programEnvironment(options);
    command = withClock(options.fakeTime, command, environment);
    if (options.unprivileged)
        command = asUnprivileged(command);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(pathOf(options.workingFolder));
    process.setStandardInputFile(QProcess::nullDevice());
    if (!options.console.isEmpty())
        process.setStandardErrorFile(options.console);
    process.setProperty("clockOffsetMs", clockOffsetMs(options.fakeTime));
    process.setProperty("startedUtc", QDateTime::currentDateTimeUtc());
    process.start(command.takeFirst(), command);
}

RunResult Workspace::finish(QProcess &process, const RunOptions &options) const
{
    RunResult result;
    const qint64 offsetMs = process.property("clockOffsetMs").toLongLong();
    result.clockBefore = process.property("startedUtc").toDateTime().addMSecs(offsetMs);
    // Already over when the test read its output while waiting, or over now.
    result.finished = process.state() == QProcess::NotRunning || process.waitForFinished(hangMs);
    if (!result.finished) {
        qWarning("the run did not end within %d minutes: taken as hung and killed", hangMs / 60000);
        process.kill();
        process.waitForFinished(hangMs);
    }
    removeOrphanedClockSegments();
    result.clockAfter = QDateTime::currentDateTimeUtc().addMSecs(offsetMs);
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.console = process.readAllStandardError();
    result.standardOutput = process.readAllStandardOutput();
    // Only a regular file is read: a FIFO in the log's place would block.
    QFile log(pathOf(options.workingFolder + QStringLiteral("/log_kehrlund.txt")));
    if (QFileInfo(log).isFile() && log.open(QIODevice::ReadOnly))
        result.log = log.readAll();
    return result;
}

qint64 programProcess(const QProcess &process)
{
    QList<qint64> candidates{process.processId()};
    QElapsedTimer waited;
    waited.start();
    // Until the wrappers have started the program, or have ended without it.
    while (!hasEnded(process.processId())) {
        if (waited.elapsed() > hangMs) {
            qWarning("the program did not start within %d minutes", hangMs / 60000);
            break;
        }
        for (int i = 0; i < candidates.size(); ++i) {
            const qint64 pid = candidates.at(i);
            QFile name(QStringLiteral("/proc/%1/comm").arg(pid));
            if (name.open(QIODevice::ReadOnly) && name.readAll().startsWith("kehrlund"))
                return pid;
            QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
            if (children.open(QIODevice::ReadOnly)) {
                for (const QByteArray &child : children.readAll().split(' ')) {
                    if (!child.trimmed().isEmpty() && !candidates.contains(child.toLongLong()))
                        candidates.append(child.toLongLong());
                }
            }
        }
        QThread::msleep(10);
    }
    return process.processId();
}

BlockingConsole::BlockingConsole(const Workspace &workspace)
    : fifo(workspace.pathOf(QStringLiteral("console.fifo")))
{
    const QByteArray name = QFile::encodeName(fifo);
    if (::mkfifo(name.constData(), 0666) != 0)
        return;
    reader = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // The smallest a pipe can be.
    if (reader >= 0 && ::fcntl(reader, F_SETPIPE_SZ, 4096) < 0) {
        ::close(reader);
        reader = -1;
    }
}

BlockingConsole::~BlockingConsole()
{
    if (reader >= 0)
        ::close(reader);
}

bool isWaitingIn(qint64 pid, const char *where)
{
    QFile channel(QStringLiteral("/proc/%1/wchan").arg(pid));
    return channel.open(QIODevice::ReadOnly) && channel.readAll().contains(where);
}

bool BlockingConsole::waitUntilBlocked(qint64 pid)
{
    QElapsedTimer waited;
    waited.start();
    while (!hasEnded(pid)) {
        if (isWaitingIn(pid, "pipe_write"))
            return true;
        if (waited.elapsed() > hangMs) {
            qWarning("the program did not block on its console within %d minutes", hangMs / 60000);
            return false;
        }
        QThread::msleep(5);
    }
    return false;
}

QByteArray BlockingConsole::readToEnd()
{
    QByteArray written;
    QElapsedTimer waited;
    waited.start();
    while (reader >= 0) {
        if (waited.elapsed() > hangMs) {
            qWarning("the console was not closed within %d minutes: taken as hung", hangMs / 60000);
            break;
        }
        struct pollfd ready = {reader, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        char buffer[65536];
        const ssize_t got = ::read(reader, buffer, sizeof buffer);
        if (got == 0)
            break; // every writer has closed it
        if (got > 0)
            written.append(buffer, int(got));
    }
    return written;
}

void keepMountsToThisTest()
{
    static const bool own = ::unshare(CLONE_NEWNS) == 0 &&
                            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    Q_UNUSED(own)
}

Mount::Mount(const QString &source, const QString &target, const char *type, const char *data,
             unsigned long flags)
    : target(QFile::encodeName(target))
{
    keepMountsToThisTest();
    mounted = ::mount(QFile::encodeName(source).constData(), this->target.constData(), type, flags,
                      data) == 0;
}

Mount::~Mount()
{
    if (mounted)
        ::umount2(target.constData(), MNT_DETACH);
}

SilentFileSystem::SilentFileSystem(const QString &target, Silence silence)
    : target(target), silence(silence), device(::open("/dev/fuse", O_RDWR | O_CLOEXEC))
{
    if (device < 0 || ::pipe2(wake, O_CLOEXEC) != 0)
        return;
    mount.reset(new Mount(
        QStringLiteral("kehrlund-test"), target, "fuse",
        QByteArray("fd=" + QByteArray::number(device) + ",rootmode=40000,user_id=0,group_id=0")
            .constData(),
        MS_NOSUID | MS_NODEV));
    // After the mount: a process with a second thread cannot take a mount namespace of its own.
    if (isMounted() && silence != Silence::FromTheStart)
        server = std::thread([this] { serve(); });
}

SilentFileSystem::~SilentFileSystem()
{
    if (server.joinable()) {
        const char stop = 0;
        while (::write(wake[1], &stop, 1) < 0 && errno == EINTR) {
        }
        server.join();
    }
    mount.reset();
    for (const int handle : {device, wake[0], wake[1]}) {
        if (handle >= 0)
            ::close(handle); // aborts what still waits for an answer
    }
}

QByteArray SilentFileSystem::fileContent() const
{
    const std::lock_guard<std::mutex> lock(contentLock);
    return content;
}

void SilentFileSystem::serve()
{
    // Room for the largest write the kernel is told it may send, and its headers.
    std::vector<char> buffer(FUSE_MIN_READ_BUFFER + (1 << 16));
    for (;;) {
        struct pollfd ready[2] = {{wake[0], POLLIN, 0}, {device, POLLIN, 0}};
        if (::poll(ready, silent ? 1 : 2, -1) < 0 || ready[0].revents)
            return;
        const ssize_t got = ::read(device, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < ssize_t(sizeof(fuse_in_header)))
            return; // unmounted
        const auto *request = reinterpret_cast<const fuse_in_header *>(buffer.data());
        if (request->opcode == FUSE_INIT || silence == Silence::AfterAWrite)
            answer(*request, buffer.data() + sizeof(fuse_in_header));
    }
}

void SilentFileSystem::reply(const fuse_in_header &request, int error, const void *data,
                             size_t size)
{
    struct fuse_out_header header = {uint32_t(sizeof header + size), -error, request.unique};
    struct iovec parts[2] = {{&header, sizeof header}, {const_cast<void *>(data), size}};
    while (::writev(device, parts, size > 0 ? 2 : 1) < 0 && errno == EINTR) {
    }
}

// The root (node 1), a folder, holds the file "console" (node 2).
void SilentFileSystem::answer(const fuse_in_header &request, const char *body)
{
    const auto attributes = [this](uint64_t node) {
        struct fuse_attr attributes = {};
        attributes.ino = node;
        attributes.mode = node == FUSE_ROOT_ID ? S_IFDIR | 0777 : S_IFREG | 0666;
        attributes.nlink = node == FUSE_ROOT_ID ? 2 : 1;
        attributes.size = node == FUSE_ROOT_ID ? 0 : uint64_t(fileContent().size());
        attributes.blksize = 4096;
        return attributes;
    };
    const auto attributesOut = [&](uint64_t node) {
        struct fuse_attr_out out = {};
        out.attr_valid = 3600;
        out.attr = attributes(node);
        return out;
    };
    switch (request.opcode) {
    case FUSE_INIT: {
        const auto *in = reinterpret_cast<const fuse_init_in *>(body);
        struct fuse_init_out out = {};
        out.major = FUSE_KERNEL_VERSION;
        out.minor = std::min<uint32_t>(in->minor, FUSE_KERNEL_MINOR_VERSION);
        out.max_readahead = in->max_readahead;
        out.max_write = 1 << 16;
        reply(request, 0, &out, sizeof out);
        return;
    }
    case FUSE_LOOKUP: {
        if (request.nodeid != FUSE_ROOT_ID || std::strcmp(body, "console") != 0)
            return reply(request, ENOENT);
        struct fuse_entry_out out = {};
        out.nodeid = 2;
        out.generation = 1;
        out.entry_valid = 3600;
        out.attr_valid = 3600;
        out.attr = attributes(2);
        return reply(request, 0, &out, sizeof out);
    }
    case FUSE_GETATTR: {
        const struct fuse_attr_out out = attributesOut(request.nodeid);
        return reply(request, 0, &out, sizeof out);
    }
    case FUSE_SETATTR: {
        const auto *in = reinterpret_cast<const fuse_setattr_in *>(body);
        if ((in->valid & FATTR_SIZE) && request.nodeid != FUSE_ROOT_ID) {
            const std::lock_guard<std::mutex> lock(contentLock);
            content.resize(int(in->size));
        }
        const struct fuse_attr_out out = attributesOut(request.nodeid);
        return reply(request, 0, &out, sizeof out);
    }
    case FUSE_OPEN: {
        struct fuse_open_out out = {};
        out.fh = 1;
        // Each write reaches the server as it is made. No flush at close: the kernel waits for
        // its answer even in a process that a signal ends, so that no program could end while
        // it has the file open once the file system has fallen silent.
        out.open_flags = FOPEN_DIRECT_IO | FOPEN_NOFLUSH;
        return reply(request, 0, &out, sizeof out);
    }
    case FUSE_WRITE: {
        const auto *in = reinterpret_cast<const fuse_write_in *>(body);
        {
            const std::lock_guard<std::mutex> lock(contentLock);
            if (content.size() < qint64(in->offset + in->size))
                content.resize(int(in->offset + in->size));
            std::memcpy(content.data() + in->offset, body + sizeof *in, in->size);
        }
        struct fuse_write_out out = {};
        out.size = in->size;
        reply(request, 0, &out, sizeof out);
        silent = armed.load();
        return;
    }
    case FUSE_FLUSH:
    case FUSE_RELEASE:
        return reply(request, 0);
    case FUSE_FORGET:
    case FUSE_BATCH_FORGET:
    case FUSE_INTERRUPT:
        return; // answered by no reply
    default:
        return reply(request, ENOSYS);
    }
}

BornLongAgo::BornLongAgo(const Workspace &workspace, const QString &folder,
                         const QStringList &entries)
    : mountPoint(workspace.pathOf(folder))
{
    const QString staging = scratch.path() + QStringLiteral("/files");
    const QString image = scratch.path() + QStringLiteral("/image");
    QByteArray births;
    for (const QString &entry : entries) {
        const QString path = staging + QLatin1Char('/') + entry;
        QDir().mkpath(entry.endsWith(QLatin1Char('/')) ? path : QFileInfo(path).path());
        if (entry.endsWith(QLatin1Char('/')))
            continue;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write("alt\n") != 4)
            return;
        births += "sif \"/" + entry.toUtf8() + "\" crtime 20250101120000\n";
    }
    QDir().mkpath(staging);
    QDir().mkpath(mountPoint);
    const auto succeeds = [](const QString &tool, const QStringList &arguments,
                             const QByteArray &input = QByteArray()) {
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(tool, arguments);
        process.write(input);
        process.closeWriteChannel();
        return process.waitForFinished(hangMs) && process.exitCode() == 0;
    };
    // Inodes of 256 bytes: the small ones of a small file system have no room for a birth time.
    if (!succeeds(QStringLiteral("mkfs.ext4"),
                  {QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-I"),
                   QStringLiteral("256"), QStringLiteral("-d"), staging, image,
                   QStringLiteral("32M")}) ||
        !succeeds(QStringLiteral("debugfs"),
                  {QStringLiteral("-w"), QStringLiteral("-f"), QStringLiteral("-"), image}, births))
        return;
    keepMountsToThisTest();
    mounted =
        QProcess::execute(QStringLiteral("mount"),
                          {QStringLiteral("-o"), QStringLiteral("loop"), image, mountPoint}) == 0;
    if (mounted)
        QFile::setPermissions(mountPoint, QFileDevice::Permissions(0x7777));
}

BornLongAgo::~BornLongAgo()
{
    if (mounted)
        ::umount2(QFile::encodeName(mountPoint).constData(), MNT_DETACH);
}

int BornLongAgo::ageToday()
{
    return int(QDate(2025, 1, 1).daysTo(QDateTime::currentDateTimeUtc().date()));
}

TreeRemover::~TreeRemover()
{
    QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), path});
}

QString makeDeepFolder(const Workspace &workspace, const QString &under, const QByteArray &level,
                       int depth, const QList<QByteArray> &files)
{
    workspace.makeFolder(under);
    QString path = under;
    int folder = ::open(QFile::encodeName(workspace.pathOf(under)).constData(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int step = 0; folder >= 0 && step < depth; ++step) {
        ::mkdirat(folder, level.constData(), 0777);
        const int next = ::openat(folder, level.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(folder);
        folder = next;
        path += QLatin1Char('/') + QString::fromUtf8(level);
    }
    for (const QByteArray &file : files)
        ::close(::openat(folder, file.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (folder < 0)
        return QString();
    ::close(folder);
    return path;
}

RunResult Workspace::run(const RunOptions &options) const
{
    QProcess process;
    start(process, options);
    return finish(process, options);
}

// A block begins on a line of its own, after whatever the log held.
QByteArray RunResult::expectedLog(const QByteArray &body, const QByteArray &earlierBytes) const
{
    const QByteArray earlier = earlierBytes.isEmpty() || earlierBytes.endsWith('\n')
                                   ? earlierBytes
                                   : earlierBytes + expect::asWritten("\n");
    const QByteArray late = earlier + expect::asWritten(expect::logHeader(clockAfter) + body);
    return log == late ? late : earlier + expect::asWritten(expect::logHeader(clockBefore) + body);
}

namespace expect
{
QByteArray item(const QByteArray &text)
{
    return '"' + text + "\" ";
}

QByteArray item(int number)
{
    return QByteArray::number(number) + ' ';
}

QByteArray announced(const QByteArray &root)
{
    return line(item(text::folder) + item(root)) + line(item(QByteArray()));
}

QByteArray hit(const QByteArray &name, int age)
{
    return line(item(text::hit) + item(name)) + line(item(text::age) + item(age));
}

QByteArray refused(const QByteArray &path)
{
    return line(item(text::error005) + item(path) + item(text::error005End));
}

QByteArray notSwept(const QByteArray &folder)
{
    return line(item(text::error005Folder) + item(folder) + item(text::error005FolderEnd));
}

QByteArray passedOver(const QByteArray &path, Why why)
{
    static const QByteArray reasons[] = {" (nicht lesbar)",
                                         " (verschwunden)",
                                         " (verschoben)",
                                         " (versteckt)",
                                         " (Verweis auf einen Ordner)",
                                         " (anderes Dateisystem)",
                                         " (in Gebrauch)"};
    return line(item(text::passedOver) + item(path) + item(reasons[int(why)]));
}

bool namesPassedOver(const QByteArray &console)
{
    return console.contains(item(text::passedOver));
}

QByteArray heldFilesUnknown()
{
    return line(item(text::error005Held));
}

QByteArray wrongRoot()
{
    return line(item(text::error001));
}

QByteArray wrongPattern(const QByteArray &pattern)
{
    return line(item(text::error002) + item(pattern));
}

QByteArray wrongPeriod(int days)
{
    return line(item(text::error003) + item(days) + item(text::error003End));
}

QByteArray logNotWritten()
{
    return line(item(text::error004));
}

QByteArray logNotWrittenFor(const QByteArray &path)
{
    return line(item(text::error004) + item(path));
}

QByteArray dryRunDone()
{
    return line(item(text::dryRun));
}

QByteArray jobFileNotOpened()
{
    return line(item(text::error006));
}

QByteArray wrongLine()
{
    return line(item(text::error007));
}

QByteArray prompt()
{
    return line(item(text::prompt));
}

QByteArray total(int hits)
{
    return line(item(QByteArray())) + line(item(text::total) + item(hits));
}

QByteArray end(int hits)
{
    return total(hits) + prompt();
}

QByteArray logHeader(const QDateTime &time)
{
    return line(text::stars) + "  " + time.toString(QStringLiteral("dd.MM.yyyy / hh:mm")).toUtf8() +
           line(text::clock) + line(text::stars);
}

QByteArray removedEntry(const QByteArray &path, int age)
{
    return line(path) + QByteArray::number(age) + line(text::days);
}

QByteArray refusedEntry(const QByteArray &path)
{
    return line(text::error005 + path + text::error005End);
}

QByteArray notSweptEntry(const QByteArray &folder)
{
    return line(text::error005Folder + folder + text::error005FolderEnd);
}

QByteArray heldFilesUnknownEntry()
{
    return line(text::error005Held);
}

QByteArray logTotal(int hits)
{
    return text::total + line(QByteArray::number(hits));
}

namespace
{
// Code page 1252 from 0x80 to 0x9f; the rest of it is Latin-1. 0 where it has no character.
const char32_t windows1252High[32] = {
    0x20ac, 0,      0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017d, 0,      0,      0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0,      0x017e, 0x0178};

char inWindows1252(char32_t c)
{
    if (c < 0x80 || (c >= 0xa0 && c <= 0xff))
        return char(c);
    for (int i = 0; i < 32; ++i) {
        if (windows1252High[i] == c)
            return char(0x80 + i);
    }
    return '?';
}
} // namespace

QByteArray asOnWindows(const QByteArray &utf8)
{
    const QVector<uint> characters = QString::fromUtf8(utf8).toUcs4();
    QByteArray result;
    for (int i = 0; i < characters.size(); ++i) {
        const char32_t c = characters.at(i);
        const bool betweenBlanks = i > 0 && i + 1 < characters.size() &&
                                   characters.at(i - 1) == ' ' && characters.at(i + 1) == ' ';
        if (c == '/' && !betweenBlanks)
            result += '\\';
        else if (c == '\n')
            result += "\r\n";
        else
            result += inWindows1252(c);
    }
    return result;
}

QByteArray asWritten(const QByteArray &utf8)
{
    return underWindows() ? asOnWindows(utf8) : utf8;
}
} // namespace expect
