// A folder as the walk hands it on to the sweep.
#ifndef KEHRLUND_LISTEDFOLDER_H
#define KEHRLUND_LISTEDFOLDER_H

#include "fileid.h"
#include "namelist.h"

#include <QByteArray>
#include <QString>

#include <memory>

class FolderHandle;

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

#endif
