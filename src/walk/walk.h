// The walk knows nothing of ages or hits.
#ifndef KEHRLUND_WALK_H
#define KEHRLUND_WALK_H

#include "system/fileid.h"
#include "walk/namelist.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <memory>
#include <utility>
#include <vector>

class FolderWalk;
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

struct EntryStatus {
    qint64 createdMs = 0; // birth time, or status-change time where no birth time is kept
    FileId id;
    int error = 0; // why it could not be read: the system's error; 0 when it is no regular file
};

// How many links in a row the system itself follows before it gives up; a dry run follows as many.
constexpr int linksFollowedAtMost = 40;

// One entry a link leads through: the identity of the folder that holds it (its path, where the
// system tells no identities) and its name there.
struct WayStep {
    FileId folder;
    QString folderPath;
    QByteArray name;
};

// The back end's: a name as the file system spells it, as text.
QString decodedName(const QByteArray &name);

struct PassedOverName {
    QByteArray name;
    PassedOverReason reason;
};

// A folder as the walk yields it, and what the sweep does to its entries, by their names as the
// file system spells them; valid until the walk goes on.
class Folder
{
  public:
    FolderOutcome outcome = FolderOutcome::Listed;
    QString path;                // the root as given, then separator and name for each level below
    NameList files{decodedName}; // those whose names match, in name order

    // Listed while the folder is still where the walk found it; Moved when it is not; NotListed
    // when that could not be found out for lack of descriptors or memory.
    FolderOutcome place() const;
    // Whether the system reported a move of the folder, or of one on its way from the root, since
    // last asked; it watches them from the first time it is asked. Always false where it reports
    // none.
    bool reportedMoved() const;
    // False when the entry is no regular file (any more), or, listed as a link, leads to none.
    bool readStatus(const QByteArray &name, bool isLink, EntryStatus &status) const;
    // 0, or the system's error.
    int remove(const QByteArray &name) const;
    // Whether the entry itself is there, a link not followed.
    bool entryIsThere(const QByteArray &name) const;
    // Each entry a listed link leads through, the file at its end last; empty for no link.
    QVector<WayStep> wayOfLink(const QByteArray &name) const;
    const FileId &identity() const { return id; }

    // Whether another process has the file open or mapped; where a lease tells, the answer holds
    // while this lives. Changed when the name leads to another file than the one judged.
    class InUse
    {
      public:
        enum Answer { No, Yes, Unknown, Changed };
        InUse(const Folder &folder, const QByteArray &name, bool isLink, const FileId &id);
        ~InUse();
        InUse(const InUse &) = delete;
        InUse &operator=(const InUse &) = delete;

        Answer answer = Unknown;

      private:
        int handle = -1;
    };

  private:
    friend class FolderWalk;

    // The folder the walk opened (unknown where the system tells no identities).
    FileId id;
#ifndef KEHRLUND_WALK_BY_PATHS
    // The way to it from the job's root, names joined by '/' (empty for the root itself); the
    // handles are the walk's, held until it goes on.
    QByteArray below, rootPath;
    FileId rootId;
    int handle = -1, rootHandle = -1, moveWatch = -1;
    FolderWalk *walk = nullptr; // whose levels are the folder's way
#endif
};

// Depth-first, each folder before its subfolders by name. Hidden and system entries, links to
// folders, mount points and folders that cannot be read are passed over. A folder is yielded when
// it holds matching files or subfolders, or could not be listed for lack of descriptors or memory.
class FolderWalk
{
  public:
    FolderWalk(const QString &rootPath, const NamePatterns &patterns, bool namesPassedOver = false);
    ~FolderWalk();

    // The next folder; null when none is left, a stop was requested or memory ran short.
    const Folder *next();
    // The folder yielded last has left its place: it is passed over with all below it, and so is
    // the highest folder above it that has moved too (or the whole tree, when the root has).
    void passOverMoved();
    // The walk ran short of memory and ended early: the rest of the tree was not listed.
    bool wasCutShort() const { return cutShort; }
    // What the walk passed over since last asked, in its order; gathered only if it names it.
    QVector<PassedOver> takePassedOver() { return std::exchange(passedOver, {}); }

  private:
    friend class Folder;

    // A folder on the way down, from the root to the one entered last.
    struct Level {
        NameList subfolders{decodedName};
        int next = 0;
        int pathLength = 0;
#ifndef KEHRLUND_WALK_BY_PATHS
        int handle = -1; // -1 once given up (and not had again); the root's is never given up
        int watch = -1;  // its watch for moves; -1 where it has none (yet)
        FileId id{};
        int belowLength = 0;
#endif
    };

    const Folder *entered(NameList &subfolders); // the folder's files and subfolders sorted
    void passOver(const QString &passedPath, PassedOverReason reason);
    // The names one listing of the folder entered last passed over, in the order it gave them.
    void passOver(QVector<PassedOverName> names);
    void passOverMoved(std::size_t moved);

    // The back end's (with the walk's making and end): its state; enter the root, or the last
    // level's next subfolder (at `path`); leave the last level; the highest level from the root
    // down to `moved` that has moved.
    struct State;
    const Folder *enterRoot();
    const Folder *enterSubfolder(int sub);
    void leaveLevel();
    std::size_t highestMoved(std::size_t moved) const;

    const NamePatterns &patterns;
    QString path; // of the folder entered last
    std::vector<Level> levels;
    Folder folder;                // the one yielded last
    std::unique_ptr<State> state; // after the levels: it gives up their handles as it ends
    bool rootEntered = false;
    bool cutShort = false;
    const bool namesPassedOver;
    QVector<PassedOver> passedOver;
};

// The path of an entry: the folder path, the native separator and the name, joined as they are.
QString joinedPath(const QString &folderPath, const QString &name);

// Whether the folder at `path` (below the handle `at`, AT_FDCWD for none; empty for `at` itself)
// lies on another mount than its parent (`parentAt`, `parentPath` alike), a bind mount too. Never
// so where the system tells no mounts.
bool isMountPoint(int parentAt, const QByteArray &parentPath, int at, const QByteArray &path);

#endif
