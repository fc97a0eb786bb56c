// The walk for systems without folder handles: every step goes by path, through Qt. It cannot
// withstand a folder swapped for a link while it goes on.
#include "walk/walk.h"

#include "jobfile/namepatterns.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#else
constexpr int AT_FDCWD = -100;
#endif

namespace
{
void append(NameList &names, const QString &name, bool isLink)
{
    const QByteArray bytes = name.toUtf8();
    names.append(bytes.constData(), bytes.size(), isLink);
}

// Qt lists nothing of a folder it cannot read, and says nothing of it either: a verbose run asks
// first, and names the folder. Qt tells no error: a folder that cannot even be looked at, in a
// parent that may not be entered, is no more gone than its parent.
bool isReadable(const QString &path, QVector<PassedOver> &passedOver)
{
    const QFileInfo info(path);
    if (info.isDir() && info.isReadable())
        return true;
    const bool gone = !info.exists() && QFileInfo(info.path()).isExecutable();
    passedOver.append({path, gone ? PassedOverReason::Gone : PassedOverReason::NotReadable});
    return false;
}
} // namespace

// Names are kept as UTF-8, which holds every name Qt lists.
QString decodedName(const QByteArray &name)
{
    return QString::fromUtf8(name);
}

struct FolderWalk::State {
    static const Folder *enter(FolderWalk &walk);
};

FolderWalk::State *FolderWalk::newState()
{
    return nullptr;
}

void FolderWalk::Delete::operator()(State *state) const
{
    delete state;
}

const Folder *FolderWalk::enterRoot()
{
    return State::enter(*this);
}

// A verbose run keeps a mount point, marked as a link, to name it here, as the walk by handles
// does.
const Folder *FolderWalk::enterSubfolder(int sub)
{
    if (!levels.back().subfolders.isLinkAt(sub))
        return State::enter(*this);
    if (isReadable(path, passedOver))
        passedOver.append({path, PassedOverReason::OtherMount});
    return nullptr;
}

void FolderWalk::leftLevel() {}

// By path alone the walk cannot tell which folder above has moved: the folder in hand and all
// below it are passed over.
std::size_t FolderWalk::highestMoved(std::size_t moved) const
{
    return moved;
}

// Names are matched here rather than by Qt's name filters, which would also take the Kelvin sign
// for a "k". Links to files are listed as files; links to folders are not followed.
const Folder *FolderWalk::State::enter(FolderWalk &walk)
{
    const QDir dir(walk.path);
    if (walk.namesPassedOver && !isReadable(walk.path, walk.passedOver))
        return nullptr;
    walk.folder.id = fileIdOf(walk.path);
    walk.folder.files.clear();
    for (const QFileInfo &info : dir.entryInfoList(QDir::Files, QDir::Unsorted)) {
        if (walk.patterns.matches(info.fileName()))
            append(walk.folder.files, info.fileName(), info.isSymLink());
    }
    NameList subfolders(decodedName);
    const QByteArray encodedPath = QFile::encodeName(walk.path);
    for (const QString &sub :
         dir.entryList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Unsorted)) {
        // A folder that cannot be looked at is taken for a mount point too; it is named as what it
        // is.
        const bool mounted = isMountPoint(AT_FDCWD, encodedPath, AT_FDCWD,
                                          QFile::encodeName(joinedPath(walk.path, sub)));
        if (!mounted || walk.namesPassedOver)
            append(subfolders, sub, mounted);
    }
    if (!walk.namesPassedOver)
        return walk.entered(subfolders);
    // What the listings above leave out that a verbose run names: hidden folders (and links to
    // them), hidden files whose names match, and links to folders.
    QVector<PassedOverName> names;
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &info : entries) {
        if (info.isHidden() &&
            (info.isDir() || (info.isFile() && walk.patterns.matches(info.fileName()))))
            names.append({info.fileName().toUtf8(), PassedOverReason::Hidden});
        else if (!info.isHidden() && info.isSymLink() && info.isDir())
            names.append({info.fileName().toUtf8(), PassedOverReason::LinkToFolder});
    }
    appendPassedOver(walk.passedOver, walk.path, names);
    return walk.entered(subfolders);
}
