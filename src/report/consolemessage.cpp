#include "report/consolemessage.h"

#include "system/stopsignals.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace
{
// systemd names the journal's stream in JOURNAL_STREAM as "device:inode": a program started from
// a service may have sent standard error elsewhere.
bool standardErrorIsJournal()
{
#ifdef Q_OS_UNIX
    struct stat status;
    return ::fstat(STDERR_FILENO, &status) == 0 &&
           qgetenv("JOURNAL_STREAM") == QByteArray::number(quint64(status.st_dev)) + ':' +
                                            QByteArray::number(quint64(status.st_ino));
#else
    return false;
#endif
}

// A block holds some forty hits: the write's cost per hit falls below that of the hit's other
// system calls, and the console lags the run by little. A block never exceeds it unless a single
// message does, so that a block written to a pipe is never split by other writers' output.
constexpr std::size_t blockBytes = 2048;

std::string waiting; // the block
} // namespace

// A block the console cannot take is dropped (the run log is the record); a console that blocks
// holds the run up until a stop's signals interrupt the wait, and from then on gets nothing more.
void flushConsole([[maybe_unused]] HeldUp::Count *writesThatBlocked)
{
#ifdef Q_OS_UNIX
    static bool givenUp = false;
    HeldUp::Count outsideARun{0};
    const char *data = waiting.data();
    std::size_t left = waiting.size();
    while (left > 0 && !givenUp) {
        const ssize_t written =
            HeldUp::timedWrite(writesThatBlocked ? *writesThatBlocked : outsideARun,
                               [&] { return ::write(STDERR_FILENO, data, left); });
        if (written > 0) {
            data += written;
            left -= size_t(written);
        } else if (written < 0 && errno == EINTR) {
            givenUp = stopRequested();
        } else {
            break;
        }
    }
#else
    std::fwrite(waiting.data(), 1, waiting.size(), stderr);
    std::fflush(stderr);
#endif
    waiting.clear();
}

ConsoleMessage::ConsoleMessage(Room &room, Priority priority) : room(room)
{
    room.bytes.resize(0); // keeps the room it was given, where it was reserved
    beginLine(priority);
}

ConsoleMessage::~ConsoleMessage()
{
#ifdef Q_OS_UNIX
    static const bool atOnce = ::isatty(STDERR_FILENO) == 1;
#else
    const bool atOnce = true; // a console window: shown as it comes
#endif
    room.bytes += '\n';
    if (waiting.size() + std::size_t(room.bytes.size()) > blockBytes)
        flushConsole(room.writesThatBlocked);
    waiting.append(room.bytes.constData(), std::size_t(room.bytes.size()));
    if (hasError || atOnce)
        flushConsole(room.writesThatBlocked);
}

void ConsoleMessage::beginLine(Priority linePriority)
{
    static const bool toJournal = standardErrorIsJournal();
    if (toJournal)
        room.bytes += linePriority == Error ? "<3>" : "<6>";
    hasError = hasError || linePriority == Error;
}

ConsoleMessage &ConsoleMessage::nextLine(Priority linePriority)
{
    room.bytes += '\n';
    beginLine(linePriority);
    return *this;
}

// In one step, not three: a hit's lines are made of a dozen pieces.
ConsoleMessage &ConsoleMessage::operator<<(const QByteArray &item)
{
    const int at = room.bytes.size();
    room.bytes.resize(at + item.size() + 3);
    char *to = room.bytes.data() + at;
    to[0] = '"';
    std::memcpy(to + 1, item.constData(), std::size_t(item.size()));
    std::memcpy(to + 1 + item.size(), "\" ", 2);
    return *this;
}

ConsoleMessage &ConsoleMessage::operator<<(int number)
{
    appendNumber(room.bytes, number);
    room.bytes += ' ';
    return *this;
}

void appendNumber(QByteArray &to, int number)
{
    char digits[12];
    const char *const end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    to.append(digits, int(end - digits));
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
