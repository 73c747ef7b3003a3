// The deferred compression's final replacement: it replaces only the very
// file it was made from. A file removed or rewritten while the compressed
// form was being made stays as the removal or the newer write left it.

#include "dicom/toolkit/ToolkitEncodeQueue.h"
#include "dicom/toolkit/detail/ImageWriter.h"
#include "dicom/toolkit/detail/Runtime.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <gtest/gtest.h>

#include <vector>

using namespace pacs::toolkit;
using namespace pacs::toolkit::detail;

namespace {

DcmFileFormat slice(Uint16 level)
{
    DcmFileFormat file;
    DcmDataset *ds = file.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.2");
    ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.826.0.1.3680043.10.99.78");
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertUint16(DCM_Rows, 32);
    ds->putAndInsertUint16(DCM_Columns, 32);
    ds->putAndInsertUint16(DCM_BitsAllocated, 16);
    ds->putAndInsertUint16(DCM_BitsStored, 12);
    ds->putAndInsertUint16(DCM_HighBit, 11);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
    std::vector<Uint16> pixels(32 * 32);
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
}
