// What a dry run has taken as removed, so that it finds gone what the real run would find gone:
// an entry removed before (two jobs over one folder), and the target of a link whose way leads
// through an entry removed before (a link to a file the run removed, also to one of its names).
#ifndef KEHRLUND_DRYRUN_H
#define KEHRLUND_DRYRUN_H

#include "listedfolder.h"

#include <QByteArray>
#include <QSet>

class DryRunRemovals
{
  public:
    bool isGone(const ListedFolder &folder, const QByteArray &name, bool isLink) const;
    void remember(const ListedFolder &folder, const QByteArray &name);

  private:
    QSet<QByteArray> removed; // each as the folder's canonical path and the name
};

#endif
