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
    Folder folder{decodeUtf8}; // the one yielded last

    const Folder *enter(const QString &path);
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
        if (!isMountPoint(AT_FDCWD, encodedPath, AT_FDCWD,
                          QFile::encodeName(joinedPath(path, sub))))
            append(next.subfolders, sub, false);
    }
    next.subfolders.sort();
    const bool worthYielding = folder.files.size() > 0 || next.subfolders.size() > 0;
    pending.push_back(std::move(next));
    return worthYielding ? &folder : nullptr;
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
        const QString name = top.subfolders.nameAt(top.next++);
        if (const Folder *folder = state->enter(joinedPath(top.path, name)))
            return folder;
    }
    return nullptr;
}

// By path alone the walk cannot tell which folder above has moved: the folder in hand and all
// below it are passed over.
void FolderWalk::passOverMoved()
{
    if (!state->pending.empty() && state->pending.back().path == state->folder.path)
        state->pending.back().subfolders.clear();
}

FolderOutcome placeOf(const Folder &folder)
{
    if (!folder.id.isKnown() || fileIdOf(folder.path) == folder.id)
        return FolderOutcome::Listed;
    return FolderOutcome::Moved;
}

FolderWalk::FolderWalk(const QString &rootPath, const NamePatterns &patterns)
    : state(new State{patterns, rootPath, {}, Folder(decodeUtf8)})
{
}

FolderWalk::~FolderWalk() = default;
