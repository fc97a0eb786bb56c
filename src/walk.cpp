// What both back ends of the walk share: the order of names and the path rule.
#include "walk.h"

#include "consolemessage.h"

#include <QDir>

#include <algorithm>

void sortByName(QVector<ListedName> &names)
{
    struct Keyed {
        QString key;
        ListedName entry;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(std::size_t(names.size()));
    for (ListedName &entry : names)
        keyed.push_back(Keyed{shownName(entry.name).toLower(), std::move(entry)});
    std::sort(keyed.begin(), keyed.end(), [](const Keyed &a, const Keyed &b) {
        const int byKey = a.key.compare(b.key);
        return byKey != 0 ? byKey < 0 : a.entry.encoded < b.entry.encoded;
    });
    for (int i = 0; i < names.size(); ++i)
        names[i] = std::move(keyed[std::size_t(i)].entry);
}

QString joinedPath(const QString &folderPath, const QString &name)
{
    return folderPath + QDir::separator() + name;
}

bool FolderWalk::next(WalkEntry &entry)
{
    while (current.next >= current.files.size()) {
        if (!enterNextFolder())
            return false;
    }
    entry.startsFolder = current.next == 0;
    const ListedName &file = current.files.at(current.next++);
    entry.folderPath = current.path;
    entry.name = file.name;
    entry.encodedName = file.encoded;
    entry.isLink = file.isLink;
    return true;
}
