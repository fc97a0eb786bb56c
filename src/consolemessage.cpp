#include "consolemessage.h"

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

QString shownName(QString name)
{
    name.replace(QLatin1Char('\n'), QChar::ReplacementCharacter);
    name.replace(QLatin1Char('\r'), QChar::ReplacementCharacter);
    return name;
}
