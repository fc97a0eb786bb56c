// One line of the program's console output on standard error.
#ifndef KEHRLUND_CONSOLEMESSAGE_H
#define KEHRLUND_CONSOLEMESSAGE_H

#include <QByteArray>
#include <QString>

// Every text item between double quotes, unescaped, every integer bare, each item followed by
// one blank. Written straight to standard error in one write when the message goes out of scope,
// so Qt's logging rules and message patterns cannot alter or silence it.
class ConsoleMessage
{
  public:
    ConsoleMessage() = default;
    ConsoleMessage(const ConsoleMessage &) = delete;
    ConsoleMessage &operator=(const ConsoleMessage &) = delete;
    ~ConsoleMessage();

    ConsoleMessage &operator<<(const QString &text);
    ConsoleMessage &operator<<(int number);

    // The whole line as it is written, without the line end.
    QByteArray line() const;

  private:
    QString text;
};

// A file name or path as the console and the run log show it: a line break would break the line
// it stands in (and could forge log entries), so it shows as the replacement character, as bytes
// that are no valid text do. Files are always removed by their real names.
QString shownName(QString name);

#endif
