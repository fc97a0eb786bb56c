// The walk over one folder tree: yields its folders with the files whose names match, and knows
// nothing of ages or hits. One back end per kind of system, chosen by the build: folder handles
// where the system has them (walk_handles.cpp), paths through Qt elsewhere (walk_paths.cpp).
#ifndef KEHRLUND_WALK_H
#define KEHRLUND_WALK_H

#include "system/fileid.h"
#include "walk/namelist.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>

class NamePatterns;

// An open folder of the walk through folder handles, shared by the listings that lie in it: the
// walk closes it when the last of them lets go of it.
struct FolderHandle {
    int descriptor = -1;
};

// A folder as the walk hands it on to the sweep.
struct ListedFolder {
    explicit ListedFolder(NameList::Decoder decode) : files(decode) {}

    QString path;   // the root as given, then separator and name for each level below
    NameList files; // those whose names match, in name order
    int depth = 0;  // 0 for the root
    bool hasSubfolders = false;
    // It could not be opened or listed for lack of descriptors or memory: nothing of it or below
    // it is swept, and the sweep says so.
    bool notSwept = false;

    // What the sweep needs to see that the folder is still where the walk found it: the folder
    // the walk opened, and its name in its parent (as the file system spells it).
    FileId id;
    QByteArray nameInParent;
    // Where the walk goes by folder handles: the folder and the folder it was opened from (none
    // for the root), kept open so that the sweep can still check the folder's place and judge
    // and remove its files there after the walk has gone on.
    std::shared_ptr<const FolderHandle> handle;
    std::shared_ptr<const FolderHandle> parent;
};

// How many folder handles the walk of one job holds open at most, all together: the folders on
// its way down, those listed ahead of the sweep and those the sweep is working in. Fewer where
// fewer descriptors are free; well below the usual limit of 1,024 per process.
constexpr int folderHandlesAtMost = 32;

// Depth-first, each folder before its subfolders, subfolders by name. Hidden entries, system
// entries (FIFOs, sockets, devices), symbolic links to folders and mount points are passed over,
// and so is a folder that cannot be read. A folder is handed on when it holds matching files or
// subfolders, or could not be listed for lack of descriptors or memory.
class FolderWalk
{
  public:
    FolderWalk(const QString &rootPath, const NamePatterns &patterns);
    ~FolderWalk();
    FolderWalk(const FolderWalk &) = delete;
    FolderWalk &operator=(const FolderWalk &) = delete;

    // The next folder; null when none is left or a stop was requested.
    std::shared_ptr<const ListedFolder> next();
    // Whether a folder listed ahead waits, so that next() needs neither wait for the listing nor
    // list (and open) the folder itself, perhaps with handles the caller still holds.
    bool hasNextReady() const;

    // A folder the sweep is done with: let go of in the listing's thread, which made it (and so
    // frees its memory without waiting for another thread's allocator) and may want its handles;
    // where the listing has no thread of its own, at once.
    void giveBack(std::shared_ptr<const ListedFolder> folder);

    // Nothing more is wanted: the listing stops at its next step.
    void giveUp();

    // The walk ran short of memory and ended early: the rest of the tree was not listed.
    bool wasCutShort() const { return cutShort; }

  private:
    // The back end lists the next folder of the walk; null when none is left.
    std::shared_ptr<ListedFolder> enterNextFolder();
    std::shared_ptr<const ListedFolder> nextHandedOn();
    void startListing(); // the back end's constructor ends with it
    void listAhead();
    void wakeListing(); // the back end's, when the listing is to stop or handles come back
    void letGoOfReturned();

    struct State;     // the back end's
    struct Lookahead; // shared by both
    struct Delete {   // each where its type is known
        void operator()(State *state) const;
        void operator()(Lookahead *lookahead) const;
    };
    bool mustStop() const;

    std::atomic<bool> givenUp{false};
    std::atomic<bool> cutShort{false};
    std::unique_ptr<State, Delete> state;
    std::unique_ptr<Lookahead, Delete> lookahead;
};

// The path of an entry: the folder path, the native separator and the name, joined as they are.
QString joinedPath(const QString &folderPath, const QString &name);

#endif
