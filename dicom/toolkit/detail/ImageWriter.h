#pragma once

// Writing DICOM files and changing the pixel encoding of datasets.
// The codec seam lives here: a transfer syntax can be produced when DCMTK has
// a codec registered for it (DcmCodecList), and representationFor() supplies
// its parameters (JPEG 2000: the quality, see J2kCodec.h; 0 or 1 is lossless).

#include <QString>
#include <QStringList>

#include <dcmtk/dcmdata/dctypes.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <memory>
#include <mutex>

class DcmDataset;
class OFCondition;
class DcmFileFormat;
class DcmItem;
class DcmStack;
class DcmRepresentationParameter;

namespace pacs::toolkit::detail {

// The syntax the archive keeps its images in (JPEG Lossless, process 14).
constexpr E_TransferSyntax kArchiveSyntax = EXS_JPEGProcess14;

class SaveHold;

E_TransferSyntax xferFromUid(const QString &uid); // EXS_Unknown for an unknown or empty uid
QString uidOfXfer(E_TransferSyntax xfer);

bool isLossy(E_TransferSyntax xfer);
bool isUncompressed(E_TransferSyntax xfer);

// Whether pixel data in `from` can (in principle) be turned into `to`.
bool canConvert(E_TransferSyntax from, E_TransferSyntax to);

// Encoding parameters for a target syntax; null where DCMTK's defaults do.
std::unique_ptr<DcmRepresentationParameter> representationFor(E_TransferSyntax target, int quality);

// The dataset or item whose pixel data a codec was handed (the element on top
// of `objStack`); null when the stack holds no such parent.
DcmItem *pixelParent(const DcmStack &objStack);

// Makes the dataset writable in `target`. False (dataset still writable in its
// old syntax) when the pixel data cannot be encoded that way.
bool transcode(DcmDataset &dataset, E_TransferSyntax from, E_TransferSyntax target, int quality = 0);

// Reads the whole file at once. DCMTK otherwise leaves large values (the
// pixel data) to be read later by reopening the file by name; a stored file
// is replaced under its name (compression, a header edit), and the late read
// would then take bytes from the new file at the old offsets.
OFCondition loadWholeFile(DcmFileFormat &file, const QString &path,
                          E_FileReadMode mode = ERM_autoDetect);

// fsync of a file or a folder (the rename of a file into it); false when it failed.
bool flushToDisk(const QString &path, bool directory);

// Which file a path names at one moment: a file replaced (renamed over) or
// removed since has another identity.
struct FileIdentity
{
    bool exists = false;
    quint64 device = 0, inode = 0;
    qint64 size = 0, modifiedNs = 0;

    static FileIdentity of(const QString &path);
    bool operator==(const FileIdentity &other) const = default;
};

// Held for every rename into place and every removal of a stored file, so
// that "is it still the file I read?" and the replacement are one step.
std::mutex &storedFileLock();

// "no space left on the storage volume ..." when the volume of `folder` has
// no more than `needed` bytes (plus a margin) free, naming `path`; otherwise
// empty. Write failures on a full volume are said as such, whatever step
// (DCMTK's encoder, a marker, the rename) noticed them.
QString noSpaceError(const QString &folder, qint64 needed, const QString &path);

struct WriteOutcome
{
    bool ok = false;
    bool superseded = false; // `onlyIfStill` no longer matched: nothing was replaced
    QString error;
    E_TransferSyntax written = EXS_Unknown;
    qint64 bytes = 0; // the file's length
    QString deferredMarker; // set when the encoding into `target` was left to the encode queue
};

// Temporary files are named ".<file>.<host>-<pid>.XXXXXX": what a killed
// process left can be told from what a running one (this one, or another
// node on a shared storage root) is writing.
QString temporaryFileTag();
// Removes the temporary files in `folder` that a process of this host no
// longer running left there.
void removeLeftoverTemporaryFiles(const QString &folder);
// `preferred` when it is on the volume of `path`'s folder (a rename from it
// works), otherwise that folder: where a temporary file for `path` goes.
QString temporaryFolderFor(const QString &path, const QString &preferred);

// A DICOM file written under a temporary name and not yet in place. Removed
// when dropped unless placed.
struct TempDicomFile
{
    QString path; // empty once placed or removed
    int fd = -1;  // kept open for the flushes before the rename
    qint64 bytes = 0;
    E_TransferSyntax written = EXS_Unknown;
    E_TransferSyntax target = EXS_Unknown;
    bool deferred = false; // written as it arrived, for the encode queue to compress into `target`

    TempDicomFile() = default;
    TempDicomFile(const TempDicomFile &) = delete;
    TempDicomFile &operator=(const TempDicomFile &) = delete;
    TempDicomFile(TempDicomFile &&other) noexcept;
    TempDicomFile &operator=(TempDicomFile &&other) noexcept;
    ~TempDicomFile();
    void discard();
};

// The two halves of writeDicomFile. The first writes the image in the chosen
// syntax to a temporary file in `folder` (`path` names the file it is for;
// `mayDefer` leaves the encoding into `target` to the encode queue); false
// with `error`. The second puts such a file in place at `path`, from any
// folder of the same volume, with writeDicomFile's rules.
bool writeTempDicomFile(DcmFileFormat &file, E_TransferSyntax arrived, const QString &folder, const QString &path,
                        E_TransferSyntax target, bool mayDefer, TempDicomFile &temp, QString &error);

// Writes the file in `target` where the pixels allow it (lossless source, an
// encoder available), otherwise in the syntax the image came in. The data go
// to a temporary name in the same folder, are flushed to disk and then renamed
// into place, so a reader never sees half a file. May change the dataset's
// pixel representation. With `deferFolder`, a file that would be re-encoded
// is written as it arrived, beside a marker in that folder for
// ToolkitEncodeQueue (written and flushed first, so no crash leaves the file
// unlisted).
// With `onlyIfStill`, the new file replaces `path` only while `path` is still
// that file (not removed, not replaced by a newer write meanwhile).
// With `unflushed`, nothing is flushed that need not be: the new file, its
// folder, the marker and the marker's folder are added to it, and the caller
// makes them durable (syncDurable) before it calls the file stored. A file
// that replaces an existing one is flushed before the rename all the same.
// With `tempFolder` (same volume), the temporary file is written there
// instead of beside `path`, where a killed process would leave it.
// With `hold`, the written file (and its marker) wait under their temporary
// names until the hold is released; released without placing removes them,
// and nothing at `path` changes. The caller's work elsewhere (the handler
// writing the image's row) overlaps the write.
WriteOutcome writeDicomFile(DcmFileFormat &file, E_TransferSyntax arrived, const QString &path,
                            E_TransferSyntax target, const QString &deferFolder = QString(),
                            const FileIdentity *onlyIfStill = nullptr, QStringList *unflushed = nullptr,
                            SaveHold *hold = nullptr, const QString &tempFolder = {});
WriteOutcome placeTempDicomFile(TempDicomFile &temp, const QString &path, const QString &deferFolder,
                                const FileIdentity *onlyIfStill, QStringList *unflushed,
                                SaveHold *hold);

// Makes `written` (files and folders written without a flush) and the files
// of `alsoDurable` (the archive's write-ahead log) durable with one sync of
// each volume they are on, instead of one flush each. Where a volume cannot
// be synced, or much else waits unflushed on the machine (a sync would write
// that too), every file is flushed on its own. False, with a description,
// when something could not be made durable.
// Data written and not yet on disk, machine-wide (Dirty and Writeback of
// /proc/meminfo), in bytes; -1 when it cannot be told.
qint64 unflushedBytesOfMachine();
bool syncDurable(const QStringList &written, const QStringList &alsoDurable, QString *error);

} // namespace pacs::toolkit::detail
