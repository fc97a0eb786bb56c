#include "ownfiles.h"

#include <QFile>
#include <QFileInfo>

bool OwnFiles::open(QFile &file, QIODevice::OpenMode mode)
{
    const bool appending = mode & QIODevice::Append;
    if ((!appending && !QFileInfo(file).isFile()) || !file.open(mode))
        return false;
    canonicalPaths.append(QFileInfo(file).canonicalFilePath());
    return true;
}

bool OwnFiles::contains(const FileId &id, const QString &path) const
{
    Q_UNUSED(id)
    return !canonicalPaths.isEmpty() &&
           canonicalPaths.contains(QFileInfo(path).canonicalFilePath());
}
