#include "ownfiles.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// A file to append to is taken only as itself: not through a symbolic link, and not with a second
// name (a hard link), so that nothing planted in the working folder can make a run, perhaps as
// root, append to some other file or create one elsewhere.
bool isFitFor(QIODevice::OpenMode mode, const struct stat &status)
{
    return S_ISREG(status.st_mode) && (!(mode & QIODevice::Append) || status.st_nlink == 1);
}
} // namespace

// Opened without blocking, then checked to be a regular file. The log is appended to at the
// system level (O_APPEND), so that two runs at once append whole lines; a new one is writable by
// its owner alone, whatever the umask.
bool OwnFiles::open(QFile &file, QIODevice::OpenMode mode)
{
    const int access =
        (mode & QIODevice::Append) ? (O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW) : O_RDONLY;
    const int handle = ::open(QFile::encodeName(file.fileName()).constData(),
                              access | O_NONBLOCK | O_CLOEXEC, 0644);
    if (handle < 0)
        return false;
    struct stat status;
    if (::fstat(handle, &status) != 0 || !isFitFor(mode, status)) {
        ::close(handle);
        return false;
    }
    ::fcntl(handle, F_SETFL, ::fcntl(handle, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(handle, mode, QFileDevice::AutoCloseHandle)) {
        ::close(handle);
        return false;
    }
    ids.append(FileId{quint64(status.st_dev), quint64(status.st_ino)});
    return true;
}

bool OwnFiles::canAppend(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    const int handle =
        ::open(name.constData(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0) {
        const bool missing = errno == ENOENT;
        const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
        return missing && ::faccessat(AT_FDCWD, folder.constData(), W_OK | X_OK, AT_EACCESS) == 0;
    }
    struct stat status;
    const bool fit = ::fstat(handle, &status) == 0 && isFitFor(QIODevice::Append, status);
    ::close(handle);
    if (fit)
        ids.append(FileId{quint64(status.st_dev), quint64(status.st_ino)});
    return fit;
}

bool OwnFiles::contains(const FileId &id, const QString &path) const
{
    Q_UNUSED(path)
    return ids.contains(id);
}
