// The walk over one folder tree: yields its folders with the files whose names match, and knows
// nothing of ages or hits. One back end per kind of system, chosen by the build: folder handles
// where the system has them (walk_handles.cpp), paths through Qt elsewhere (walk_paths.cpp).
#ifndef KEHRLUND_WALK_H
#define KEHRLUND_WALK_H

#include "listedfolder.h"

#include <QString>

#include <atomic>
#include <memory>

class NamePatterns;

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
    // Whether next() would answer without waiting for the listing.
    bool hasNextReady() const;

    // A folder the sweep is done with: let go of in the listing's thread, which made it (and so
    // frees its memory without waiting for another thread's allocator) and may want its handles.
    void giveBack(std::shared_ptr<const ListedFolder> folder);

    // Nothing more is wanted: the listing stops at its next step.
    void giveUp();

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
    std::unique_ptr<State, Delete> state;
    std::unique_ptr<Lookahead, Delete> lookahead;
};

// The path of an entry: the folder path, the native separator and the name, joined as they are.
QString joinedPath(const QString &folderPath, const QString &name);

#endif
