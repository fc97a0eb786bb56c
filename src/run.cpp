// The cleaner object, the console format and the run that writes the run log.
#include "fegwerk.h"

#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>

ConsoleMessage::~ConsoleMessage()
{
    QByteArray bytes = line();
    bytes.append('\n');
    // One write per message, so that a message is never split by other output.
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

ConsoleMessage &ConsoleMessage::operator<<(const QString &item)
{
    text += QLatin1Char('"') + item + QLatin1String("\" ");
    return *this;
}

ConsoleMessage &ConsoleMessage::operator<<(int number)
{
    text += QString::number(number) + QLatin1Char(' ');
    return *this;
}

QByteArray ConsoleMessage::line() const
{
    return text.toLocal8Bit();
}

Fegwerk::Fegwerk(const QString &jobFilePath, const QString &logFilePath, QObject *parent)
    : QObject(parent), startTime(QDateTime::currentDateTime()), logFilePath(logFilePath),
      jobFilePath(jobFilePath)
{
    readJobFile();
    // Every job is checked after the whole file has been read, in file order. A faulty job is
    // dropped: sweeping it would apply the very patterns and period the check refused.
    for (int i = 0; i < jobs.size();) {
        const Job &job = jobs.at(i);
        if (validateJob(job.rootFolder, job.extensions.data(), job.retentionDays))
            jobs.removeAt(i);
        else
            ++i;
    }
}

Fegwerk::~Fegwerk() = default;

void Fegwerk::run()
{
    QFile logFile(logFilePath);
    if (!openOwnFile(logFile, QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered)) {
        ConsoleMessage() << tr("Fehler 004: Logdatei konnte nicht geschrieben werden");
        return;
    }
    QTextStream logStream(&logFile);
    hitCount = 0;

    const QString starLine = QStringLiteral("**************************");
    const QDateTime now = QDateTime::currentDateTime();
    logStream << starLine << Qt::endl;
    logStream << "  " << now.date().toString(QStringLiteral("dd.MM.yyyy")) << " / "
              << now.time().toString(QStringLiteral("hh:mm")) << tr(" Uhr") << Qt::endl;
    logStream << starLine << Qt::endl;

    if (!jobs.isEmpty())
        takeOpenFilesSnapshot();

    for (int jobIndex = 0; jobIndex < jobs.size(); ++jobIndex) {
        const QString &rootFolder = jobs.at(jobIndex).rootFolder;
        ConsoleMessage() << tr("Ordner: ") << rootFolder.trimmed();
        ConsoleMessage() << tr("");
        sweepFolder(rootFolder, logStream, jobIndex);
    }

    ConsoleMessage() << tr("");
    ConsoleMessage() << tr("Treffer gesamt: ") << hitCount;
    logStream << "Treffer gesamt: " << hitCount << Qt::endl;
    logFile.close();
}

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The job file and the run log are opened without blocking, so that a FIFO in their place cannot
// hold the program, and only a regular file will do. The log is opened in append mode at the
// system level, so that two runs at once append whole lines; it is unbuffered, so every line the
// text stream hands over goes out in one write. Both are remembered, so no sweep deletes them.
bool Fegwerk::openOwnFile(QFile &file, QIODevice::OpenMode mode)
{
    const int access = (mode & QIODevice::Append) ? (O_WRONLY | O_APPEND | O_CREAT) : O_RDONLY;
    const int handle = ::open(QFile::encodeName(file.fileName()).constData(),
                              access | O_NONBLOCK | O_CLOEXEC, 0666);
    if (handle < 0)
        return false;
    struct stat status;
    if (::fstat(handle, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(handle);
        return false;
    }
    ::fcntl(handle, F_SETFL, ::fcntl(handle, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(handle, mode, QFileDevice::AutoCloseHandle)) {
        ::close(handle);
        return false;
    }
    ownFiles.append(FileId{quint64(status.st_dev), quint64(status.st_ino)});
    return true;
}
#else
bool Fegwerk::openOwnFile(QFile &file, QIODevice::OpenMode mode)
{
    const bool appending = mode & QIODevice::Append;
    if ((!appending && !QFileInfo(file).isFile()) || !file.open(mode))
        return false;
    ownFilePaths.append(QFileInfo(file).canonicalFilePath());
    return true;
}
#endif
