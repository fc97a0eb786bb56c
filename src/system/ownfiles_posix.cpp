#include "system/ownfiles.h"

#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// Opens without blocking (a FIFO in the file's place cannot hold the program) and keeps the handle
// only for a regular file; one to append to also only as itself: not through a symbolic link
// (O_NOFOLLOW, by the caller) and not with a second name, so that nothing planted in the working
// folder can make a run, perhaps as root, append to some other file or create one elsewhere.
int openFit(const QString &path, int flags, struct stat &status)
{
    const int handle =
        ::open(QFile::encodeName(path).constData(), flags | O_NONBLOCK | O_CLOEXEC, 0644);
    if (handle < 0)
        return -1;
    if (::fstat(handle, &status) != 0 || !S_ISREG(status.st_mode) ||
        ((flags & O_APPEND) && status.st_nlink != 1)) {
        ::close(handle);
        errno = EINVAL;
        return -1;
    }
    return handle;
}
} // namespace

// A new log is writable by its owner alone, whatever the umask. It is opened for reading too, to
// see how it ends; one that may be written but not read is still appended to.
bool OwnFiles::open(QFile &file, QIODevice::OpenMode mode)
{
    const bool appending = mode & QIODevice::Append;
    const int access = appending ? (O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW) : O_RDONLY;
    struct stat status;
    int handle = openFit(file.fileName(), access, status);
    if (handle < 0 && appending && errno == EACCES)
        handle = openFit(file.fileName(), (access & ~O_ACCMODE) | O_WRONLY, status);
    if (handle < 0)
        return false;
    ::fcntl(handle, F_SETFL, ::fcntl(handle, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(handle, mode, QFileDevice::AutoCloseHandle)) {
        ::close(handle);
        return false;
    }
    ids.append(fileIdOf(status));
    return true;
}

bool OwnFiles::canAppend(const QString &path)
{
    struct stat status;
    const int handle = openFit(path, O_WRONLY | O_APPEND | O_NOFOLLOW, status);
    if (handle < 0) {
        const bool missing = errno == ENOENT;
        const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
        return missing && ::faccessat(AT_FDCWD, folder.constData(), W_OK | X_OK, AT_EACCESS) == 0;
    }
    ::close(handle);
    ids.append(fileIdOf(status));
    return true;
}

bool OwnFiles::contains(const FileId &id, const std::function<QString()> &) const
{
    return ids.contains(id);
}

// The lock goes with the program; the one beginning alone holds it to itself until its header is
// written.
LogBeginning::LogBeginning(QFile &log) : log(log)
{
    alone = ::flock(log.handle(), LOCK_EX | LOCK_NB) == 0;
}

LogBeginning::~LogBeginning()
{
    ::flock(log.handle(), LOCK_SH | LOCK_NB);
}

bool LogBeginning::endsWithinLine() const
{
    struct stat status;
    char last = '\n';
    if (alone && ::fstat(log.handle(), &status) == 0 && status.st_size > 0 &&
        ::pread(log.handle(), &last, 1, status.st_size - 1) != 1)
        last = '\n'; // unreadable: taken as ending with its line
    return last != '\n';
}
