// What the sweep hands to the removal for one file found old enough.
#ifndef KEHRLUND_SWEEP_H
#define KEHRLUND_SWEEP_H

#include "fileid.h"
#include "walk.h"

#include <QString>

struct Hit {
    const FolderWalk &walk; // removes the entry where the walk found it
    const WalkEntry &entry;
    QString path;          // the real path
    QString shownPath;     // as the console's error message and the run log show it
    QString shownFileName; // as the hit message shows it
    int ageDays = 0;
    FileId id;
    quint64 names = 0;
};

#endif
