#include "dryrun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>
#include <limits.h>
#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace
{
// How many links in a row the system itself follows before it gives up.
constexpr int linksFollowedAtMost = 40;

#ifdef Q_OS_UNIX
// Paths as bytes, as the file system spells them. Where the folder's canonical path cannot be
// had (a path beyond the system's limit), the path as it is stands in, the same each time. Most
// entries asked about lie in the folder asked about last.
QByteArray key(const QByteArray &path)
{
    static QByteArray lastFolder;
    static QByteArray lastCanonical;
    const int slash = path.lastIndexOf('/');
    const QByteArray folder = slash < 0    ? QByteArray(".")
                              : slash == 0 ? QByteArray("/")
                                           : path.left(slash);
    if (folder != lastFolder) {
        char *canonical = ::realpath(folder.constData(), nullptr);
        lastCanonical = canonical ? QByteArray(canonical) : folder;
        std::free(canonical);
        lastFolder = folder;
    }
    return lastCanonical + '/' + path.mid(slash + 1);
}

QByteArray entryPath(const ListedFolder &folder, const QByteArray &name)
{
    return QFile::encodeName(folder.path) + '/' + name;
}

// Where the link at `path` points; empty when it is no link.
QByteArray linkTarget(const QByteArray &path)
{
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path.constData(), target, sizeof target);
    if (length <= 0 || size_t(length) >= sizeof target)
        return QByteArray();
    const QByteArray pointed(target, int(length));
    if (pointed.startsWith('/'))
        return pointed;
    const int slash = path.lastIndexOf('/');
    return (slash < 0 ? QByteArray() : path.left(slash + 1)) + pointed;
}
#else
QByteArray key(const QString &path)
{
    const QFileInfo info(path);
    const QString folder = info.dir().canonicalPath();
    return (folder.isEmpty() ? info.path() : folder).toUtf8() + '/' + info.fileName().toUtf8();
}

QString entryPath(const ListedFolder &folder, const QByteArray &name)
{
    return folder.path + QLatin1Char('/') + QString::fromUtf8(name);
}

QString linkTarget(const QString &path)
{
    const QFileInfo info(path);
    return info.isSymLink() ? info.symLinkTarget() : QString();
}
#endif
} // namespace

bool DryRunRemovals::isGone(const ListedFolder &folder, const QByteArray &name, bool isLink) const
{
    auto path = entryPath(folder, name);
    for (int step = 0; step <= linksFollowedAtMost; ++step) {
        if (removed.contains(key(path)))
            return true;
        if (!isLink)
            return false;
        path = linkTarget(path);
        if (path.isEmpty())
            return false;
    }
    return false;
}

void DryRunRemovals::remember(const ListedFolder &folder, const QByteArray &name)
{
    removed.insert(key(entryPath(folder, name)));
}
