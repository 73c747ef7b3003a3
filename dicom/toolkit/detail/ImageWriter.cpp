#include "dicom/toolkit/detail/ImageWriter.h"

#include "dicom/toolkit/ToolkitEncodeQueue.h"

#include "dicom/toolkit/detail/J2kCodec.h"
#include "dicom/toolkit/detail/DescriptorOutputStream.h"
#include "dicom/toolkit/detail/SaveHold.h"
#include "dicom/toolkit/detail/Runtime.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSysInfo>
#include <QStorageInfo>

#include <dcmtk/dcmdata/dccodec.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcwcache.h>
#include <dcmtk/dcmdata/dcstack.h>
#include <dcmtk/dcmjpeg/djrplol.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pacs::toolkit::detail {

namespace {
std::atomic<int> writesAtOnce{0}; // files being written or put in place right now
} // namespace

E_TransferSyntax xferFromUid(const QString &uid)
{
    if (uid.trimmed().isEmpty())
        return EXS_Unknown;
    return DcmXfer(uid.trimmed().toLatin1().constData()).getXfer();
}

QString uidOfXfer(E_TransferSyntax xfer) { return QString::fromLatin1(DcmXfer(xfer).getXferID()); }

bool isLossy(E_TransferSyntax xfer) { return xfer != EXS_Unknown && DcmXfer(xfer).isLossy(); }

bool isUncompressed(E_TransferSyntax xfer) { return xfer != EXS_Unknown && DcmXfer(xfer).isNotEncapsulated(); }

bool canConvert(E_TransferSyntax from, E_TransferSyntax to)
{
    if (from == to)
        return true;
    if (from == EXS_Unknown || to == EXS_Unknown)
        return false;
    if (isUncompressed(from) && isUncompressed(to))
        return true;
    if (isUncompressed(to))
        return DcmCodecList::canChangeCoding(from, to);
    if (isUncompressed(from))
        return DcmCodecList::canChangeCoding(from, to);
    // compressed to compressed goes through the uncompressed form
    return DcmCodecList::canChangeCoding(from, EXS_LittleEndianExplicit)
           && DcmCodecList::canChangeCoding(EXS_LittleEndianExplicit, to);
}

std::unique_ptr<DcmRepresentationParameter> representationFor(E_TransferSyntax target, int quality)
{
    switch (target) {
    case EXS_JPEGProcess14SV1:
        return std::make_unique<DJ_RPLossless>(1, 0); // first-order prediction, no point transform
    case EXS_JPEGProcess14:
        return std::make_unique<DJ_RPLossless>();
    case EXS_JPEG2000LosslessOnly:
        return std::make_unique<J2kRepresentation>(0);
    case EXS_JPEG2000:
        return std::make_unique<J2kRepresentation>(quality);
    default:
        return nullptr;
    }
}

DcmItem *pixelParent(const DcmStack &objStack)
{
    DcmStack stack(objStack);
    stack.pop(); // the pixel data element
    DcmObject *parent = stack.top();
    if (!parent || (parent->ident() != EVR_dataset && parent->ident() != EVR_item))
        return nullptr;
    return static_cast<DcmItem *>(parent);
}

bool transcode(DcmDataset &dataset, E_TransferSyntax from, E_TransferSyntax target, int quality)
{
    initializeRuntime(); // the codecs, whoever calls first
    if (target == EXS_Unknown)
        return false;
    if (from == target || !dataset.tagExistsWithValue(DCM_PixelData))
        return dataset.canWriteXfer(target, from);
    if (!canConvert(from, target))
        return false;
    const auto params = representationFor(target, quality);
    if (dataset.chooseRepresentation(target, params.get()).bad())
        return false;
    return dataset.canWriteXfer(target, from);
}

OFCondition loadWholeFile(DcmFileFormat &file, const QString &path, E_FileReadMode mode)
{
    return file.loadFile(QFile::encodeName(path).constData(), EXS_Unknown, EGL_noChange,
                         std::numeric_limits<Uint32>::max(), mode);
}

bool flushToDisk(const QString &path, bool directory)
{
    const int fd = ::open(QFile::encodeName(path).constData(), directory ? (O_RDONLY | O_DIRECTORY) : O_RDONLY);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

qint64 unflushedBytesOfMachine()
{
    // The kernel writes the file afresh on every read, which cost a save more
    // than its own writes' calls; a reading 50 ms old says as much about the
    // next sync. Shared by every thread that saves.
    constexpr qint64 kFreshNs = 50 * 1000 * 1000;
    static std::atomic<qint64> readAt{std::numeric_limits<qint64>::min()};
    static std::atomic<qint64> lastReading{-1};
    const qint64 now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    const qint64 at = readAt.load(std::memory_order_acquire);
    if (at != std::numeric_limits<qint64>::min() && now - at < kFreshNs)
        return lastReading.load(std::memory_order_relaxed);

    char text[8192];
    ssize_t size = -1;
    if (const int fd = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC); fd >= 0) {
        size = ::read(fd, text, sizeof text - 1);
        ::close(fd);
    }
    qint64 total = -1;
    if (size > 0) {
        text[size] = '\0';
        for (const char *field : {"\nDirty:", "\nWriteback:"}) {
            const char *found = std::strstr(text, field);
            if (!found)
                continue;
            char *end = nullptr;
            const long long kib = std::strtoll(found + std::strlen(field), &end, 10);
            if (end == found + std::strlen(field) || kib < 0)
                continue;
            total = (total < 0 ? 0 : total) + qint64(kib) * 1024;
        }
    }
    lastReading.store(total, std::memory_order_relaxed);
    readAt.store(now, std::memory_order_release);
    return total;
}

bool syncDurable(const QStringList &written, const QStringList &alsoDurable, QString *error)
{
    // A sync of the volume also writes out whatever else waits unflushed on
    // it (a copy into the same volume, another program's files): beyond a few
    // megabytes of that, flushing our own few files one by one is faster.
    constexpr qint64 kBusyBytes = 8 * 1024 * 1024;
    const qint64 unflushed = unflushedBytesOfMachine();
    const bool syncVolumes = unflushed >= 0 && unflushed <= kBusyBytes;
    struct Volume
    {
        dev_t device;
        QString opened; // any path on it
        QStringList files;
    };
    std::vector<Volume> volumes;
    auto add = [&volumes](const QString &path) {
        struct stat st;
        QString onVolume = path;
        if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
            // A log that is not there now has nothing unflushed; its folder
            // still names the volume.
            onVolume = QFileInfo(path).absolutePath();
            if (::stat(QFile::encodeName(onVolume).constData(), &st) != 0)
                return;
        }
        auto volume = std::find_if(volumes.begin(), volumes.end(),
                                   [&st](const Volume &v) { return v.device == st.st_dev; });
        if (volume == volumes.end())
            volume = volumes.insert(volumes.end(), Volume{st.st_dev, onVolume, {}});
        volume->files << onVolume;
    };
    for (const QString &path : written)
        add(path);
    for (const QString &path : alsoDurable)
        add(path);
    bool ok = true;
    for (const Volume &volume : volumes) {
        const int fd = syncVolumes ? ::open(QFile::encodeName(volume.opened).constData(), O_RDONLY | O_CLOEXEC) : -1;
        const bool synced = fd >= 0 && ::syncfs(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        if (synced)
            continue;
        for (const QString &file : volume.files) {
            if (flushToDisk(file, QFileInfo(file).isDir()))
                continue;
            ok = false;
            if (error && error->isEmpty())
                *error = QStringLiteral("cannot flush to disk: ") + file;
        }
    }
    return ok;
}

FileIdentity FileIdentity::of(const QString &path)
{
    FileIdentity identity;
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return identity;
    identity.exists = true;
    identity.device = quint64(st.st_dev);
    identity.inode = quint64(st.st_ino);
    identity.size = qint64(st.st_size);
    identity.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return identity;
}

std::mutex &storedFileLock()
{
    // Never destroyed, as the encode queue's worker may still take it at exit.
    static std::mutex *const lock = new std::mutex;
    return *lock;
}

QString noSpaceError(const QString &folder, qint64 needed, const QString &path)
{
    const QStorageInfo volume(folder);
    if (!volume.isValid() || volume.bytesAvailable() > needed + 64 * 1024)
        return QString();
    return QStringLiteral("no space left on the storage volume ") + volume.rootPath() + QStringLiteral(" (writing ")
           + path + QStringLiteral(")");
}

namespace {
// "<host>-": the part of a temporary file's tag that names this machine.
QString hostPartOfTag() { return QString::fromLatin1(QSysInfo::machineUniqueId().left(12)) + QLatin1Char('-'); }
} // namespace

QString temporaryFileTag()
{
    // Never destroyed: pool threads still write while the process exits.
    static const QString *const tag = new QString(hostPartOfTag() + QString::number(::getpid()));
    return *tag;
}

void removeLeftoverTemporaryFiles(const QString &folder)
{
    const QString host = hostPartOfTag();
    const QDir dir(folder);
    for (const QString &name : dir.entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden)) {
        const QString tag = name.section(QLatin1Char('.'), -2, -2);
        if (!tag.startsWith(host))
            continue; // not ours, or another host's on a shared storage root
        bool ok = false;
        const qint64 pid = tag.mid(host.size()).toLongLong(&ok);
        if (ok && pid > 0 && pid != ::getpid() && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            QFile::remove(dir.filePath(name));
    }
}

QString temporaryFolderFor(const QString &path, const QString &preferred)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (preferred.isEmpty())
        return folder;
    struct stat there, here;
    if (::stat(QFile::encodeName(folder).constData(), &there) != 0
        || ::stat(QFile::encodeName(preferred).constData(), &here) != 0 || there.st_dev != here.st_dev)
        return folder;
    return preferred;
}

namespace {
// The file written through our own checked writes. DCMTK's file stream
// closes its file without a look at the result, so the last buffered bytes
// lost to a full volume went unnoticed and a short file was called written.
// Written from the start of `fd` (emptied first when `again`: a try before
// wrote to it), which the caller closes and checks. `bytes`: how many went to
// the file.
OFCondition saveFileChecked(DcmFileFormat &file, int fd, E_TransferSyntax xfer, qint64 &bytes, bool again)
{
    bytes = 0;
    if (again && (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0))
        return makeOFCondition(OFM_dcmdata, 19, OF_error, std::strerror(errno));
    DescriptorOutputStream out(fd);
    DcmWriteCache cache;
    file.transferInit();
    // The stream takes all it is given, so one pass writes the file; a few
    // more are allowed, never an endless loop.
    OFCondition cond;
    int passes = 0;
    do {
        cond = file.write(out, xfer, EET_ExplicitLength, &cache, EGL_recalcGL, EPD_withoutPadding, 0, 0, 0, EWM_updateMeta);
    } while (cond == EC_StreamNotifyClient && out.good() && ++passes < 16);
    if (cond == EC_StreamNotifyClient)
        cond = makeOFCondition(OFM_dcmdata, 19, OF_error, "the file's encoding did not finish");
    out.flush();
    const int ioError = out.consumer().error();
    bytes = out.consumer().written();
    file.transferEnd();
    if (ioError != 0)
        return makeOFCondition(OFM_dcmdata, 19, OF_error, std::strerror(ioError));
    return cond;
}

// A new file of ours, ".<name>.<tag>.<n>" in `folder`, made exclusively (a
// name an earlier process left is passed over) and readable by all as the
// stored files are; the folder is made only when it is missing.
int createTemporaryFile(const QString &folder, const QString &name, QString &created)
{
    static std::atomic<quint64> counter{0};
    const QString stem = folder + QStringLiteral("/.") + name + QLatin1Char('.') + temporaryFileTag() + QLatin1Char('.');
    bool madeFolder = false;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const QString candidate = stem + QString::number(counter.fetch_add(1), 36);
        const int fd = ::open(QFile::encodeName(candidate).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::fchmod(fd, 0644); // whatever the process's umask
            created = candidate;
            return fd;
        }
        if (errno == ENOENT && !madeFolder) {
            madeFolder = true;
            QDir().mkpath(folder);
        } else if (errno != EEXIST && errno != EINTR) {
            return -1;
        }
    }
    return -1;
}
} // namespace

TempDicomFile::~TempDicomFile() { discard(); }

TempDicomFile::TempDicomFile(TempDicomFile &&other) noexcept { *this = std::move(other); }

TempDicomFile &TempDicomFile::operator=(TempDicomFile &&other) noexcept
{
    if (this != &other) {
        discard();
        path = std::exchange(other.path, QString());
        fd = std::exchange(other.fd, -1);
        bytes = other.bytes;
        written = other.written;
        target = other.target;
        deferred = other.deferred;
    }
    return *this;
}

void TempDicomFile::discard()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    if (!path.isEmpty())
        QFile::remove(path);
    path.clear();
}

bool writeTempDicomFile(DcmFileFormat &file, E_TransferSyntax arrived, const QString &folder, const QString &path,
                        E_TransferSyntax target, bool mayDefer, TempDicomFile &temp, QString &error)
{
    // Counted wherever it runs (a save's pool thread, an association's thread
    // compressing beside the handler): the flush of a write on its own asks
    // whether another is under way.
    writesAtOnce.fetch_add(1);
    const auto counted = qScopeGuard([] { writesAtOnce.fetch_sub(1); });
    temp.discard();
    DcmDataset *dataset = file.getDataset();
    if (!dataset) {
        error = QStringLiteral("no dataset to write");
        return false;
    }
    // A value still left in its source file is read now: a source that can
    // no longer give it must not become a stored file with broken pixels.
    if (const OFCondition loaded = file.loadAllDataIntoMemory(); loaded.bad()) {
        error = conditionText(loaded, QString(), QStringLiteral("cannot read the image's data"));
        return false;
    }
    if (arrived == EXS_Unknown)
        arrived = dataset->getOriginalXfer();
    if (arrived == EXS_Unknown)
        arrived = EXS_LittleEndianExplicit;

    // Lossless sources are re-encoded; anything already lossy, without pixels
    // or without a working codec keeps the syntax it came in.
    E_TransferSyntax chosen = arrived;
    const bool encodes = target != EXS_Unknown && target != arrived && !isLossy(arrived)
                         && dataset->tagExistsWithValue(DCM_PixelData);
    const bool deferred = encodes && mayDefer && canConvert(arrived, target);
    if (encodes && !deferred && transcode(*dataset, arrived, target)) {
        chosen = target;
    }
    if (!dataset->canWriteXfer(chosen, arrived))
        chosen = arrived;

    QString tempPath;
    const int fd = createTemporaryFile(folder, QFileInfo(path).fileName(), tempPath);
    if (fd < 0) {
        error = QStringLiteral("cannot create a file in ") + folder;
        return false;
    }
    qint64 bytes = 0;
    OFCondition cond = saveFileChecked(file, fd, chosen, bytes, false);
    const OFCondition first = cond;
    if (cond.bad() && chosen != arrived) {
        chosen = arrived; // the re-encoded form failed to write: keep what we received
        cond = saveFileChecked(file, fd, chosen, bytes, true);
    }
    // A volume that reports a lost write only when the file closes (a network
    // share) fails the write here.
    if (::close(fd) != 0 && cond.good())
        cond = makeOFCondition(OFM_dcmdata, 19, OF_error, std::strerror(errno));
    if (cond.bad()) {
        const qint64 written = QFileInfo(tempPath).size();
        QFile::remove(tempPath);
        // DCMTK names the encoding step that gave up, not the cause; a volume
        // without room is said as such. Otherwise the first attempt's reason
        // counts: the second only repeats the write in the received syntax.
        error = noSpaceError(folder, std::max<qint64>(written, 0), path);
        if (error.isEmpty())
            error = conditionText(first.bad() ? first : cond, QString(), QStringLiteral("writing ") + path);
        return false;
    }
    temp.path = tempPath;
    temp.bytes = bytes;
    temp.written = chosen;
    temp.target = target;
    temp.deferred = deferred && chosen == arrived;
    // A write on its own has the device start on the image's data at once, so
    // that the flushes that follow (the marker's, or the caller's one sync of
    // the volume) find most of it written: a lone sender waits less. With
    // several under way, syncs follow one another anyway and write it with
    // the rest, in fewer requests to the device (each one a round trip
    // through the host on a virtual machine).
    temp.fd = ::open(QFile::encodeName(tempPath).constData(), O_RDONLY | O_CLOEXEC);
    if (temp.fd >= 0 && writesAtOnce.load() == 1)
        ::sync_file_range(temp.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    return true;
}

WriteOutcome placeTempDicomFile(TempDicomFile &temp, const QString &path, const QString &deferFolder,
                                const FileIdentity *onlyIfStill, QStringList *unflushed,
                                SaveHold *hold)
{
    WriteOutcome outcome;
    writesAtOnce.fetch_add(1);
    const auto counted = qScopeGuard([] { writesAtOnce.fetch_sub(1); });
    auto fail = [&outcome, &temp](const QString &error) {
        if (!outcome.deferredMarker.isEmpty())
            QFile::remove(outcome.deferredMarker);
        outcome.deferredMarker.clear();
        outcome.error = error;
        temp.discard();
        return outcome;
    };
    if (temp.path.isEmpty())
        return fail(QStringLiteral("nothing written for ") + path);
    const QFileInfo info(path);
    const QString tempFolder = QFileInfo(temp.path).absolutePath();
    // The marker is in place before the file is renamed into place: no crash
    // leaves a received file that the encode queue does not list.
    const bool flushEach = unflushed == nullptr;
    const bool deferred = temp.deferred && !deferFolder.isEmpty();
    if (deferred && !ToolkitEncodeQueue::writeMarker(deferFolder, path, uidOfXfer(temp.target), &outcome.deferredMarker,
                                                     &outcome.error, flushEach))
        return fail(outcome.error);
    // While the handler still writes the row, a write on its own (one
    // sender) flushes the image's data meanwhile: the sync after the rename
    // then has only the names, the marker and the row's log left, and that is
    // what the sender waits for. Once the handler has returned, that flush
    // would only come before the sync instead of beside the row, and the one
    // sync does it. Several writes at once share their syncs; a flush of each
    // would only queue on the device.
    if (hold && !flushEach && temp.fd >= 0 && writesAtOnce.load() == 1 && !hold->released())
        ::fdatasync(temp.fd);
    if (hold && !hold->waitForRelease())
        return fail(QStringLiteral("not stored, the image was refused: ") + path);
    // A new name is taken without replacing anything: nothing stored to keep
    // open or to flush against, and the folder made only when missing.
    const QByteArray from = QFile::encodeName(temp.path), to = QFile::encodeName(path);
    auto placeNew = [&]() -> int {
        const std::lock_guard<std::mutex> guard(storedFileLock());
        return ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0 ? 0 : errno;
    };
    if (temp.fd < 0 || (flushEach && ::fsync(temp.fd) != 0))
        return fail(QStringLiteral("cannot move the written file into place: ") + path);
    int placed = onlyIfStill ? EEXIST : placeNew();
    if (placed == ENOENT && QDir().mkpath(info.absolutePath()))
        placed = placeNew();
    if (placed != 0 && placed != EEXIST && placed != EINVAL && placed != ENOSYS && placed != EOPNOTSUPP)
        return fail(QStringLiteral("cannot move the written file into place: ") + path);
    if (placed != 0) {
        // A file that replaces a stored one is on disk before the rename, even
        // when the caller flushes later: a power cut in between must leave the
        // old file, never a new name without its data. (Also the way on a
        // volume that cannot rename without replacing.)
        if (!flushEach && ::fsync(temp.fd) != 0)
            return fail(QStringLiteral("cannot move the written file into place: ") + path);
        QDir().mkpath(info.absolutePath());
        // A replaced file gives its blocks back when its last descriptor closes:
        // kept open here, that happens after the lock, not inside the rename. On
        // a volume that discards freed blocks it takes as long as a write, and
        // every other rename into place waits for this lock.
        int replaced = -1;
        const auto closeReplaced = qScopeGuard([&replaced] {
            if (replaced >= 0)
                ::close(replaced);
        });
        const std::lock_guard<std::mutex> guard(storedFileLock());
        if (onlyIfStill && !(FileIdentity::of(path) == *onlyIfStill)) {
            outcome.superseded = true;
            return fail(QStringLiteral("changed or removed while it was rewritten: ") + path);
        }
        replaced = ::open(to.constData(), O_RDONLY | O_CLOEXEC);
        if (std::rename(from.constData(), to.constData()) != 0)
            return fail(QStringLiteral("cannot move the written file into place: ") + path);
    }
    temp.path.clear(); // it is the stored file now
    temp.discard();
    if (flushEach) {
        flushToDisk(info.absolutePath(), true);
        if (tempFolder != info.absolutePath())
            flushToDisk(tempFolder, true);
    } else {
        *unflushed << path << info.absolutePath();
        if (tempFolder != info.absolutePath())
            *unflushed << tempFolder;
        if (!outcome.deferredMarker.isEmpty())
            *unflushed << outcome.deferredMarker << deferFolder;
    }
    outcome.ok = true;
    outcome.written = temp.written;
    outcome.bytes = temp.bytes;
    return outcome;
}

WriteOutcome writeDicomFile(DcmFileFormat &file, E_TransferSyntax arrived, const QString &path,
                            E_TransferSyntax target, const QString &deferFolder, const FileIdentity *onlyIfStill,
                            QStringList *unflushed, SaveHold *hold, const QString &tempFolder)
{
    TempDicomFile temp;
    WriteOutcome outcome;
    const bool written = writeTempDicomFile(file, arrived, temporaryFolderFor(path, tempFolder), path, target,
                                            !deferFolder.isEmpty(), temp, outcome.error);
    if (!written)
        return outcome;
    return placeTempDicomFile(temp, path, deferFolder, onlyIfStill, unflushed, hold);
}

} // namespace pacs::toolkit::detail
