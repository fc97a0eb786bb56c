#include "ownfiles.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Opened without blocking, then checked to be a regular file. The log is appended to at the
// system level (O_APPEND), so that two runs at once append whole lines.
bool OwnFiles::open(QFile &file, QIODevice::OpenMode mode)
{
    const int access = (mode & QIODevice::Append) ? (O_WRONLY | O_APPEND | O_CREAT) : O_RDONLY;
    const int handle = ::open(QFile::encodeName(file.fileName()).constData(),
                              access | O_NONBLOCK | O_CLOEXEC, 0666);
    if (handle < 0)
        return false;
    struct stat status;
    if (::fstat(handle, &status) != 0 || !S_ISREG(status.st_mode)) {
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
    const int handle = ::open(name.constData(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0) {
        const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
        return errno == ENOENT && ::access(folder.constData(), W_OK | X_OK) == 0;
    }
    struct stat status;
    const bool regular = ::fstat(handle, &status) == 0 && S_ISREG(status.st_mode);
    ::close(handle);
    if (regular)
        ids.append(FileId{quint64(status.st_dev), quint64(status.st_ino)});
    return regular;
}

bool OwnFiles::contains(const FileId &id, const QString &path) const
{
    Q_UNUSED(path)
    return ids.contains(id);
}
