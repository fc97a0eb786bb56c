#include "system/fileid.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

FileId fileIdOf(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) == 0)
        return fileIdOf(status);
#else
    Q_UNUSED(path)
#endif
    return FileId();
}
