// What the sweep hands to the removal for one file found old enough.
#ifndef KEHRLUND_SWEEP_H
#define KEHRLUND_SWEEP_H

#include "fileid.h"
#include "walk.h"

#include <QByteArray>
#include <QString>

// The entry and the report of a removal are made ready with the decision, so that the removal
// itself has little more to do than remove and write.
struct Hit {
    WalkEntry entry;   // removed where the walk found it
    QString path;      // the real path
    QString shownPath; // as the console's error messages and the run log show it
    FileId id;
    quint64 names = 0;
    QByteArray logEntry; // the run log's entry for the removal
    QByteArray report;   // the console's lines for the hit
};

#endif
