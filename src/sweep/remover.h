// The one place where files are removed: it judges each listed file on its status read right
// before its removal, and removes it.
#ifndef KEHRLUND_REMOVER_H
#define KEHRLUND_REMOVER_H

#include "sweep/agerule.h"
#include "sweep/dryrun.h"
#include "sweep/fileoutcome.h"
#include "system/heldup.h"
#include "walk/walk.h"

#include <optional>

class FilesHeldOpen;
class NamePatterns;
class OwnFiles;

class Remover
{
  public:
    Remover(const OwnFiles &ownFiles, const FilesHeldOpen &heldOpen);

    // A dry run removes nothing, and takes as removed what the real run would remove.
    void setDryRun(bool on) { dryRun = on; }

    void beginJob(int retentionDays, const NamePatterns &patterns);

    // Whether the folder's files may be removed now (Listed). Ages are measured against the clock
    // as each folder is begun. A dry run short of memory for its record throws std::bad_alloc.
    FolderOutcome beginFolder(const Folder &folder);
    // The folder's sweep ends before its file `file` (its count when it came to every file).
    void endFolder(int file);

    // What the sweep knows of a file it judged.
    struct Judgement {
        int ageDays = 0;
        EntryStatus status;
        std::optional<Folder::InUse> lease; // for a file to go, across its removal
    };
    FileOutcome judge(const Folder &folder, int file, Judgement &judged);
    // Removes a file judged to go: Removed, Refused, or Gone; in a dry run, as the real run would.
    FileOutcome remove(const Folder &folder, int file, Judgement &judged);

    QDateTime referenceTime() const { return age.referenceTime(); }

  private:
    FolderOutcome checkPlace(const Folder &folder);
    FileOutcome whyNotRead(const Folder &folder, const QByteArray &name, bool isLink,
                           int error) const;
    FileOutcome whetherHeld(const Folder::InUse &inUse, const FileId &id) const;

    const OwnFiles &ownFiles;
    const FilesHeldOpen &heldOpen;
    bool dryRun = false;
    AgeRule age{0};
    HeldUp::Mark placeChecked;
    DryRunRecord dryRunRecord;
};

#endif
