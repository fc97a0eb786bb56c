#include "harness.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <unistd.h>

#ifndef KEHRLUND_BINARY
#error "KEHRLUND_BINARY must name the program under test"
#endif

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

QString programPath()
{
    // A run as nobody needs every folder on the way to the program open to it, which a build
    // folder below a private one is not: root's runs use a copy in a folder open to everyone.
    static QTemporaryDir copyFolder;
    static const QString path = [] {
        const QString built = QStringLiteral(KEHRLUND_BINARY);
        if (!runningAsRoot() || !copyFolder.isValid())
            return built;
        QFile::setPermissions(copyFolder.path(), QFileDevice::Permissions(0x7755));
        const QString copy = copyFolder.path() + QStringLiteral("/kehrlund");
        return QFile::copy(built, copy) ? copy : built;
    }();
    return path;
}

Workspace::Workspace()
{
    // Open to everyone, so that a run as an unprivileged user can read the job file and write
    // the log.
    QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777));
}

Workspace::~Workspace()
{
    for (const QString &file : lockedFiles)
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), file});
    for (const QString &folder : readOnlyFolders)
        QFile::setPermissions(folder, QFileDevice::Permissions(0x7700));
}

void Workspace::writeJobFile(const QByteArray &content) const
{
    writeFile(QStringLiteral("eingabe_kehrlund.txt"), content);
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

QProcessEnvironment programEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &name : environment.keys()) {
        if (name.startsWith(QLatin1String("QT_")))
            environment.remove(name);
    }
    environment.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    // libfaketime is preloaded before the sanitizer runtime in sanitizer builds.
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       QStringLiteral("verify_asan_link_order=0:detect_leaks=1"));
    return environment;
}

RunResult Workspace::run(const RunOptions &options) const
{
    QStringList command;
    if (options.unprivileged && runningAsRoot())
        command << QStringLiteral("setpriv") << QStringLiteral("--reuid=65534")
                << QStringLiteral("--regid=65534") << QStringLiteral("--clear-groups");
    if (!options.fakeTime.isEmpty()) {
        command << QStringLiteral("faketime");
        if (options.fakeTime.startsWith(QLatin1Char('+')) ||
            options.fakeTime.startsWith(QLatin1Char('-')))
            command << QStringLiteral("-f");
        command << options.fakeTime;
    }
    command << programPath() << options.arguments;

    QProcessEnvironment environment = programEnvironment();
    for (const auto &variable : options.environment) {
        if (variable.second.isEmpty())
            environment.remove(variable.first);
        else
            environment.insert(variable.first, variable.second);
    }

    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(path());
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(command.takeFirst(), command);

    RunResult result;
    result.finished = process.waitForFinished(options.timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.console = process.readAllStandardError();
    result.standardOutput = process.readAllStandardOutput();
    QFile log(pathOf(QStringLiteral("log_kehrlund.txt")));
    if (log.open(QIODevice::ReadOnly))
        result.log = log.readAll();
    return result;
}

QByteArray item(const QString &text)
{
    return '"' + text.toUtf8() + "\" ";
}

QByteArray item(int number)
{
    return QByteArray::number(number) + ' ';
}

QByteArray line(const QByteArray &items)
{
    return items + '\n';
}

QByteArray totalMessages(int hits)
{
    return line(item(QString())) + line(item(QStringLiteral("Treffer gesamt: ")) + item(hits));
}

QByteArray closingPrompt()
{
    return line(item(QStringLiteral("Bitte druecken Sie eine Taste zum beenden...")));
}

QByteArray logHeader(const QDateTime &time)
{
    const QByteArray stars = "**************************\n";
    return stars + "  " + time.toString(QStringLiteral("dd.MM.yyyy / hh:mm")).toUtf8() + " Uhr\n" +
           stars;
}

namespace
{
QList<QByteArray> blocks(const QByteArray &log)
{
    const QByteArray stars = "**************************\n";
    QList<QByteArray> result;
    int at = 0;
    while ((at = log.indexOf(stars, at)) >= 0) {
        const int bodyStart = log.indexOf(stars, at + stars.size()) + stars.size();
        int next = log.indexOf(stars, bodyStart);
        if (next < 0)
            next = log.size();
        result.append(log.mid(bodyStart, next - bodyStart));
        at = next;
    }
    return result;
}
} // namespace

QByteArray logBody(const QByteArray &log, int block)
{
    const QList<QByteArray> all = blocks(log);
    return block < all.size() ? all.at(block) : QByteArray("<no such block>");
}

int logBlockCount(const QByteArray &log)
{
    return blocks(log).size();
}

QString fakeTimeAt(int daysFromToday, const QString &timeOfDay)
{
    const QDate day = QDateTime::currentDateTimeUtc().date().addDays(daysFromToday);
    return day.toString(QStringLiteral("yyyy-MM-dd ")) + timeOfDay;
}
