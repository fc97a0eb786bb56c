// The walk over one folder tree: yields the files whose names match, folder by folder, and knows
// nothing of ages or hits. One back end per kind of system, chosen by the build: folder handles
// where the system has them (walk_handles.cpp), paths through Qt elsewhere (walk_paths.cpp).
#ifndef KEHRLUND_WALK_H
#define KEHRLUND_WALK_H

#include "fileid.h"
#include "namelist.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <memory>

class FolderHandle;
class NamePatterns;

// A folder as the walk listed it.
struct ListedFolder {
    explicit ListedFolder(NameList::Decoder decode) : files(decode) {}
    QString path;   // the root as given, then separator and name for each level below
    NameList files; // those whose names match, in name order
    // Where the walk goes by folder handles; shared by the entries taken from the folder, so
    // that they can still be judged and removed there after the walk has gone on.
    std::shared_ptr<const FolderHandle> handle;
};

// A file the walk met.
struct WalkEntry {
    std::shared_ptr<const FolderHandle> folder;
    QString folderPath;
    QByteArray encodedName;    // as the file system spells it; a view, until the walk goes on
    bool isLink = false;       // a symbolic link, judged by what it points to
    bool startsFolder = false; // the first file the walk yields from its folder
    NameList::Decoder decode = nullptr;

    // The name as text (bytes that are no valid text as U+FFFD). Decoded only when asked: most
    // files a walk yields are young, and only a hit needs its name.
    QString name() const { return decode(encodedName); }
};

struct EntryStatus {
    qint64 createdMs = 0; // birth time, or status-change time where no birth time is kept
    FileId id;
    quint64 names = 0; // the number of names (hard links) the file has, where known
};

enum class Removal {
    Removed,
    Refused, // the system would not remove it; it is still there
    Vanished // gone, or no longer a file, since the walk listed it: another run got there first
};

// The path of an entry: the folder path, the native separator and the name, joined as they are.
QString joinedPath(const QString &folderPath, const QString &name);

// Depth-first, each folder before its subfolders: first a folder's files by name, then each
// subfolder's tree by name. Hidden entries, system entries (FIFOs, sockets, devices) and
// symbolic links to folders are passed over. A folder that cannot be read is passed over.
class FolderWalk
{
  public:
    FolderWalk(const QString &rootPath, const NamePatterns &patterns);
    ~FolderWalk();
    FolderWalk(const FolderWalk &) = delete;
    FolderWalk &operator=(const FolderWalk &) = delete;

    bool next(WalkEntry &entry);

    // The status of an entry; false when it is not a regular file (any more), or a link that
    // leads to none.
    static bool readStatus(const WalkEntry &entry, EntryStatus &status);
    static Removal remove(const WalkEntry &entry);

  private:
    // The back end lists the next folder of the walk; null when none is left.
    std::shared_ptr<ListedFolder> enterNextFolder();
    void startListing(); // the back end's constructor ends with it
    void listAhead();

    std::shared_ptr<const ListedFolder> current;
    int nextFile = 0;
    struct State;     // the back end's
    struct Lookahead; // shared by both
    struct Delete {   // each where its type is known
        void operator()(State *state) const;
        void operator()(Lookahead *lookahead) const;
    };
    std::unique_ptr<State, Delete> state;
    std::unique_ptr<Lookahead, Delete> lookahead;
};

#endif
