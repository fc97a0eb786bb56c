// A message of the program's console output on standard error: one line, or a few that belong
// together.
#ifndef KEHRLUND_CONSOLEMESSAGE_H
#define KEHRLUND_CONSOLEMESSAGE_H

#include <QByteArray>
#include <QString>

// Every text item between double quotes, unescaped, every integer bare, each item followed by
// one blank. Written straight to standard error in one write when the message goes out of scope,
// so Qt's logging rules and message patterns cannot alter or silence it.
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
    // A message that goes on from lines made ready before (see takeLines); a line of its own
    // begins with nextLine().
    explicit ConsoleMessage(const QByteArray &readyLines) : hasLine(false), lines(readyLines) {}
    ConsoleMessage(const ConsoleMessage &) = delete;
    ConsoleMessage &operator=(const ConsoleMessage &) = delete;
    ~ConsoleMessage();

    ConsoleMessage &operator<<(const QString &text);
    ConsoleMessage &operator<<(int number);

    // Ends the line and begins another of the same message, written in the same write (the two
    // lines of a hit: one write instead of two).
    ConsoleMessage &nextLine(Priority linePriority = Info);

    // The line being built, as it is written, without the line end.
    QByteArray line() const;

    // The lines made so far, as they would be written; the message is left empty and writes
    // nothing. The work of making a message can so be done in one thread and the writing in
    // another.
    QByteArray takeLines();

  private:
    void endLine();

    Priority priority = Info;
    bool hasLine = true; // a line has been begun
    QString text;
    QByteArray lines; // the lines ended so far, ready to be written
};

// A file name or path as the console and the run log show it: a line break would break the line
// it stands in (and could forge log entries), other control characters could steer a terminal,
// so each shows as the replacement character, as bytes that are no valid text do. Files are
// always removed by their real names.
QString shownName(QString name);

// A text in the locale's 8-bit encoding, as the console and the run log take it. On Windows (the
// ANSI code page) a character that the code page cannot show becomes '?': the system's best fit
// would show another character in its place, "Ābc.log" as "Abc.log", the name of another file.
QByteArray localText(const QString &text);

#endif
