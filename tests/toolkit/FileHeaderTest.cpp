#include "dicom/toolkit/detail/FileHeader.h"
#include "tests/support/SampleImages.h"

#include <QFile>
#include <QTemporaryDir>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <gtest/gtest.h>

#include <string>

using pacs::toolkit::detail::FileHeader;
using pacs::toolkit::detail::parseFileMetaHeader;
using pacs::toolkit::detail::peekFile;

namespace {

QByteArray fileStart(const QString &path, int bytes = 4096)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(bytes) : QByteArray();
}

bool parse(const QByteArray &bytes, FileHeader &header)
{
    return parseFileMetaHeader(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()), header);
}

// One explicit little-endian element of group 0002.
QByteArray element(unsigned number, const char *vr, const QByteArray &value, bool longLength = false)
{
    QByteArray out;
    auto put16 = [&out](unsigned v) { out.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF)); };
    put16(0x0002);
    put16(number);
    out.append(vr, 2);
    if (longLength) {
        put16(0);
        put16(unsigned(value.size()) & 0xFFFF);
        put16(unsigned(value.size()) >> 16);
    } else {
        put16(unsigned(value.size()));
    }
    return out + value;
}

QByteArray metaStart() { return QByteArray(128, '\0') + QByteArrayLiteral("DICM"); }

const QByteArray kCt = QByteArray(UID_CTImageStorage) + '\0';                      // padded to even length
const QByteArray kExplicit = QByteArray(UID_LittleEndianExplicitTransferSyntax) + '\0';

} // namespace

// The quick read of the meta group must say what DCMTK says, for every kind
// of file a department sends; the C-MOVE proposes its contexts from it.
TEST(ToolkitFileHeader, MetaGroupReadsAsDcmtkReadsIt)
{
    QTemporaryDir dir;
    const QStringList files = pacs::test::writeVariedCorpus(dir.path());
    ASSERT_GE(files.size(), 8);
    for (const QString &path : files) {
        SCOPED_TRACE(path.toStdString());
        FileHeader quick;
        ASSERT_TRUE(parse(fileStart(path), quick));
        DcmFileFormat file;
        ASSERT_TRUE(file.loadFile(QFile::encodeName(path).constData()).good());
        OFString sopClass;
        file.getDataset()->findAndGetOFString(DCM_SOPClassUID, sopClass);
        EXPECT_EQ(quick.sopClass, std::string(sopClass.c_str()));
        EXPECT_EQ(quick.xfer, file.getDataset()->getOriginalXfer());
        EXPECT_EQ(QString::fromLatin1(DcmXfer(quick.xfer).getXferID()), pacs::test::fileTransferSyntax(path));
        FileHeader peeked;
        ASSERT_TRUE(peekFile(path, peeked));
        EXPECT_EQ(peeked.sopClass, quick.sopClass);
        EXPECT_EQ(peeked.xfer, quick.xfer);
    }
}

// Starts the quick read does not take: a file without meta group still
// peeks through DCMTK; a meta group longer than one read, or with its values
// after a long private part, still gives its values; anything malformed is
// refused without reading past the bytes given.
TEST(ToolkitFileHeader, OtherStartsFallBackOrAreRefused)
{
    QTemporaryDir dir;
    const QString sample = dir.filePath(QStringLiteral("ct.dcm"));
    ASSERT_FALSE(pacs::test::writeSample(sample, {}).isEmpty());

    // A bare dataset, as some old systems keep them.
    DcmFileFormat file;
    ASSERT_TRUE(file.loadFile(QFile::encodeName(sample).constData()).good());
    const QString bare = dir.filePath(QStringLiteral("bare.dcm"));
    ASSERT_TRUE(file.getDataset()->saveFile(QFile::encodeName(bare).constData(), EXS_LittleEndianImplicit).good());
    FileHeader header;
    EXPECT_FALSE(parse(fileStart(bare), header));
    ASSERT_TRUE(peekFile(bare, header));
    EXPECT_EQ(header.sopClass, std::string(UID_CTImageStorage));
    EXPECT_EQ(header.xfer, EXS_LittleEndianImplicit);

    // The values come before a private part longer than the read.
    const QByteArray longPrivate = metaStart() + element(0x0001, "OB", QByteArray("\0\1", 2), true)
                                   + element(0x0002, "UI", kCt) + element(0x0010, "UI", kExplicit)
                                   + element(0x0102, "OB", QByteArray(10000, 'x'), true);
    header = {};
    ASSERT_TRUE(parse(longPrivate.left(4096), header));
    EXPECT_EQ(header.sopClass, std::string(UID_CTImageStorage));
    EXPECT_EQ(header.xfer, EXS_LittleEndianExplicit);

    const QByteArray good = metaStart() + element(0x0002, "UI", kCt) + element(0x0010, "UI", kExplicit);
    // Every cut of a good group short of its last value is refused, the whole one read.
    for (int size = 0; size < good.size(); ++size) {
        FileHeader cut;
        EXPECT_FALSE(parse(good.left(size), cut)) << size;
    }
    header = {};
    EXPECT_TRUE(parse(good, header));

    // Implicit VR in the meta group (lengths where the VR letters belong).
    QByteArray implicit = metaStart();
    for (const QByteArray &value : {kCt, kExplicit}) {
        implicit += QByteArray("\x02\x00", 2) + (value == kCt ? QByteArray("\x02\x00", 2) : QByteArray("\x10\x00", 2));
        const quint32 length = quint32(value.size());
        implicit += QByteArray(reinterpret_cast<const char *>(&length), 4) + value;
    }
    EXPECT_FALSE(parse(implicit, header = {}));
    // A value that claims more bytes than there are, or an undefined length.
    EXPECT_FALSE(parse(metaStart() + element(0x0002, "UI", kCt) + QByteArray("\x02\x00\x10\x00UI\xff\x00", 8) + kExplicit,
                       header = {}));
    QByteArray undefined = metaStart() + element(0x0001, "OB", QByteArray("\0\1", 2), true);
    undefined[128 + 4 + 8] = '\xff', undefined[128 + 4 + 9] = '\xff', undefined[128 + 4 + 10] = '\xff',
    undefined[128 + 4 + 11] = '\xff';
    EXPECT_FALSE(parse(undefined + element(0x0002, "UI", kCt) + element(0x0010, "UI", kExplicit), header = {}));
    // Not a UID, an unknown syntax, no "DICM".
    EXPECT_FALSE(parse(metaStart() + element(0x0002, "UI", "CT IMAGE") + element(0x0010, "UI", kExplicit), header = {}));
    EXPECT_FALSE(parse(metaStart() + element(0x0002, "UI", kCt) + element(0x0010, "UI", "1.2.3.4"), header = {}));
    EXPECT_FALSE(parse(QByteArray(128, '\0') + "DICX" + element(0x0002, "UI", kCt) + element(0x0010, "UI", kExplicit),
                       header = {}));
    EXPECT_FALSE(peekFile(dir.filePath(QStringLiteral("missing.dcm")), header = {}));
}
