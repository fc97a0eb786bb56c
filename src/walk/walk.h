// The walk over one folder tree: yields its folders, each with the files whose names match, and
// knows nothing of ages or hits. One back end per kind of system, chosen by the build: folder
// handles where the system has them (walk_handles.cpp), paths through Qt elsewhere
// (walk_paths.cpp).
#ifndef KEHRLUND_WALK_H
#define KEHRLUND_WALK_H

#include "system/fileid.h"
#include "walk/namelist.h"

#include <QByteArray>
#include <QString>

#include <QVector>

#include <memory>

class NamePatterns;

// Why a run passed over a folder or a file it met; a verbose run names each on the console.
enum class PassedOverReason {
    NotReadable,  // it may not be opened, listed or looked at
    Gone,         // it vanished between its listing and its use
    Moved,        // it left its place while it was swept: passed over with all below it
    Hidden,       // a hidden folder, or a hidden file whose name matches
    LinkToFolder, // a symbolic link to a folder: not followed
    OtherMount,   // a mount point: the tree stays on its own file system
    InUse,        // another process holds the file open
};

struct PassedOver {
    QString path; // as the messages show paths: the root as given, then the way below it
    PassedOverReason reason;
};

// What became of a folder of the walk, as the sweep meets it.
enum class FolderOutcome {
    Listed,    // its matching files are listed; its subfolders follow it
    NotListed, // it could not be opened or listed for lack of descriptors or memory, or its
               // listing failed part way (an input or output error)
    Moved,     // the sweep found it gone from its place: passed over with all below it
};

// A folder as the walk yields it; valid until the walk goes on.
struct Folder {
    explicit Folder(NameList::Decoder decode) : files(decode) {}

    FolderOutcome outcome = FolderOutcome::Listed;
    QString path;   // the root as given, then separator and name for each level below
    NameList files; // those whose names match, in name order

    // What shows that the folder is still where the walk found it: the folder the walk opened,
    // and the way to it from the job's root: the names as the file system spells them, joined
    // by '/' (empty for the root itself), and the root's path and identity.
    FileId id;
    QByteArray below;
    QByteArray rootPath;
    FileId rootId;
    // Where the walk goes by folder handles: the folder's handle and the root's, held by the walk
    // until it goes on.
    int handle = -1;
    int rootHandle = -1;
    // Where the system reports moves: the walk's watch on the folders of its way from the root.
    int moveWatch = -1;
};

// Where the folder is now. Listed while it is still where the walk found it: the root still at
// its path, and the folder reachable from there by the same names, through no link, no hidden
// name and no other mount (where the system tells no identities, a folder is taken to be where
// it was). Moved when it is not; NotListed when that could not be found out for lack of
// descriptors or memory.
FolderOutcome placeOf(const Folder &folder);

// Whether the system reported that the folder, or one on its way from the root, was moved or
// deleted since last asked: its place is then checked before the next removal, so that no file
// is removed once its folder has left the tree, but the one being removed as it left. Always
// false where the system reports no moves (a file system that tells none, the walk by paths):
// there the place is checked again when time has gone by.
bool reportedMoved(const Folder &folder);

// How many folder handles the walk holds open at most: the root's, the folders on its way down
// (the deepest twelve keep theirs) and the one in hand. Fewer where fewer descriptors are free;
// well below the usual limit of 1,024 per process.
constexpr int folderHandlesAtMost = 32;

// Depth-first, each folder before its subfolders, subfolders by name. Hidden entries, system
// entries (FIFOs, sockets, devices), symbolic links to folders and mount points are passed over,
// and so is a folder that cannot be read. A folder is yielded when it holds matching files or
// subfolders, or could not be listed for lack of descriptors or memory.
class FolderWalk
{
  public:
    // Only a walk that names what it passes over gathers it: the others pay nothing for it.
    FolderWalk(const QString &rootPath, const NamePatterns &patterns, bool namesPassedOver = false);
    ~FolderWalk();
    FolderWalk(const FolderWalk &) = delete;
    FolderWalk &operator=(const FolderWalk &) = delete;

    // The next folder; null when none is left, a stop was requested or memory ran short.
    const Folder *next();
    // The folder yielded last is no longer where the walk found it: it is passed over with all
    // below it, and so is the highest folder above it that has moved too (or the whole tree,
    // when the root has).
    void passOverMoved();
    // The walk ran short of memory and ended early: the rest of the tree was not listed.
    bool wasCutShort() const { return cutShort; }
    // What the walk passed over since last asked, in its order; always empty unless it names
    // what it passes over.
    QVector<PassedOver> takePassedOver();

  private:
    const Folder *enterNextFolder(); // the back end's

    struct State; // the back end's
    struct Delete {
        void operator()(State *state) const;
    };
    std::unique_ptr<State, Delete> state;
    bool cutShort = false;
    QVector<PassedOver> passedOver;
};

// For the back ends: the names one listing passed over (in the order the listing gave them),
// added to `to` as paths below `folderPath`, in the order of a NameList.
struct PassedOverName {
    QByteArray name;
    PassedOverReason reason;
};
void appendPassedOver(QVector<PassedOver> &to, const QString &folderPath,
                      QVector<PassedOverName> names, NameList::Decoder decode);

// Why a folder could not be opened, by the error the system gave (not one for lack of
// descriptors or memory).
PassedOverReason passedOverFor(int error);

// The path of an entry: the folder path, the native separator and the name, joined as they are.
QString joinedPath(const QString &folderPath, const QString &name);

// Whether the folder at `path` (relative to the folder handle `at`; AT_FDCWD for none, an empty
// path for the handle itself) lies on another mount than its parent (`parentAt`, `parentPath`
// alike): another file system, or a bind mount on the same one. A job's tree stays on its own
// mount, as a link to a folder is not followed. Never so where the system tells no mounts.
bool isMountPoint(int parentAt, const QByteArray &parentPath, int at, const QByteArray &path);

#endif
