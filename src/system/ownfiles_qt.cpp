#include "system/ownfiles.h"

#include <QFileInfo>

bool OwnFiles::open(QFile &file, QIODevice::OpenMode mode)
{
    const QFileInfo info(file);
    if (info.isSymLink() || (!(mode & QIODevice::Append) && !info.isFile()) || !file.open(mode))
        return false;
    canonicalPaths.append(QFileInfo(file).canonicalFilePath());
    return true;
}

bool OwnFiles::canAppend(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return false;
    if (!info.exists())
        return QFileInfo(info.absolutePath()).isWritable();
    if (!info.isFile() || !info.isWritable())
        return false;
    canonicalPaths.append(info.canonicalFilePath());
    return true;
}

bool OwnFiles::contains(const FileId &, const std::function<QString()> &pathOf) const
{
    return !canonicalPaths.isEmpty() &&
           canonicalPaths.contains(QFileInfo(pathOf()).canonicalFilePath());
}

LogBeginning::LogBeginning(QFile &log) : log(log) {}

LogBeginning::~LogBeginning() = default;

bool LogBeginning::endsWithinLine() const
{
    QFile reader(log.fileName());
    char last = '\n';
    if (reader.open(QIODevice::ReadOnly) && reader.size() > 0 && reader.seek(reader.size() - 1))
        reader.getChar(&last);
    return last != '\n';
}
