// A message of the program's console output on standard error: one line, or a few that belong
// together.
#ifndef KEHRLUND_CONSOLEMESSAGE_H
#define KEHRLUND_CONSOLEMESSAGE_H

#include <QByteArray>
#include <QString>

// Every text item between double quotes, unescaped, every integer bare, each item followed by
// one blank. Written straight to standard error when the message goes out of scope, so Qt's
// logging rules and message patterns cannot alter or silence it.
//
// On a terminal each message goes out at once, in one write. Elsewhere (the journal, a pipe, a
// file) messages go out in blocks of a few kilobytes, so that a clean of many files costs one
// write per block rather than one per hit: a block is written when the next message would not
// fit, when an error comes (with the error), and when flushConsole() is called.
//
// Where standard error is the systemd journal, each line starts with its syslog priority, "<3>"
// for errors and "<6>" for the rest; the journal takes the prefix off and files the line under
// that priority, so that the errors can be listed alone.
class ConsoleMessage
{
  public:
    enum Priority { Info, Error };

    explicit ConsoleMessage(Priority priority = Info) : priority(priority) {}
    static ConsoleMessage error() { return ConsoleMessage(Error); }
    ConsoleMessage(const ConsoleMessage &) = delete;
    ConsoleMessage &operator=(const ConsoleMessage &) = delete;
    ~ConsoleMessage();

    ConsoleMessage &operator<<(const QString &text);
    ConsoleMessage &operator<<(int number);

    // Ends the line and begins another of the same message, written in the same write (the two
    // lines of a hit: one write instead of two).
    ConsoleMessage &nextLine(Priority linePriority = Info);

  private:
    void endLine();

    Priority priority = Info;
    bool hasError = false;
    QString text;     // the line being built
    QByteArray lines; // the lines ended so far, ready to be written
};

// Lines made ready elsewhere (in the locale's encoding, each begun by infoLinePrefix() and ended
// by a line end), shown as one message of the ordinary priority.
void showReadyLines(const QByteArray &lines);
const QByteArray &infoLinePrefix();

// Writes what waits of the console's messages: as each job begins and ends, before the closing
// prompt and on a stop (as far as the console takes it).
void flushConsole();

// A text in the locale's 8-bit encoding, as the console and the run log take it. On Windows (the
// ANSI code page) a character that the code page cannot show becomes '?': the system's best fit
// would show another character in its place, "Ābc.log" as "Abc.log", the name of another file.
QByteArray localText(const QString &text);

#endif
