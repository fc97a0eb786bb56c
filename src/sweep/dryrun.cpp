#include "sweep/dryrun.h"

#include "sweep/agerule.h"

#include <QFileInfo>

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
void DryRunRecord::beginFolder(const Folder &folder, qint64 begun)
{
    inHand = nullptr;
    folderInHand = folderKeyOf(folder.identity(), folder.path);
    QVector<FolderSweep> &sweeps = foldersTaken[folderInHand];
    sweeps.reserve(sweeps.size() + 1);
    takenInHand.assign(size_t(folder.files.size()), false);
    anyTakenInHand = false;
    inHand = &folder;
    begunMs = begun;
}

// When files were taken, the record keeps the sweep, in the room made for it; else the room goes.
// Where even the name it ended before cannot be kept, the sweep is not: the files it took are
// shown again, rather than files the real run removes passed over in silence.
void DryRunRecord::endFolder(int file)
{
    if (!inHand)
        return;
    const auto sweeps = foldersTaken.find(folderInHand);
    if (sweeps != foldersTaken.end() && anyTakenInHand) {
        try {
            int endedBefore = -1;
            if (file < inHand->files.size()) {
                const QByteArray name = inHand->files.bytesAt(file);
                // A copy, which outlives the listing.
                namesEndedBefore.append(QByteArray(name.constData(), name.size()));
                endedBefore = namesEndedBefore.size() - 1;
            }
            sweeps->append({jobRules.size() - 1, endedBefore, begunMs});
        } catch (const std::bad_alloc &) {
        }
    }
    if (sweeps != foldersTaken.end() && sweeps->isEmpty())
        foldersTaken.erase(sweeps);
    inHand = nullptr;
}

// As the real run finds gone what it removed before: an entry removed before (two jobs over one
// folder), and a link whose way leads through an entry removed before (a link to a file the run
// removed, also to one of its names).
bool DryRunRecord::takenEarlier(const Folder &folder, int file, const EntryStatus &status)
{
    const QByteArray name = folder.files.bytesAt(file);
    if (takenBefore(folderInHand, name, Seen::Listed, status))
        return true;
    if (folder.files.isLinkAt(file)) {
        for (const WayStep &step : folder.wayOfLink(name)) {
            const QByteArray key = folderKeyOf(step.folder, step.folderPath);
            if ((key == folderInHand && isTakenInHand(step.name)) ||
                takenBefore(key, step.name, Seen::MaybeHidden, status))
                return true;
        }
    }
    takenInHand[size_t(file)] = true;
    anyTakenInHand = true;
    return false;
}

// Whether an earlier sweep of the folder took the entry. An entry listed in the folder now was
// listed by every earlier sweep of it; one a link leads to was listed only when its name is not
// hidden. A sweep that ended part way came only to the names before the one it ended at. The
// file at the end of the way is the same for every step of it: its age decides for all.
bool DryRunRecord::takenBefore(const QByteArray &folderKey, const QByteArray &name, Seen seen,
                               const EntryStatus &status) const
{
    if (seen == Seen::MaybeHidden && name.startsWith('.'))
        return false;
    const auto sweeps = foldersTaken.constFind(folderKey);
    if (sweeps == foldersTaken.constEnd())
        return false;
    for (const FolderSweep &sweep : *sweeps) {
        const JobRule &rule = jobRules.at(sweep.job);
        AgeRule then(rule.retentionDays);
        then.setNow(sweep.begunMs);
        if (rule.patterns.matches(name) && then.isOldEnough(status.createdMs) &&
            (sweep.endedBefore < 0 || NameList::precedes(inHand->files.decoder(), name,
                                                         namesEndedBefore.at(sweep.endedBefore))))
            return true;
    }
    return false;
}

// Only a link leads back into the folder in hand, and seldom: its listing is searched then.
bool DryRunRecord::isTakenInHand(const QByteArray &name) const
{
    for (int file = 0; anyTakenInHand && file < inHand->files.size(); ++file) {
        if (takenInHand[size_t(file)] && inHand->files.bytesAt(file) == name)
            return true;
    }
    return false;
}
