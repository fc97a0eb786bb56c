#ifndef KEHRLUND_CONSOLEMESSAGE_H
#define KEHRLUND_CONSOLEMESSAGE_H

#include "system/heldup.h"

#include <QByteArray>
#include <QString>

// A text in the locale's 8-bit encoding, as the console and the run log take it. On Windows (the
// ANSI code page) a character that the code page cannot show becomes '?': the system's best fit
// would show another character in its place, "Ābc.log" as "Abc.log", the name of another file.
QByteArray localText(const QString &text);
// A number's digits, added without asking for memory where there is room.
void appendNumber(QByteArray &to, int number);

// One line, or a few that go out in one write: every text item between double quotes, unescaped,
// every integer bare, each item followed by one blank. Where standard error is the systemd journal,
// each line starts with its syslog priority, "<3>" for errors and "<6>" for the rest, so that the
// journal can list the errors alone. Built in the locale's encoding and written straight to
// standard error as the message goes out of scope, so Qt's logging rules and message patterns
// cannot alter or silence it.
class ConsoleMessage
{
  public:
    enum Priority { Info, Error };

    // Where a run builds its messages, one after another, so that a hit asks for no memory.
    struct Room {
        QByteArray bytes;
        HeldUp::Count *writesThatBlocked = nullptr;
    };

    // A message of its own, outside a run.
    explicit ConsoleMessage(Priority priority = Info) : ConsoleMessage(ownRoom, priority) {}
    ConsoleMessage(Room &room, Priority priority = Info);
    ConsoleMessage(const ConsoleMessage &) = delete;
    ~ConsoleMessage();

    ConsoleMessage &operator<<(const QString &text) { return *this << localText(text); }
    // A text already in the locale's encoding.
    ConsoleMessage &operator<<(const QByteArray &text);
    ConsoleMessage &operator<<(int number);

    ConsoleMessage &nextLine(Priority linePriority = Info);

  private:
    void beginLine(Priority linePriority);

    Room ownRoom;
    Room &room;
    bool hasError = false;
};

// Writes what waits (docs/ARCHITECTURE.md says when), counting a run's writes that blocked.
void flushConsole(HeldUp::Count *writesThatBlocked = nullptr);

#endif
