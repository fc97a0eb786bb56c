#ifndef KEHRLUND_NAMELIST_H
#define KEHRLUND_NAMELIST_H

#include <QByteArray>
#include <QString>
#include <QVector>

// All names in one buffer and a sorted index of 8 bytes per name: a folder of a million entries
// costs little more than its names' bytes, where a string pair per name would cost several
// times that.
//
// The order: by name without regard to case (as text, with the characters that messages show
// as U+FFFD taken as that), equal names by their exact bytes, so that it never depends on the
// system's listing. Names of ASCII alone are compared on their bytes; the others are decoded.
class NameList
{
  public:
    using Decoder = QString (*)(const QByteArray &);
    explicit NameList(Decoder decode) : decode(decode) {}

    void append(const char *name, int length, bool isLink);
    void sort();
    void clear()
    {
        buffer.clear();
        index.clear();
    }

    int size() const { return index.size(); }
    // A view of the name's bytes, valid while the list is neither changed nor gone.
    QByteArray bytesAt(int i) const { return bytesOf(index.at(i)); }
    QString nameAt(int i) const { return decode(bytesAt(i)); }
    bool isLinkAt(int i) const { return index.at(i).isLink; }

    // Whether `a` comes before `b` in the order of a list whose names `decode` gives as text.
    static bool precedes(Decoder decode, const QByteArray &a, const QByteArray &b);

  private:
    struct Slot {
        quint32 offset;
        quint32 length : 30;
        quint32 isLink : 1;
        quint32 isAscii : 1;
    };
    bool less(const Slot &a, const Slot &b) const;
    QByteArray bytesOf(const Slot &slot) const;

    Decoder decode;
    QByteArray buffer; // the names, each ended by a NUL so that it can be handed to the system
    QVector<Slot> index;
};

// A file name or path as the console and the run log show it: a line break would break the line
// it stands in (and could forge log entries), other control characters could steer a terminal,
// so each shows as the replacement character, as bytes that are no valid text do. Files are
// always removed by their real names.
QString shownName(QString name);

#endif
