// The files held open: one snapshot per run, whatever the size of the trees, of those other
// programs hold open and those this program's own standard output and error go to (a console log
// in a swept folder). Processes this program may not inspect are not in it. Taken only in part (no
// descriptor or memory to spare, no /proc), it lets any file be held open. Empty where the system
// itself refuses to delete a file in use (Windows).
#ifndef KEHRLUND_OPENFILES_H
#define KEHRLUND_OPENFILES_H

#include "system/fileid.h"

#include <QSet>

class FilesHeldOpen
{
  public:
    static FilesHeldOpen snapshot();

    bool isComplete() const { return complete; }
    bool mayBeHeld(const FileId &id) const { return !complete || ids.contains(id); }

  private:
    QSet<FileId> ids;
    bool complete = true;
};

#ifndef Q_OS_LINUX
inline FilesHeldOpen FilesHeldOpen::snapshot()
{
    return {};
}
#endif

#endif
