#include "walk/namelist.h"

#include <algorithm>
#include <cstring>

namespace
{
// What could forge a line or steer a terminal.
bool isUnsafe(QChar c)
{
    const ushort u = c.unicode();
    return (u < 0x20 && u != '\t') || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029;
}

// The unit the order compares for an ASCII byte: what precedes() makes of it.
ushort orderUnit(uchar c)
{
    if ((c < 0x20 && c != '\t') || c == 0x7f)
        return QChar::ReplacementCharacter;
    if (c >= 'A' && c <= 'Z')
        return ushort(c + ('a' - 'A'));
    return c;
}

bool isAscii(const char *name, int length)
{
    return std::all_of(name, name + length, [](char c) { return uchar(c) < 0x80; });
}

int compareBytes(const char *a, int aLength, const char *b, int bLength)
{
    const int common = std::memcmp(a, b, size_t(std::min(aLength, bLength)));
    return common != 0 ? common : aLength - bLength;
}
} // namespace

void NameList::append(const char *name, int length, bool isLink)
{
    index.append(Slot{quint32(buffer.size()), quint32(length), isLink, isAscii(name, length)});
    buffer.append(name, length);
    buffer.append('\0');
}

QByteArray NameList::bytesOf(const Slot &slot) const
{
    return QByteArray::fromRawData(buffer.constData() + slot.offset, int(slot.length));
}

bool NameList::less(const Slot &a, const Slot &b) const
{
    if (!a.isAscii || !b.isAscii)
        return precedes(decode, bytesOf(a), bytesOf(b));
    const char *aName = buffer.constData() + a.offset;
    const char *bName = buffer.constData() + b.offset;
    int byKey = 0;
    const quint32 common = std::min(a.length, b.length);
    for (quint32 i = 0; i < common && byKey == 0; ++i)
        byKey = int(orderUnit(uchar(aName[i]))) - int(orderUnit(uchar(bName[i])));
    if (byKey == 0)
        byKey = int(a.length) - int(b.length);
    if (byKey != 0)
        return byKey < 0;
    return compareBytes(aName, int(a.length), bName, int(b.length)) < 0;
}

bool NameList::precedes(Decoder decode, const QByteArray &a, const QByteArray &b)
{
    const int byKey = shownName(decode(a)).toLower().compare(shownName(decode(b)).toLower());
    return byKey != 0 ? byKey < 0
                      : compareBytes(a.constData(), a.size(), b.constData(), b.size()) < 0;
}

void NameList::sort()
{
    std::sort(index.begin(), index.end(),
              [this](const Slot &a, const Slot &b) { return less(a, b); });
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
