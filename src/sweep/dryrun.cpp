#include "sweep/dryrun.h"

#include <QFileInfo>

#include <algorithm>
#include <new>

namespace
{
// A folder's key in the record: its identity, or where the system tells none, its canonical path.
QByteArray folderKeyOf(const FileId &id, const QString &path)
{
    if (id.isKnown())
        return QByteArray::number(id.device, 36) + ':' + QByteArray::number(id.inode, 36);
    return QFileInfo(path).canonicalFilePath().toUtf8();
}
} // namespace

// No memory is asked for once the sweep has begun but for the name a sweep ended before.
void DryRunRecord::beginFolder(const Folder &folder, qint64 oldEnoughBefore)
{
    inHand = nullptr;
    folderInHand = folderKeyOf(folder.identity(), folder.path);
    QVector<FolderSweep> &sweeps = foldersTaken[folderInHand];
    sweeps.reserve(sweeps.size() + 1);
    takenInHand.assign(size_t(folder.files.size()), false);
    inHand = &folder;
    oldEnoughBeforeMs = oldEnoughBefore;
}

// When files were taken, the record keeps the sweep, in the room made for it; else the room goes.
// Where even the name it ended before cannot be kept, the sweep is not: the files it took are
// shown again, rather than files the real run removes passed over in silence.
void DryRunRecord::endFolder(int file)
{
    if (!inHand)
        return;
    const auto sweeps = foldersTaken.find(folderInHand); // made as the folder began
    if (std::find(takenInHand.begin(), takenInHand.end(), true) != takenInHand.end()) {
        try {
            int endedBefore = -1;
            if (file < inHand->files.size()) {
                const QByteArray name = inHand->files.bytesAt(file);
                // A copy, which outlives the listing.
                namesEndedBefore.append(QByteArray(name.constData(), name.size()));
                endedBefore = namesEndedBefore.size() - 1;
            }
            sweeps->append({jobPatterns.size() - 1, endedBefore, oldEnoughBeforeMs});
        } catch (const std::bad_alloc &) {
        }
    }
    if (sweeps->isEmpty())
        foldersTaken.erase(sweeps);
    inHand = nullptr;
}

// As the real run finds gone what it removed before: the entry (two jobs over one folder), or one
// a link's way leads through (a link to a file removed, or to one of its names). A listed entry
// was listed by every earlier sweep of its folder; one a link leads to, only if not hidden.
bool DryRunRecord::takenEarlier(const Folder &folder, int file, const EntryStatus &status)
{
    const QByteArray name = folder.files.bytesAt(file);
    if (takenBefore(folderInHand, name, status))
        return true;
    if (folder.files.isLinkAt(file)) {
        for (const WayStep &step : folder.wayOfLink(name)) {
            const QByteArray key = folderKeyOf(step.folder, step.folderPath);
            if ((key == folderInHand && isTakenInHand(step.name)) ||
                (!step.name.startsWith('.') && takenBefore(key, step.name, status)))
                return true;
        }
    }
    takenInHand[size_t(file)] = true;
    return false;
}

// Whether an earlier sweep of the folder took the entry, listed there. A sweep that ended part way
// came only to the names before the one it ended at. The file at the end of the way is the same for
// every step of it: its age decides for all.
bool DryRunRecord::takenBefore(const QByteArray &folderKey, const QByteArray &name,
                               const EntryStatus &status) const
{
    const auto sweeps = foldersTaken.constFind(folderKey);
    if (sweeps == foldersTaken.constEnd())
        return false;
    for (const FolderSweep &sweep : *sweeps) {
        if (jobPatterns.at(sweep.job).matches(name) && status.createdMs < sweep.oldEnoughBeforeMs &&
            (sweep.endedBefore < 0 ||
             NameList::precedes(decodedName, name, namesEndedBefore.at(sweep.endedBefore))))
            return true;
    }
    return false;
}

// Only a link leads back into the folder in hand, and seldom: its listing is searched then.
bool DryRunRecord::isTakenInHand(const QByteArray &name) const
{
    for (int file = 0; file < inHand->files.size(); ++file) {
        if (takenInHand[size_t(file)] && inHand->files.bytesAt(file) == name)
            return true;
    }
    return false;
}
