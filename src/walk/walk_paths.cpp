// The walk for systems without folder handles: every step goes by path, through Qt. It cannot
// withstand a folder swapped for a link while it goes on.
#include "walk/walk.h"

#include "jobfile/namepatterns.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <utility>
#include <vector>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#endif

namespace
{
// Names are kept as UTF-8, which holds every name Qt lists.
QString decodeUtf8(const QByteArray &name)
{
    return QString::fromUtf8(name);
}

void append(NameList &names, const QString &name, bool isLink)
{
    const QByteArray bytes = name.toUtf8();
    names.append(bytes.constData(), bytes.size(), isLink);
}

#ifndef AT_FDCWD
constexpr int AT_FDCWD = -100;
#endif

struct PendingFolder {
    QString path;
    NameList subfolders{decodeUtf8};
    int next = 0;
};
} // namespace

struct FolderWalk::State {
    const NamePatterns &patterns;
    QString rootPath; // until it is entered
    std::vector<PendingFolder> pending;
    Folder folder{decodeUtf8};             // the one yielded last
    QVector<PassedOver> *const passedOver; // null unless the walk names what it passes over

    const Folder *enter(const QString &path);
    bool isReadable(const QString &path);
    void namePassedOver(const QDir &dir, const QString &path);
};

void FolderWalk::Delete::operator()(State *state) const
{
    delete state;
}

// Names are matched here rather than by Qt's name filters, which would also take the Kelvin sign
// for a "k". Links to files are listed as files; links to folders are not followed.
const Folder *FolderWalk::State::enter(const QString &path)
{
    const QDir dir(path);
    if (passedOver && !isReadable(path))
        return nullptr;
    folder.outcome = FolderOutcome::Listed;
    folder.path = path;
    folder.id = fileIdOf(path);
    folder.files.clear();
    for (const QFileInfo &info : dir.entryInfoList(QDir::Files, QDir::Unsorted)) {
        if (patterns.matches(info.fileName()))
            append(folder.files, info.fileName(), info.isSymLink());
    }
    folder.files.sort();
    PendingFolder next;
    next.path = path;
    const QByteArray encodedPath = QFile::encodeName(path);
    for (const QString &sub :
         dir.entryList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Unsorted)) {
        // A verbose run keeps a mount point, marked as a link, to name it where the walk comes
        // to it, as the walk by handles does. A folder that cannot be looked at is taken for
        // one too; it is named as what it is.
        if (!isMountPoint(AT_FDCWD, encodedPath, AT_FDCWD,
                          QFile::encodeName(joinedPath(path, sub))))
            append(next.subfolders, sub, false);
        else if (passedOver)
            append(next.subfolders, sub, true);
    }
    next.subfolders.sort();
    if (passedOver)
        namePassedOver(dir, path);
    const bool worthYielding = folder.files.size() > 0 || next.subfolders.size() > 0;
    pending.push_back(std::move(next));
    return worthYielding ? &folder : nullptr;
}

// Qt lists nothing of a folder it cannot read, and says nothing of it either: a verbose run asks
// first, and names the folder. Qt tells no error: a folder that cannot even be looked at, in a
// parent that may not be entered, is no more gone than its parent.
bool FolderWalk::State::isReadable(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && info.isReadable())
        return true;
    const bool gone = !info.exists() && QFileInfo(info.path()).isExecutable();
    passedOver->append({path, gone ? PassedOverReason::Gone : PassedOverReason::NotReadable});
    return false;
}

// What the listings above leave out that a verbose run names: hidden folders (and links to
// them), hidden files whose names match, and links to folders.
void FolderWalk::State::namePassedOver(const QDir &dir, const QString &path)
{
    QVector<PassedOverName> names;
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &info : entries) {
        if (info.isHidden() &&
            (info.isDir() || (info.isFile() && patterns.matches(info.fileName()))))
            names.append({info.fileName().toUtf8(), PassedOverReason::Hidden});
        else if (!info.isHidden() && info.isSymLink() && info.isDir())
            names.append({info.fileName().toUtf8(), PassedOverReason::LinkToFolder});
    }
    appendPassedOver(*passedOver, path, names, decodeUtf8);
}

const Folder *FolderWalk::enterNextFolder()
{
    if (!state->rootPath.isNull()) {
        if (const Folder *folder = state->enter(std::exchange(state->rootPath, QString())))
            return folder;
    }
    std::vector<PendingFolder> &pending = state->pending;
    while (!pending.empty()) {
        PendingFolder &top = pending.back();
        if (top.next >= top.subfolders.size()) {
            pending.pop_back();
            continue;
        }
        const bool isMountPoint = top.subfolders.isLinkAt(top.next);
        const QString path = joinedPath(top.path, top.subfolders.nameAt(top.next++));
        if (isMountPoint) {
            if (state->isReadable(path))
                state->passedOver->append({path, PassedOverReason::OtherMount});
        } else if (const Folder *folder = state->enter(path)) {
            return folder;
        }
    }
    return nullptr;
}

// By path alone the walk cannot tell which folder above has moved: the folder in hand and all
// below it are passed over.
void FolderWalk::passOverMoved()
{
    if (state->pending.empty() || state->pending.back().path != state->folder.path)
        return;
    state->pending.back().subfolders.clear();
    if (state->passedOver)
        state->passedOver->append({state->folder.path, PassedOverReason::Moved});
}

bool reportedMoved(const Folder &folder)
{
    Q_UNUSED(folder)
    return false;
}

FolderOutcome placeOf(const Folder &folder)
{
    if (!folder.id.isKnown() || fileIdOf(folder.path) == folder.id)
        return FolderOutcome::Listed;
    return FolderOutcome::Moved;
}

FolderWalk::FolderWalk(const QString &rootPath, const NamePatterns &patterns, bool namesPassedOver)
    : state(new State{
          patterns, rootPath, {}, Folder(decodeUtf8), namesPassedOver ? &passedOver : nullptr})
{
}

FolderWalk::~FolderWalk() = default;
