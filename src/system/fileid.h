// Identity of a file on this machine.
#ifndef KEHRLUND_FILEID_H
#define KEHRLUND_FILEID_H

#include <QFile>
#include <QHashFunctions>
#include <QString>
#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

// Device and inode where the system has them; all zero where it has not, and then a file is
// known only by its path.
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

// The identity of what a path leads to; unknown where the system tells none.
inline FileId fileIdOf(const QString &path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? fileIdOf(status) : FileId();
}
#else
inline FileId fileIdOf(const QString &)
{
    return FileId();
}
#endif

inline uint qHash(const FileId &id, uint seed = 0) noexcept
{
    return ::qHash(id.inode, seed) ^ ::qHash(id.device, seed * 31 + 7);
}

#endif
