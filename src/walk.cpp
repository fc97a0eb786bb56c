// What both back ends of the walk share: stepping through a folder's files, and the path rule.
#include "walk.h"

#include <QDir>

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
    const int at = current.next++;
    entry.startsFolder = at == 0;
    entry.folderPath = current.path;
    entry.encodedName = current.files.bytesAt(at);
    entry.decode = current.files.decoder();
    entry.isLink = current.files.isLinkAt(at);
    return true;
}
