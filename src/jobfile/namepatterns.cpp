#include "jobfile/namepatterns.h"

#include <algorithm>

namespace
{
bool isAsciiLetterOrDigit(QChar c)
{
    const ushort u = c.unicode();
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}

bool containsDot(const QByteArray &name)
{
    return name.contains('.');
}

bool containsDot(const QString &name)
{
    return name.contains(QLatin1Char('.'));
}

uint unitAt(const QByteArray &name, int i)
{
    return uchar(name.at(i));
}

uint unitAt(const QString &name, int i)
{
    return name.at(i).unicode();
}

template <typename Name> bool endsWithIgnoringAsciiCase(const Name &name, const QByteArray &ending)
{
    const int offset = name.size() - ending.size();
    if (offset < 0)
        return false;
    for (int i = 0; i < ending.size(); ++i) {
        uint c = unitAt(name, offset + i);
        if (c >= 'A' && c <= 'Z')
            c += 'a' - 'A';
        if (c != uint(uchar(ending.at(i))))
            return false;
    }
    return true;
}
} // namespace

bool NamePatterns::isAdmitted(const QString &pattern)
{
    if (pattern == QLatin1String("*.*"))
        return true;
    return pattern.size() >= 3 && pattern.size() <= 7 && pattern.startsWith(QLatin1String("*.")) &&
           std::all_of(pattern.begin() + 2, pattern.end(), isAsciiLetterOrDigit);
}

NamePatterns::NamePatterns(const QStringList &patterns)
{
    for (const QString &pattern : patterns) {
        if (pattern == QLatin1String("*.*"))
            anyWithDot = true;
        else if (isAdmitted(pattern))
            endings.append(pattern.mid(1).toLatin1().toLower());
    }
}

template <typename Name> bool NamePatterns::matches(const Name &name) const
{
    if (anyWithDot && containsDot(name))
        return true;
    return std::any_of(endings.begin(), endings.end(), [&name](const QByteArray &ending) {
        return endsWithIgnoringAsciiCase(name, ending);
    });
}

template bool NamePatterns::matches(const QByteArray &) const;
template bool NamePatterns::matches(const QString &) const;
