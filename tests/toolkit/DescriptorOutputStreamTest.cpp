// DCMTK's output into a file descriptor: the bytes are those DCMTK's own
// file stream writes, small pieces and large values alike, and a write the
// volume refuses stops the stream with its cause.

#include "dicom/toolkit/detail/DescriptorOutputStream.h"

#include <QFile>
#include <QTemporaryDir>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcostrmf.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcwcache.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

using pacs::toolkit::detail::DescriptorOutputStream;

namespace {

std::vector<Uint8> patterned(size_t size, int seed)
{
    std::vector<Uint8> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = Uint8((i * 131 + size_t(seed) * 7) >> 3);
    return bytes;
}

// Many short attributes, a sequence, and the pixel data: raw, or as
// fragments of sizes about the stream's own limit.
std::unique_ptr<DcmFileFormat> makeFile(bool encapsulated)
{
    auto file = std::make_unique<DcmFileFormat>();
    DcmDataset *ds = file->getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.7");
    ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.826.0.1.3680043.10.99.4242");
    ds->putAndInsertString(DCM_PatientName, "WRITER^TEST");
    for (Uint16 element = 0x1000; element < 0x10C8; ++element)
        ds->putAndInsertString(DcmTag(0x0009, element, EVR_LO), "a private value");
    DcmItem *item = nullptr;
    ds->findOrCreateSequenceItem(DCM_ReferencedImageSequence, item, -2);
    item->putAndInsertString(DCM_ReferencedSOPInstanceUID, "1.2.3.4");
    ds->putAndInsertUint16(DCM_Rows, 512);
    ds->putAndInsertUint16(DCM_Columns, 768);
    ds->putAndInsertUint16(DCM_BitsAllocated, 16);
    if (!encapsulated) {
        const std::vector<Uint8> pixels = patterned(512 * 768 * 2, 1);
        ds->putAndInsertUint8Array(DCM_PixelData, pixels.data(), Uint32(pixels.size()));
        return file;
    }
    auto sequence = std::make_unique<DcmPixelSequence>(DcmTag(DCM_PixelData, EVR_OB));
    sequence->insert(new DcmPixelItem(DcmTag(DCM_Item, EVR_OB)));
    for (size_t size : {size_t(10), size_t(65534), size_t(65536), size_t(70000), size_t(200000), size_t(2)}) {
        auto *fragment = new DcmPixelItem(DcmTag(DCM_Item, EVR_OB));
        const std::vector<Uint8> bytes = patterned(size, int(size));
        fragment->putUint8Array(bytes.data(), Uint32(bytes.size()));
        sequence->insert(fragment);
    }
    auto *pixel = new DcmPixelData(DCM_PixelData);
    pixel->putOriginalRepresentation(EXS_JPEGProcess14SV1, nullptr, sequence.release());
    ds->insert(pixel, OFTrue);
    return file;
}

OFCondition writeTo(DcmFileFormat &file, DcmOutputStream &out, E_TransferSyntax xfer)
{
    DcmWriteCache cache;
    file.transferInit();
    OFCondition cond;
    do {
        cond = file.write(out, xfer, EET_ExplicitLength, &cache, EGL_recalcGL, EPD_withoutPadding, 0, 0, 0, EWM_updateMeta);
    } while (cond == EC_StreamNotifyClient && out.good());
    out.flush();
    file.transferEnd();
    return cond;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(DescriptorOutputStream, WritesTheBytesDcmtksFileStreamWrites)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const bool encapsulated : {false, true}) {
        SCOPED_TRACE(encapsulated ? "fragments" : "raw pixels");
        const E_TransferSyntax xfer = encapsulated ? EXS_JPEGProcess14SV1 : EXS_LittleEndianExplicit;
        const QString theirs = dir.filePath(QStringLiteral("dcmtk%1.dcm").arg(encapsulated));
        const QString ours = dir.filePath(QStringLiteral("ours%1.dcm").arg(encapsulated));
        {
            auto file = makeFile(encapsulated);
            DcmOutputFileStream out(QFile::encodeName(theirs).constData());
            ASSERT_TRUE(writeTo(*file, out, xfer).good());
        }
        auto file = makeFile(encapsulated);
        const int fd = ::open(QFile::encodeName(ours).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        DescriptorOutputStream out(fd);
        const OFCondition cond = writeTo(*file, out, xfer);
        ::close(fd);
        ASSERT_TRUE(cond.good()) << cond.text();
        EXPECT_TRUE(out.good());
        EXPECT_TRUE(out.isFlushed());
        EXPECT_EQ(out.consumer().error(), 0);
        const QByteArray expected = contents(theirs);
        ASSERT_GT(expected.size(), 300000);
        EXPECT_EQ(out.consumer().written(), expected.size());
        EXPECT_TRUE(contents(ours) == expected) << "the files differ";
    }
}

TEST(DescriptorOutputStream, AWriteTheVolumeRefusesStopsTheStreamWithItsCause)
{
    // /dev/full refuses every write as a full volume does.
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    auto file = makeFile(false);
    DescriptorOutputStream out(fd);
    const OFCondition cond = writeTo(*file, out, EXS_LittleEndianExplicit);
    ::close(fd);
    EXPECT_FALSE(out.good());
    EXPECT_EQ(out.consumer().error(), ENOSPC);
    EXPECT_EQ(out.consumer().written(), 0);
    EXPECT_TRUE(out.status().bad());
    EXPECT_NE(std::string(out.status().text()).find("space"), std::string::npos) << out.status().text();
    EXPECT_TRUE(cond.bad() || cond == EC_StreamNotifyClient);
    EXPECT_EQ(out.write("x", 1), 0) << "nothing more is taken once a write failed";
}
