#include "report/consolemessage.h"

#include "system/heldup.h"
#include "system/stopsignals.h"

#include <cstdio>
#include <string>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace
{
// systemd names the journal's stream in JOURNAL_STREAM as "device:inode"; standard error is the
// journal only when it is that very stream (a program started from a service may have sent it
// elsewhere).
bool standardErrorIsJournal()
{
#ifdef Q_OS_UNIX
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    if (stream.isEmpty())
        return false;
    struct stat status;
    if (::fstat(STDERR_FILENO, &status) != 0)
        return false;
    return stream == QByteArray::number(quint64(status.st_dev)) + ':' +
                         QByteArray::number(quint64(status.st_ino));
#else
    return false;
#endif
}

bool standardErrorIsTerminal()
{
#ifdef Q_OS_UNIX
    return ::isatty(STDERR_FILENO) == 1;
#else
    return true; // a console window: shown as it comes
#endif
}

// A block holds some forty hits: the write's cost per hit falls below that of the hit's other
// system calls, and the console lags the run by little. A block never exceeds it unless a single
// message does, so that a block written to a pipe is never split by other writers' output.
constexpr std::size_t blockBytes = 2048;

std::string &waiting()
{
    static std::string lines;
    return lines;
}

// One write per block, so that a message is never split by other output. A console that cannot
// take it (its reader has gone) is no reason to stop: the run log is the record. A console that
// blocks (a pipe nobody reads, a paused terminal) holds the run up; once a stop has been asked
// for, the stop's signals interrupt the wait, and the console gets nothing more.
void writeToConsole(const char *data, std::size_t left)
{
#ifdef Q_OS_UNIX
    static bool givenUp = false;
    while (left > 0 && !givenUp) {
        const ssize_t written =
            HeldUp::timedWrite([&] { return ::write(STDERR_FILENO, data, left); });
        if (written > 0) {
            data += written;
            left -= size_t(written);
        } else if (written < 0 && errno == EINTR) {
            givenUp = stopRequested();
        } else {
            return;
        }
    }
#else
    std::fwrite(data, 1, left, stderr);
    std::fflush(stderr);
#endif
}

void show(const QByteArray &lines, bool now)
{
    static const bool atOnce = standardErrorIsTerminal();
    std::string &block = waiting();
    if (block.size() + std::size_t(lines.size()) > blockBytes)
        flushConsole();
    block.append(lines.constData(), std::size_t(lines.size()));
    if (now || atOnce)
        flushConsole();
}
} // namespace

void flushConsole()
{
    std::string &block = waiting();
    if (block.empty())
        return;
    writeToConsole(block.data(), block.size());
    block.clear();
}

void showReadyLines(const QByteArray &lines)
{
    show(lines, false);
}

const QByteArray &infoLinePrefix()
{
    static const QByteArray prefix = standardErrorIsJournal() ? "<6>" : "";
    return prefix;
}

ConsoleMessage::~ConsoleMessage()
{
    endLine();
    show(lines, hasError);
}

void ConsoleMessage::endLine()
{
    static const bool toJournal = standardErrorIsJournal();
    if (toJournal)
        lines += priority == Error ? "<3>" : "<6>";
    lines += localText(text);
    lines += '\n';
    text.clear();
    hasError = hasError || priority == Error;
}

ConsoleMessage &ConsoleMessage::nextLine(Priority linePriority)
{
    endLine();
    priority = linePriority;
    return *this;
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

QByteArray localText(const QString &text)
{
    QByteArray bytes = text.toLocal8Bit();
#ifdef Q_OS_WIN
    if (QString::fromLocal8Bit(bytes) == text)
        return bytes; // nearly always: every character has its own byte
    bytes.clear();
    for (int i = 0; i < text.size();) {
        const bool pair =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        const QString character = text.mid(i, pair ? 2 : 1);
        const QByteArray encoded = character.toLocal8Bit();
        bytes += QString::fromLocal8Bit(encoded) == character ? encoded : QByteArray("?");
        i += character.size();
    }
#endif
    return bytes;
}
