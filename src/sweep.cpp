// The sweep of one job's folder tree, the age test and the removal of hits.
#include "fegwerk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <map>
#include <vector>

#if defined(Q_OS_UNIX) && !defined(KEHRLUND_PLAIN_QT)
#define KEHRLUND_FOLDER_HANDLES 1
#endif

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif
#include <unistd.h>
#endif

uint qHash(const FileId &id, uint seed) noexcept
{
    return ::qHash(id.inode, seed) ^ ::qHash(id.device, seed * 31 + 7);
}

// ---------------------------------------------------------------------------------------------
// Name patterns

// The patterns a job may carry are "*." followed by letters or digits, and "*.*"; those are
// tested on the encoded name directly. Any other wildcard goes through a regular expression.
struct NamePatterns::Compiled {
    QVector<QByteArray> suffixes; // ".log", lower case
    bool anyWithDot = false;
    QVector<QRegularExpression> others;
};

namespace
{
bool isAsciiAlphanumeric(QChar c)
{
    return c.unicode() < 128 && c.isLetterOrNumber();
}

bool isPlainSuffixPattern(const QString &pattern)
{
    if (pattern.size() < 3 || !pattern.startsWith(QLatin1String("*.")))
        return false;
    return std::all_of(pattern.begin() + 2, pattern.end(), isAsciiAlphanumeric);
}

bool endsWithIgnoringAsciiCase(const QByteArray &name, const QByteArray &lowerSuffix)
{
    const int offset = name.size() - lowerSuffix.size();
    if (offset < 0)
        return false;
    for (int i = 0; i < lowerSuffix.size(); ++i) {
        char c = name.at(offset + i);
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != lowerSuffix.at(i))
            return false;
    }
    return true;
}
} // namespace

NamePatterns::NamePatterns(const QStringList &patterns) : compiled(new Compiled)
{
    for (const QString &pattern : patterns) {
        if (pattern == QLatin1String("*.*"))
            compiled->anyWithDot = true;
        else if (isPlainSuffixPattern(pattern))
            compiled->suffixes.append(pattern.mid(1).toLatin1().toLower());
        else
            compiled->others.append(
                QRegularExpression(QRegularExpression::wildcardToRegularExpression(pattern),
                                   QRegularExpression::CaseInsensitiveOption));
    }
}

NamePatterns::~NamePatterns() = default;

bool NamePatterns::matches(const QByteArray &encodedName) const
{
    if (compiled->anyWithDot && encodedName.contains('.'))
        return true;
    for (const QByteArray &suffix : compiled->suffixes) {
        if (endsWithIgnoringAsciiCase(encodedName, suffix))
            return true;
    }
    if (compiled->others.isEmpty())
        return false;
    const QString name = QFile::decodeName(encodedName);
    return std::any_of(compiled->others.begin(), compiled->others.end(),
                       [&name](const QRegularExpression &re) { return re.match(name).hasMatch(); });
}

// ---------------------------------------------------------------------------------------------
// Age

void Fegwerk::refreshReferenceDay(int retentionDays)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now >= reference.todayStartMs && now < reference.tomorrowStartMs &&
        retentionDays == reference.retentionDays)
        return;
    startTime = QDateTime::fromMSecsSinceEpoch(now);
    reference.today = startTime.date();
    reference.todayStartMs = reference.today.startOfDay().toMSecsSinceEpoch();
    reference.tomorrowStartMs = reference.today.addDays(1).startOfDay().toMSecsSinceEpoch();
    reference.retentionDays = retentionDays;
    // Age in days >= retention exactly when the creation date is on or before today - retention,
    // that is, when the file was created before the start of the day after that.
    reference.hitBeforeMs =
        reference.today.addDays(1 - qint64(retentionDays)).startOfDay().toMSecsSinceEpoch();
}

namespace
{
// The local calendar date of a point in time, remembered for the whole day that holds it.
// Converting a time to local time reads the time-zone settings afresh (several system calls
// each time), while the files of a tree were mostly created on few days.
class LocalDates
{
  public:
    QDate dateOf(qint64 ms)
    {
        auto next = days.upper_bound(ms);
        if (next != days.begin()) {
            const auto &day = *std::prev(next);
            if (ms < day.second.endMs)
                return day.second.date;
        }
        const QDate date = QDateTime::fromMSecsSinceEpoch(ms).date();
        const QDateTime start = date.startOfDay();
        const QDateTime end = date.addDays(1).startOfDay();
        if (start.isValid() && end.isValid()) {
            const qint64 startMs = start.toMSecsSinceEpoch();
            const qint64 endMs = end.toMSecsSinceEpoch();
            if (startMs <= ms && ms < endMs) {
                if (days.size() >= maxDays)
                    days.clear();
                days.emplace(startMs, Day{endMs, date});
            }
        }
        return date;
    }

  private:
    struct Day {
        qint64 endMs;
        QDate date;
    };
    static constexpr std::size_t maxDays = 4096;
    std::map<qint64, Day> days; // by the first instant of the day
};
} // namespace

// ---------------------------------------------------------------------------------------------
// Sweep

void Fegwerk::sweepFolder(const QString &folderPath, QTextStream &logStream, int jobIndex)
{
    const Job job = jobs.at(jobIndex);
    refreshReferenceDay(job.retentionDays);
#ifdef KEHRLUND_FOLDER_HANDLES
    sweepTreeByHandles(folderPath, logStream, *job.extensions);
#else
    sweepTreeByPaths(folderPath, logStream, *job.extensions);
#endif
}

bool Fegwerk::isProtected(const FileId &id, const QString &path) const
{
    if (id.device != 0 || id.inode != 0)
        return ownFiles.contains(id);
    if (ownFilePaths.isEmpty())
        return false;
    return ownFilePaths.contains(QFileInfo(path).canonicalFilePath());
}

namespace
{
// Folder and file names in the order of the folder listing: by name without regard to case,
// equal names by their exact spelling so that the order never depends on the listing's.
struct SortedName {
    QByteArray encoded;
    QString name;
    QString key;
    bool isLink = false;
};

// A line break in a name would break the console message and the log line it stands in (and
// could forge log entries); it shows as the replacement character, as undecodable bytes do.
// Removal always goes by the name as the file system spells it.
QString shownName(QString name)
{
    name.replace(QLatin1Char('\n'), QChar::ReplacementCharacter);
    name.replace(QLatin1Char('\r'), QChar::ReplacementCharacter);
    return name;
}

#ifdef KEHRLUND_FOLDER_HANDLES
void sortByName(QVector<SortedName> &names)
{
    for (SortedName &entry : names) {
        entry.name = shownName(QFile::decodeName(entry.encoded));
        entry.key = entry.name.toLower();
    }
    std::sort(names.begin(), names.end(), [](const SortedName &a, const SortedName &b) {
        const int byKey = a.key.compare(b.key);
        return byKey != 0 ? byKey < 0 : a.encoded < b.encoded;
    });
}
#endif

QString joined(const QString &folderPath, const QString &name)
{
    return folderPath + QDir::separator() + name;
}
} // namespace

void Fegwerk::reportHit(const Hit &hit) const
{
    ConsoleMessage() << tr("Treffer: ") << hit.name;
    ConsoleMessage() << tr("Alter in Tagen: ") << hit.ageDays;
}

#ifdef KEHRLUND_FOLDER_HANDLES

namespace
{
// An open folder; closed when it goes out of scope.
class FolderHandle
{
  public:
    FolderHandle() = default;
    explicit FolderHandle(int handle) : handle(handle) {}
    FolderHandle(FolderHandle &&other) noexcept : handle(other.release()) {}
    FolderHandle &operator=(FolderHandle &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    FolderHandle(const FolderHandle &) = delete;
    FolderHandle &operator=(const FolderHandle &) = delete;
    ~FolderHandle() { reset(); }

    int get() const { return handle; }
    bool isOpen() const { return handle >= 0; }
    int release()
    {
        const int h = handle;
        handle = -1;
        return h;
    }
    void reset(int replacement = -1)
    {
        if (handle >= 0)
            ::close(handle);
        handle = replacement;
    }

  private:
    int handle = -1;
};

// Subfolders are opened below the handle of their parent and never through a symbolic link, so
// a folder swapped for a link while the sweep runs leads nowhere outside the tree.
FolderHandle openSubfolder(int parent, const char *name)
{
    return FolderHandle(
        ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
}

FileId idOfHandle(int handle)
{
    struct stat status;
    if (::fstat(handle, &status) != 0)
        return FileId();
    return FileId{quint64(status.st_dev), quint64(status.st_ino)};
}

bool isHiddenName(const char *name)
{
    return name[0] == '.';
}

enum class EntryKind { File, Link, Folder, Other };

EntryKind kindOf(int folder, const struct dirent *entry)
{
    switch (entry->d_type) {
    case DT_REG:
        return EntryKind::File;
    case DT_LNK:
        return EntryKind::Link;
    case DT_DIR:
        return EntryKind::Folder;
    case DT_UNKNOWN:
        break;
    default:
        return EntryKind::Other;
    }
    struct stat status;
    if (::fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return EntryKind::Other;
    if (S_ISREG(status.st_mode))
        return EntryKind::File;
    if (S_ISLNK(status.st_mode))
        return EntryKind::Link;
    if (S_ISDIR(status.st_mode))
        return EntryKind::Folder;
    return EntryKind::Other;
}

// One read of a folder: the files whose names match and the subfolders, hidden entries and
// system entries (FIFOs, sockets, devices) left out.
struct FolderListing {
    QVector<SortedName> files;
    QVector<SortedName> folders;
};

FolderListing listFolder(int folder, const NamePatterns &patterns)
{
    FolderListing listing;
    const int readHandle = ::dup(folder);
    if (readHandle < 0)
        return listing;
    DIR *stream = ::fdopendir(readHandle);
    if (!stream) {
        ::close(readHandle);
        return listing;
    }
    while (const struct dirent *entry = ::readdir(stream)) {
        if (isHiddenName(entry->d_name))
            continue; // also "." and ".."
        const EntryKind kind = kindOf(folder, entry);
        if (kind == EntryKind::Folder) {
            listing.folders.append(SortedName{QByteArray(entry->d_name), {}, {}, false});
        } else if (kind == EntryKind::File || kind == EntryKind::Link) {
            const QByteArray name(entry->d_name);
            if (patterns.matches(name))
                listing.files.append(SortedName{name, {}, {}, kind == EntryKind::Link});
        }
    }
    ::closedir(stream);
    sortByName(listing.files);
    sortByName(listing.folders);
    return listing;
}

// The creation time in milliseconds since the epoch: the birth time where the file system keeps
// one, else the time of the last status change; never the time of the last modification.
// A symbolic link is judged by the file it points to, as the folder listing lists it as that
// file; only regular files are taken.
bool readCreationTime(int folder, const SortedName &entry, qint64 *createdMs, FileId *id)
{
    const int follow = entry.isLink ? 0 : AT_SYMLINK_NOFOLLOW;
#ifdef STATX_BTIME
    struct statx status;
    if (::statx(folder, entry.encoded.constData(), follow | AT_STATX_SYNC_AS_STAT,
                STATX_TYPE | STATX_INO | STATX_BTIME | STATX_CTIME, &status) != 0)
        return false;
    if (!S_ISREG(status.stx_mode))
        return false;
    // A birth time of zero is one the file system never recorded (images and old inode formats).
    const bool hasBirth = (status.stx_mask & STATX_BTIME) &&
                          (status.stx_btime.tv_sec != 0 || status.stx_btime.tv_nsec != 0);
    const struct statx_timestamp &time = hasBirth ? status.stx_btime : status.stx_ctime;
    *createdMs = qint64(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
    *id = FileId{quint64(makedev(status.stx_dev_major, status.stx_dev_minor)),
                 quint64(status.stx_ino)};
#else
    struct stat status;
    if (::fstatat(folder, entry.encoded.constData(), &status, follow) != 0)
        return false;
    if (!S_ISREG(status.st_mode))
        return false;
#if defined(Q_OS_DARWIN) || defined(Q_OS_FREEBSD) || defined(Q_OS_NETBSD)
    *createdMs =
        qint64(status.st_birthtimespec.tv_sec) * 1000 + status.st_birthtimespec.tv_nsec / 1000000;
#else
    *createdMs = qint64(status.st_ctim.tv_sec) * 1000 + status.st_ctim.tv_nsec / 1000000;
#endif
    *id = FileId{quint64(status.st_dev), quint64(status.st_ino)};
#endif
    return true;
}

// One folder on the way down. Only the deepest folders keep their handles open; an ancestor
// whose handle was given up is opened again through ".." of its child on the way back, and
// passed over if that no longer leads to the very same folder.
struct Frame {
    FolderHandle handle;
    FileId id;
    int pathLength = 0;
    QVector<SortedName> subfolders;
    int next = 0;
};

constexpr std::size_t openAncestorsKept = 32;

bool reopenFromChild(Frame &parent, const Frame &child)
{
    if (!child.handle.isOpen())
        return false;
    FolderHandle reopened = openSubfolder(child.handle.get(), "..");
    if (!reopened.isOpen() || !(idOfHandle(reopened.get()) == parent.id))
        return false;
    parent.handle = std::move(reopened);
    return true;
}
} // namespace

void Fegwerk::sweepTreeByHandles(const QString &rootPath, QTextStream &logStream,
                                 const QStringList &patternList)
{
    FolderHandle root(::open(QFile::encodeName(rootPath).constData(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
    if (!root.isOpen())
        return;

    const NamePatterns patterns(patternList);
    LocalDates localDates;
    QString path = rootPath;
    std::vector<Frame> frames;
    // Takes one opened folder: its hits first, then its subfolders are queued in name order.
    auto enter = [&](FolderHandle handle) {
        refreshReferenceDay(reference.retentionDays);
        FolderListing listing = listFolder(handle.get(), patterns);
        for (const SortedName &file : listing.files) {
            qint64 createdMs = 0;
            Hit hit;
            if (!readCreationTime(handle.get(), file, &createdMs, &hit.id))
                continue;
            if (!isOldEnough(createdMs))
                continue;
            hit.path = joined(path, file.name);
            if (isProtected(hit.id, hit.path))
                continue;
            hit.name = file.name;
            hit.ageDays = int(localDates.dateOf(createdMs).daysTo(reference.today));
            hit.folderHandle = handle.get();
            hit.entryName = file.encoded;
            removeFile(hit, logStream);
        }
        Frame frame;
        frame.handle = std::move(handle);
        frame.pathLength = path.size();
        frame.subfolders = std::move(listing.folders);
        frames.push_back(std::move(frame));
        const std::size_t depth = frames.size();
        if (depth > openAncestorsKept) {
            // Coming down again after a deep subtree, that ancestor may have been given up
            // already: its identity was taken then, and must not be overwritten.
            Frame &ancestor = frames[depth - 1 - openAncestorsKept];
            if (ancestor.handle.isOpen()) {
                ancestor.id = idOfHandle(ancestor.handle.get());
                ancestor.handle.reset();
            }
        }
    };

    enter(std::move(root));
    while (!frames.empty()) {
        Frame &top = frames.back();
        if (top.next < top.subfolders.size() && top.handle.isOpen()) {
            const SortedName &sub = top.subfolders.at(top.next++);
            FolderHandle child = openSubfolder(top.handle.get(), sub.encoded.constData());
            if (!child.isOpen())
                continue; // no longer a real folder, or not readable
            path.truncate(top.pathLength);
            path = joined(path, sub.name);
            enter(std::move(child));
            continue;
        }
        Frame finished = std::move(frames.back());
        frames.pop_back();
        if (!frames.empty()) {
            Frame &parent = frames.back();
            if (!parent.handle.isOpen() && !reopenFromChild(parent, finished))
                parent.subfolders.clear(); // the way back is gone: leave the rest alone
            path.truncate(parent.pathLength);
        }
    }
}

#endif // KEHRLUND_FOLDER_HANDLES

#ifndef KEHRLUND_FOLDER_HANDLES

namespace
{
FileId idOfPath(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) == 0)
        return FileId{quint64(status.st_dev), quint64(status.st_ino)};
#else
    Q_UNUSED(path)
#endif
    return FileId();
}

struct PendingFolder {
    QString path;
    QStringList subfolders;
    int next = 0;
};
} // namespace

// The walk for systems without folder handles: every step goes by path, through Qt's listings.
void Fegwerk::sweepTreeByPaths(const QString &rootPath, QTextStream &logStream,
                               const QStringList &patternList)
{
    const NamePatterns patterns(patternList);
    LocalDates localDates;
    std::vector<PendingFolder> pending;
    auto enter = [&](const QString &folderPath) {
        refreshReferenceDay(reference.retentionDays);
        const QDir folder(folderPath); // sorted by name, ignoring case
        // Names are matched as on the walk over folder handles, ignoring the case of ASCII
        // letters only: Qt's own filters would also take the Kelvin sign for a "k".
        const QStringList files = folder.entryList(QDir::Files, QDir::NoSort);
        for (const QString &name : files) {
            if (!patterns.matches(QFile::encodeName(name)))
                continue;
            const QString filePath = joined(folderPath, name);
            const QFileInfo info(filePath);
            if (!info.isFile())
                continue; // a link to a FIFO or a device is listed as a file, too
            QDateTime created = info.birthTime();
            if (!created.isValid() || created.toMSecsSinceEpoch() == 0)
                created = info.metadataChangeTime();
            if (!created.isValid())
                continue;
            const qint64 createdMs = created.toMSecsSinceEpoch();
            if (!isOldEnough(createdMs))
                continue;
            Hit hit;
            hit.path = shownName(filePath);
            hit.id = idOfPath(filePath);
            if (isProtected(hit.id, filePath))
                continue;
            hit.name = shownName(name);
            hit.ageDays = int(localDates.dateOf(createdMs).daysTo(reference.today));
            hit.folderHandle = -1;
            hit.entryName = QFile::encodeName(filePath);
            removeFile(hit, logStream);
        }
        pending.push_back(PendingFolder{
            folderPath,
            folder.entryList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::NoSort),
            0});
    };

    enter(rootPath);
    while (!pending.empty()) {
        PendingFolder &top = pending.back();
        if (top.next < top.subfolders.size()) {
            const QString subfolder = joined(top.path, top.subfolders.at(top.next++));
            enter(subfolder);
        } else {
            pending.pop_back();
        }
    }
}

#endif // !KEHRLUND_FOLDER_HANDLES

// ---------------------------------------------------------------------------------------------
// Removal

namespace
{
enum class Removal { Removed, Refused, Vanished };

Removal removeEntry(const Hit &hit)
{
#ifdef KEHRLUND_FOLDER_HANDLES
    if (::unlinkat(hit.folderHandle, hit.entryName.constData(), 0) == 0)
        return Removal::Removed;
    // Gone, or no longer a file, since the sweep looked at it: another run got there first.
    return (errno == ENOENT || errno == EISDIR) ? Removal::Vanished : Removal::Refused;
#else
    const QString path = QFile::decodeName(hit.entryName);
    if (QFile::remove(path))
        return Removal::Removed;
    const QFileInfo info(path);
    return (info.exists() || info.isSymLink()) ? Removal::Refused : Removal::Vanished;
#endif
}
} // namespace

void Fegwerk::removeFile(const Hit &hit, QTextStream &logStream)
{
    const bool heldOpen = (hit.id.device != 0 || hit.id.inode != 0) && openFiles.contains(hit.id);
    const Removal outcome = heldOpen ? Removal::Refused : removeEntry(hit);
    if (outcome == Removal::Vanished)
        return; // not there any more: nothing of this run to report or count

    reportHit(hit);
    if (outcome == Removal::Removed) {
        // Both lines of the entry in one write, so that runs at once never split an entry.
        logStream << hit.path << '\n' << hit.ageDays << tr(" Tage") << Qt::endl;
    } else {
        const QString failed = tr("Fehler 005: Konnte Datei ");
        const QString ending = tr(" nicht löschen");
        ConsoleMessage() << failed << hit.path << ending;
        logStream << failed << hit.path << ending << Qt::endl;
    }
    ++hitCount;
}

// ---------------------------------------------------------------------------------------------
// Files held open by running programs

#ifdef Q_OS_LINUX
namespace
{
bool isProcessFolder(const char *name)
{
    if (!*name)
        return false;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9')
            return false;
    }
    return true;
}

void addOpenFilesOfProcess(int processFolder, QSet<FileId> &files)
{
    const int handles = ::openat(processFolder, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handles < 0)
        return; // another user's process, or gone
    DIR *stream = ::fdopendir(handles);
    if (!stream) {
        ::close(handles);
        return;
    }
    while (const struct dirent *entry = ::readdir(stream)) {
        if (entry->d_name[0] == '.')
            continue;
        struct stat status;
        if (::fstatat(handles, entry->d_name, &status, 0) == 0 && S_ISREG(status.st_mode))
            files.insert(FileId{quint64(status.st_dev), quint64(status.st_ino)});
    }
    ::closedir(stream);
}
} // namespace
#endif

// One pass over /proc per run, whatever the size of the trees. Processes this program may not
// inspect are simply not in the snapshot; without /proc it stays empty.
void Fegwerk::takeOpenFilesSnapshot()
{
    openFiles.clear();
#ifdef Q_OS_LINUX
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return;
    const QByteArray self = QByteArray::number(qint64(::getpid()));
    while (const struct dirent *entry = ::readdir(proc)) {
        if (!isProcessFolder(entry->d_name) || self == entry->d_name)
            continue;
        const int processFolder =
            ::openat(::dirfd(proc), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (processFolder < 0)
            continue;
        addOpenFilesOfProcess(processFolder, openFiles);
        ::close(processFolder);
    }
    ::closedir(proc);
#endif
}
