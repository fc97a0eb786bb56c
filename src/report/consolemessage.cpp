#include "report/consolemessage.h"

#include "system/stopsignals.h"

#include <algorithm>
#include <cstdio>
#include <utility>

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

// One write per message, so that a message is never split by other output. A console that
// cannot take it (its reader has gone) is no reason to stop: the run log is the record. A console
// that blocks (a pipe nobody reads, a paused terminal) holds the run up; once a stop has been asked
// for, the stop's signals interrupt the wait, and the console gets nothing more.
void writeToConsole(const QByteArray &bytes)
{
#ifdef Q_OS_UNIX
    static bool givenUp = false;
    const char *data = bytes.constData();
    auto left = size_t(bytes.size());
    while (left > 0 && !givenUp) {
        const ssize_t written = ::write(STDERR_FILENO, data, left);
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
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
#endif
}
} // namespace

ConsoleMessage::~ConsoleMessage()
{
    if (hasLine)
        endLine();
    if (!lines.isEmpty())
        writeToConsole(lines);
}

void ConsoleMessage::endLine()
{
    static const bool toJournal = standardErrorIsJournal();
    if (toJournal)
        lines += priority == Error ? "<3>" : "<6>";
    lines += line();
    lines += '\n';
    text.clear();
}

ConsoleMessage &ConsoleMessage::nextLine(Priority linePriority)
{
    if (hasLine)
        endLine();
    hasLine = true;
    priority = linePriority;
    return *this;
}

QByteArray ConsoleMessage::takeLines()
{
    if (hasLine)
        endLine();
    hasLine = false;
    return std::exchange(lines, QByteArray());
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
    return localText(text);
}

namespace
{
// Characters that could forge a line or steer a terminal: the C0 controls but the tab, DEL, the
// C1 controls, and the Unicode line and paragraph separators.
bool isUnsafe(QChar c)
{
    const ushort u = c.unicode();
    return (u < 0x20 && u != '\t') || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029;
}
} // namespace

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

QString shownName(QString name)
{
    // Most names are safe as they are; those are not copied.
    const QChar *begin = name.constData();
    const QChar *unsafe = std::find_if(begin, begin + name.size(), isUnsafe);
    for (int i = int(unsafe - begin); i < name.size(); ++i) {
        if (isUnsafe(name.at(i)))
            name[i] = QChar::ReplacementCharacter;
    }
    return name;
}
