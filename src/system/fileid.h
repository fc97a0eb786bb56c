// Device and inode where the system has them; all zero where not: then a file is known by its path.
#ifndef KEHRLUND_FILEID_H
#define KEHRLUND_FILEID_H

#include <QFile>
#include <QHashFunctions>
#include <QString>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

struct FileId {
    quint64 device = 0;
    quint64 inode = 0;

    bool isKnown() const { return device != 0 || inode != 0; }
    bool operator==(const FileId &other) const
    {
        return device == other.device && inode == other.inode;
    }
};

#ifdef Q_OS_UNIX
inline FileId fileIdOf(const struct stat &status)
{
    return FileId{quint64(status.st_dev), quint64(status.st_ino)};
}
#endif

// What a path leads to; unknown where the system tells none.
inline FileId fileIdOf([[maybe_unused]] const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) == 0)
        return fileIdOf(status);
#endif
    return FileId();
}

inline uint qHash(const FileId &id, uint seed = 0) noexcept
{
    return ::qHash(id.inode, seed) ^ ::qHash(id.device, seed * 31 + 7);
}

#endif
