// What both back ends of the walk share: listing folders ahead of the sweep, and the path rule.
#include "walk/walk.h"

#include "system/handover.h"
#include "system/stopsignals.h"

#include <QDir>

#include <mutex>
#include <new>
#include <vector>

QString joinedPath(const QString &folderPath, const QString &name)
{
    return folderPath + QDir::separator() + name;
}

// The folders are listed in a thread of their own, a few folders ahead of the sweep, so that
// reading folders overlaps with judging and removing files. Few are kept ahead, each weighed by
// its names (about a thousand names count as one folder), so that neither the open handles nor
// the memory grow with the tree. Where no thread can be started, the sweep lists each folder
// itself when it comes to it.
struct FolderWalk::Lookahead {
    Handover<std::shared_ptr<const ListedFolder>> listed{8};
    std::mutex returnedMutex;
    std::vector<std::shared_ptr<const ListedFolder>> returned;
    static std::size_t weightOf(const ListedFolder &folder)
    {
        return 1 + std::size_t(folder.files.size()) / 1024;
    }
    std::deque<std::shared_ptr<const ListedFolder>> taken;
    std::thread thread;
    bool threaded = false;
};

void FolderWalk::Delete::operator()(Lookahead *lookahead) const
{
    delete lookahead;
}

bool FolderWalk::mustStop() const
{
    return givenUp || stopRequested();
}

void FolderWalk::giveBack(std::shared_ptr<const ListedFolder> folder)
{
    if (!lookahead->threaded)
        return;
    {
        const std::lock_guard<std::mutex> lock(lookahead->returnedMutex);
        lookahead->returned.push_back(std::move(folder));
    }
    wakeListing();
}

void FolderWalk::letGoOfReturned()
{
    std::vector<std::shared_ptr<const ListedFolder>> done;
    {
        const std::lock_guard<std::mutex> lock(lookahead->returnedMutex);
        done.swap(lookahead->returned);
    }
}

// Short of memory where a folder's own listing is not to blame, the walk cannot go on where it
// was: it ends, cut short.
std::shared_ptr<const ListedFolder> FolderWalk::nextHandedOn()
{
    while (!mustStop() && !cutShort) {
        letGoOfReturned();
        std::shared_ptr<ListedFolder> folder;
        try {
            folder = enterNextFolder();
        } catch (const std::bad_alloc &) {
            cutShort = true;
        }
        if (!folder)
            break;
        if (folder->files.size() > 0 || folder->hasSubfolders || folder->notSwept)
            return folder;
    }
    return nullptr;
}

void FolderWalk::listAhead()
{
    try {
        while (std::shared_ptr<const ListedFolder> folder = nextHandedOn()) {
            const std::size_t weight = Lookahead::weightOf(*folder);
            if (!lookahead->listed.give(std::move(folder), weight))
                return;
        }
    } catch (const std::bad_alloc &) {
        cutShort = true;
    }
    lookahead->listed.finish();
}

void FolderWalk::startListing()
{
    lookahead.reset(new Lookahead);
    lookahead->threaded = startWorker(lookahead->thread, [this] { listAhead(); });
}

void FolderWalk::giveUp()
{
    givenUp = true;
    lookahead->listed.abandon();
    wakeListing();
}

FolderWalk::~FolderWalk()
{
    giveUp();
    if (lookahead->threaded)
        lookahead->thread.join();
}

bool FolderWalk::hasNextReady() const
{
    return lookahead->threaded && (!lookahead->taken.empty() || lookahead->listed.isReady());
}

std::shared_ptr<const ListedFolder> FolderWalk::next()
{
    if (!lookahead->threaded)
        return nextHandedOn();
    if (lookahead->taken.empty() && !lookahead->listed.takeAll(lookahead->taken))
        return nullptr;
    std::shared_ptr<const ListedFolder> folder = std::move(lookahead->taken.front());
    lookahead->taken.pop_front();
    return folder;
}
