// The deferred compression's final replacement: it replaces only the very
// file it was made from. A file removed or rewritten while the compressed
// form was being made stays as the removal or the newer write left it.

#include "dicom/toolkit/ToolkitEncodeQueue.h"
#include "dicom/toolkit/ToolkitImage.h"
#include "dicom/toolkit/detail/ImageWriter.h"
#include "dicom/toolkit/detail/Runtime.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <gtest/gtest.h>

#include <vector>

#include <sys/stat.h>

using namespace pacs::toolkit;
using namespace pacs::toolkit::detail;

namespace {

DcmFileFormat slice(Uint16 level, Uint16 size = 32)
{
    DcmFileFormat file;
    DcmDataset *ds = file.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.2");
    ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.826.0.1.3680043.10.99.78");
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertUint16(DCM_Rows, size);
    ds->putAndInsertUint16(DCM_Columns, size);
    ds->putAndInsertUint16(DCM_BitsAllocated, 16);
    ds->putAndInsertUint16(DCM_BitsStored, 12);
    ds->putAndInsertUint16(DCM_HighBit, 11);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
    std::vector<Uint16> pixels(size_t(size) * size);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = Uint16((level + i) & 0x0FFF);
    ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), Uint32(pixels.size()));
    return file;
}

E_TransferSyntax syntaxOf(const QString &path)
{
    DcmFileFormat file;
    if (file.loadFile(QFile::encodeName(path).constData()).bad())
        return EXS_Unknown;
    return file.getDataset()->getOriginalXfer();
}

// The pixel values of a file after decoding; empty when they cannot be read.
std::vector<Uint16> pixelsOf(const QString &path)
{
    DcmFileFormat file;
    const Uint16 *values = nullptr;
    unsigned long count = 0;
    if (file.loadFile(QFile::encodeName(path).constData()).bad()
        || file.getDataset()->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad()
        || file.getDataset()->findAndGetUint16Array(DCM_PixelData, values, &count).bad())
        return {};
    return std::vector<Uint16>(values, values + count);
}

} // namespace

TEST(EncodeQueue, TheCompressedFormReplacesOnlyTheFileItWasMadeFrom)
{
    initializeRuntime();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("IMAGES/one.dcm");
    DcmFileFormat received = slice(1);
    ASSERT_TRUE(writeDicomFile(received, EXS_LittleEndianExplicit, path, EXS_LittleEndianExplicit).ok);

    // Unchanged since it was read: replaced by its compressed form.
    FileIdentity read = FileIdentity::of(path);
    ASSERT_TRUE(read.exists);
    DcmFileFormat compressing = slice(1);
    auto outcome = writeDicomFile(compressing, EXS_LittleEndianExplicit, path, EXS_JPEGProcess14, {}, &read);
    EXPECT_TRUE(outcome.ok) << outcome.error.toStdString();
    EXPECT_EQ(syntaxOf(path), EXS_JPEGProcess14);

    // Resent while it was being compressed: the resend stays.
    read = FileIdentity::of(path);
    DcmFileFormat resend = slice(2);
    ASSERT_TRUE(writeDicomFile(resend, EXS_LittleEndianExplicit, path, EXS_LittleEndianExplicit).ok);
    EXPECT_FALSE(FileIdentity::of(path) == read);
    DcmFileFormat stale = slice(1);
    outcome = writeDicomFile(stale, EXS_LittleEndianExplicit, path, EXS_JPEGProcess14, {}, &read);
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.superseded);
    EXPECT_EQ(syntaxOf(path), EXS_LittleEndianExplicit);

    // Deleted while it was being compressed: it stays deleted, and no temporary file is left.
    read = FileIdentity::of(path);
    ASSERT_TRUE(ToolkitEncodeQueue::removeStoredFile(path));
    EXPECT_TRUE(ToolkitEncodeQueue::removeStoredFile(path)); // already gone is no failure
    DcmFileFormat late = slice(2);
    outcome = writeDicomFile(late, EXS_LittleEndianExplicit, path, EXS_JPEGProcess14, {}, &read);
    EXPECT_TRUE(outcome.superseded);
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_TRUE(QDir(dir.filePath("IMAGES")).entryList(QDir::Files | QDir::Hidden).isEmpty());

    // Two writes of one path get two markers: finishing the older leaves the newer.
    QString first, second, error;
    const QString queue = dir.filePath("IMAGES/_encode");
    ASSERT_TRUE(ToolkitEncodeQueue::writeMarker(queue, path, "1.2.840.10008.1.2.4.57", &first, &error));
    ASSERT_TRUE(ToolkitEncodeQueue::writeMarker(queue, path, "1.2.840.10008.1.2.4.57", &second, &error));
    EXPECT_NE(first, second);

    // A save that leaves the flushes to its caller: a new name in a folder
    // that is missing, then the same name again, replaced whole.
    const QString other = dir.filePath("IMAGES/2026/study/two.dcm");
    for (Uint16 level : {Uint16(5), Uint16(6)}) {
        QStringList unflushed;
        DcmFileFormat sent = slice(level);
        outcome = writeDicomFile(sent, EXS_LittleEndianExplicit, other, EXS_LittleEndianExplicit, {}, nullptr, &unflushed);
        ASSERT_TRUE(outcome.ok) << outcome.error.toStdString();
        EXPECT_TRUE(unflushed.contains(other));
        const std::vector<Uint16> pixels = pixelsOf(other);
        ASSERT_FALSE(pixels.empty());
        EXPECT_EQ(pixels[0], level);
    }
    EXPECT_EQ(QDir(dir.filePath("IMAGES/2026/study")).entryList(QDir::Files | QDir::Hidden), QStringList{"two.dcm"});
}

// The viewer holds an image read before the encoder (or a header edit)
// replaced its file. Writing what it holds must give its own pixels, never
// bytes of the new file read at the old offsets.
TEST(EncodeQueue, AnImageReadBeforeItsFileWasReplacedKeepsItsOwnPixels)
{
    initializeRuntime();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("IMAGES/one.dcm");
    DcmFileFormat received = slice(100, 64); // pixel data above DCMTK's 4 KB read-later limit
    ASSERT_TRUE(writeDicomFile(received, EXS_LittleEndianExplicit, path, EXS_LittleEndianExplicit).ok);
    const std::vector<Uint16> original = pixelsOf(path);
    ASSERT_EQ(original.size(), 64u * 64u);

    ToolkitImage viewed;
    QString error;
    ASSERT_TRUE(viewed.readFile(path, &error)) << error.toStdString();
    DcmFileFormat readLater; // as DCMTK reads by default: the pixel data left in the file
    ASSERT_TRUE(readLater.loadFile(QFile::encodeName(path).constData()).good());

    DcmFileFormat other = slice(900, 64);
    ASSERT_TRUE(writeDicomFile(other, EXS_LittleEndianExplicit, path, EXS_JPEGProcess14).ok);
    ASSERT_EQ(syntaxOf(path), EXS_JPEGProcess14);

    const QString edited = dir.filePath("IMAGES/edited.dcm");
    ASSERT_TRUE(viewed.writeImageFile(edited, true, &error)) << error.toStdString();
    EXPECT_EQ(pixelsOf(edited), original);

    // A source that can no longer give its pixels is refused, nothing is written.
    const QString broken = dir.filePath("IMAGES/broken.dcm");
    const auto outcome = writeDicomFile(readLater, EXS_LittleEndianExplicit, broken, EXS_JPEGProcess14);
    EXPECT_FALSE(outcome.ok);
    EXPECT_FALSE(outcome.error.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(broken));
}

// Files go out through a buffer of 256 KB: one larger than that, as received
// and compressed, reads back whole.
TEST(EncodeQueue, AFileLargerThanTheWriteBufferIsWrittenWhole)
{
    initializeRuntime();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString raw = dir.filePath("IMAGES/raw.dcm"), compressed = dir.filePath("IMAGES/jpeg.dcm");
    DcmFileFormat first = slice(5, 600), second = slice(5, 600); // 720 KB of pixels
    ASSERT_TRUE(writeDicomFile(first, EXS_LittleEndianExplicit, raw, EXS_LittleEndianExplicit).ok);
    ASSERT_TRUE(writeDicomFile(second, EXS_LittleEndianExplicit, compressed, EXS_JPEGProcess14).ok);
    EXPECT_GT(QFileInfo(raw).size(), 600 * 600 * 2);
    EXPECT_EQ(syntaxOf(compressed), EXS_JPEGProcess14);
    DcmFileFormat expected = slice(5, 600);
    const Uint16 *values = nullptr;
    unsigned long count = 0;
    ASSERT_TRUE(expected.getDataset()->findAndGetUint16Array(DCM_PixelData, values, &count).good());
    const std::vector<Uint16> original(values, values + count);
    EXPECT_EQ(pixelsOf(raw), original);
    EXPECT_EQ(pixelsOf(compressed), original);
}

// A temporary file never takes a name that is there already (what a killed
// process of the same number left), is made in a folder that is not there
// yet, and the stored file is readable by all whatever the process's umask.
TEST(EncodeQueue, TemporaryFilesPassOverLeftNamesAndStoredFilesAreReadableByAll)
{
    initializeRuntime();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.filePath("not/yet/there"), path = folder + QStringLiteral("/a.dcm");
    const mode_t previous = ::umask(077);
    const auto restore = qScopeGuard([previous] { ::umask(previous); });
    QString error;
    DcmFileFormat first = slice(1);
    TempDicomFile firstTemp;
    ASSERT_TRUE(writeTempDicomFile(first, EXS_LittleEndianExplicit, folder, path, EXS_LittleEndianExplicit, false,
                                   firstTemp, error))
        << error.toStdString();
    // The names that come next, left with other contents.
    const QString stem = firstTemp.path.left(firstTemp.path.lastIndexOf(QLatin1Char('.')) + 1);
    bool numbered = false;
    const qulonglong number = firstTemp.path.mid(stem.size()).toULongLong(&numbered, 36);
    ASSERT_TRUE(numbered) << firstTemp.path.toStdString();
    QStringList left;
    for (qulonglong next = number + 1; next <= number + 3; ++next) {
        left << stem + QString::number(next, 36);
        QFile file(left.back());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("left");
    }
    DcmFileFormat second = slice(2);
    TempDicomFile temp;
    ASSERT_TRUE(writeTempDicomFile(second, EXS_LittleEndianExplicit, folder, path, EXS_JPEGProcess14, false, temp, error))
        << error.toStdString();
    EXPECT_FALSE(left.contains(temp.path)) << temp.path.toStdString();
    for (const QString &name : left) {
        QFile file(name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), QByteArray("left")) << name.toStdString();
    }
    const WriteOutcome placed = placeTempDicomFile(temp, path, {}, nullptr, nullptr, nullptr);
    ASSERT_TRUE(placed.ok) << placed.error.toStdString();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, mode_t(0644));
    EXPECT_EQ(syntaxOf(path), EXS_JPEGProcess14);
    DcmFileFormat expected = slice(2);
    const Uint16 *values = nullptr;
    unsigned long count = 0;
    ASSERT_TRUE(expected.getDataset()->findAndGetUint16Array(DCM_PixelData, values, &count).good());
    EXPECT_EQ(pixelsOf(path), std::vector<Uint16>(values, values + count));
}
