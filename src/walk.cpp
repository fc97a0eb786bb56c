// What both back ends of the walk share: listing folders ahead of the sweep, stepping through a
// folder's files, and the path rule.
#include "walk.h"

#include "handover.h"

#include <QDir>

#include <thread>

QString joinedPath(const QString &folderPath, const QString &name)
{
    return folderPath + QDir::separator() + name;
}

// The folders are listed in a thread of their own, a few folders ahead of the files being judged,
// so that reading folders overlaps with reading the files' status. Only folders with matching
// files are handed on. Few are kept ahead, each weighed by its names, so that neither the open
// handles nor the memory grow with the tree: about a thousand names count as one folder.
struct FolderWalk::Lookahead {
    Handover<std::shared_ptr<ListedFolder>> listed{16};
    static std::size_t weightOf(const ListedFolder &folder)
    {
        return 1 + std::size_t(folder.files.size()) / 1024;
    }
    std::deque<std::shared_ptr<ListedFolder>> taken;
    std::thread thread;
};

void FolderWalk::Delete::operator()(Lookahead *lookahead) const
{
    delete lookahead;
}

void FolderWalk::listAhead()
{
    while (std::shared_ptr<ListedFolder> folder = enterNextFolder()) {
        if (folder->files.size() == 0)
            continue;
        const std::size_t weight = Lookahead::weightOf(*folder);
        if (!lookahead->listed.give(std::move(folder), weight))
            return;
    }
    lookahead->listed.finish();
}

void FolderWalk::startListing()
{
    lookahead.reset(new Lookahead);
    lookahead->thread = std::thread([this] { listAhead(); });
}

FolderWalk::~FolderWalk()
{
    lookahead->listed.abandon();
    lookahead->thread.join();
}

bool FolderWalk::next(WalkEntry &entry)
{
    while (!current || nextFile >= current->files.size()) {
        if (lookahead->taken.empty() && !lookahead->listed.takeAll(lookahead->taken)) {
            current.reset();
            return false;
        }
        current = std::move(lookahead->taken.front());
        lookahead->taken.pop_front();
        nextFile = 0;
    }
    const int at = nextFile++;
    entry.folder = current->handle;
    entry.startsFolder = at == 0;
    entry.folderPath = current->path;
    entry.encodedName = current->files.bytesAt(at);
    entry.decode = current->files.decoder();
    entry.isLink = current->files.isLinkAt(at);
    return true;
}
