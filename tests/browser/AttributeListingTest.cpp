#include "browser/AttributeListing.h"
#include "dicom/toolkit/ToolkitImage.h"
#include "dicom/toolkit/ToolkitSequence.h"
#include "tests/support/SampleImages.h"
#include "tests/support/TestSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::browser;
using namespace pacs::toolkit;

namespace {

ToolkitDataset codeItem(const QString &value)
{
    ToolkitDataset item;
    item.putAttribute(0x0008, 0x0100, value);
    return item;
}

QVariantList numbers(int count)
{
    QVariantList list;
    for (int i = 0; i < count; ++i)
        list << i;
    return list;
}

// A CT sample with the kinds of values the listing tells apart, written to a
// file and read back the way the viewer reads a stored image.
QString listingOfRichImage(const QTemporaryDir &dir)
{
    const QString source = dir.filePath("source.dcm");
    test::SampleSpec spec;
    spec.instanceUid = "1.2.826.0.1.3680043.9.7.1";
    spec.elements["0008,0008"] = "ORIGINAL\\PRIMARY\\AXIAL";
    spec.elements["0020,0032"] = "-125\\-125.5\\30";
    EXPECT_FALSE(test::writeSample(source, spec).isEmpty());
    ToolkitImage image;
    EXPECT_TRUE(image.readFile(source));
    ToolkitAttributeSet set = image.attributeSet();
    set.putAttribute(0x0054, 0x0050, numbers(33)); // upper bound 32: still listed
    set.putAttribute(0x0054, 0x0020, numbers(34)); // upper bound 33: summarised
    set.putAttribute(0x0042, 0x0011, "01\\02\\ff\\10"); // OB from text: bytes in hex, even length

    ToolkitSequence inner;
    inner.sequenceAdd(codeItem("A1"));
    inner.sequenceAdd(codeItem("A2"));
    ToolkitDataset requested;
    requested.putAttribute(0x0040, 0x0008, QVariant::fromValue(inner));
    requested.putAttribute(0x0040, 0x1001, "RP1");
    ToolkitDataset second;
    second.putAttribute(0x0040, 0x1001, "RP2");
    ToolkitSequence outer;
    outer.sequenceAdd(requested);
    outer.sequenceAdd(second);
    set.putAttribute(0x0040, 0x0275, QVariant::fromValue(outer));
    set.putAttribute(0x0008, 0x1111, QVariant::fromValue(ToolkitSequence()));

    const QString stored = dir.filePath("stored.dcm");
    EXPECT_TRUE(image.writeImageFile(stored, false));
    ToolkitImage reread;
    EXPECT_TRUE(reread.readFile(stored));
    return AttributeListing::listing(reread.attributeSet());
}

} // namespace

TEST(AttributeListing, ListsPlainValuesArraysPixelDataAndNestedSequencesInTheFixedLayout)
{
    QTemporaryDir dir;
    const QString text = listingOfRichImage(dir);
    ASSERT_TRUE(text.endsWith("\r\n"));
    EXPECT_EQ(text.count("\n"), text.count("\r\n")) << "every line ends in CR LF";
    const QStringList lines = text.split("\r\n");

    // Plain values: the tag, the description padded to 30, the value as the toolkit reads it.
    EXPECT_TRUE(lines.contains("(0008,0018) : SOPInstanceUID                : 1.2.826.0.1.3680043.9.7.1"));
    EXPECT_TRUE(lines.contains("(0010,0010) : PatientName                   : DOE^JOHN"));
    EXPECT_TRUE(lines.contains("(0008,0020) : StudyDate                     : 1/15/2024"));
    EXPECT_TRUE(lines.contains("(0028,0010) : Rows                          : 64"));
    // Group 7FE0 whatever its value.
    EXPECT_TRUE(lines.contains("(7FE0,0010) : PixelData                     : Pixel data"));

    // Several text values and several numbers: one line break, 14 blanks, values between " : ".
    EXPECT_TRUE(text.contains("(0008,0008) : ImageType                     : Multiple values :\r\n"
                              "              ORIGINAL : PRIMARY : AXIAL\r\n"));
    EXPECT_TRUE(text.contains("(0020,0032) : ImagePositionPatient          : Multiple values :\r\n"
                              "              -125 : -125.5 : 30\r\n"));
    QStringList upTo32;
    for (int i = 0; i < 33; ++i)
        upTo32 << QString::number(i);
    EXPECT_TRUE(text.contains("(0054,0050) : RotationVector                : Multiple values :\r\n              "
                              + upTo32.join(" : ") + "\r\n"));
    EXPECT_TRUE(text.contains("(0054,0020) : DetectorVector                : Multiple values :\r\n"
                              "              Array of 33 elements\r\n"));
    EXPECT_TRUE(text.contains("(0042,0011) : EncapsulatedDocument          : Multiple values :\r\n"
                              "              1 : 2 : 255 : 16\r\n"));

    // A description longer than 30 characters is cut; an empty sequence has only its closing line.
    EXPECT_TRUE(text.contains("(0008,1111) : ReferencedPerformedProcedureSt: Sequence of 0 items:\r\n"
                              ">---------------\r\n(0010,"));

    // Two items in a sequence nested in a sequence of two items.
    EXPECT_TRUE(text.contains("(0040,0275) : RequestAttributesSequence     : Sequence of 2 items:\r\n"
                              ">---------------\r\n"
                              ">(0040,0008) : ScheduledProtocolCodeSequence : Sequence of 2 items:\r\n"
                              ">>---------------\r\n"
                              ">>(0008,0100) : CodeValue                     : A1\r\n"
                              ">>---------------\r\n"
                              ">>(0008,0100) : CodeValue                     : A2\r\n"
                              ">>---------------\r\n"
                              ">(0040,1001) : RequestedProcedureID          : RP1\r\n"
                              ">---------------\r\n"
                              ">(0040,1001) : RequestedProcedureID          : RP2\r\n"
                              ">---------------\r\n"))
        << text.toStdString();
    EXPECT_EQ(lines.count(">---------------"), 3 + 1); // the outer sequence's three and the empty one's
    EXPECT_EQ(lines.count(">>---------------"), 3);
}

TEST(AttributeListing, WritesNumbersAsTheirLastFourUpperCaseHexDigits)
{
    EXPECT_EQ(AttributeListing::hex4(16), "0010");
    EXPECT_EQ(AttributeListing::hex4(0x7FE0), "7FE0");
    EXPECT_EQ(AttributeListing::hex4(0), "0000");
    EXPECT_EQ(AttributeListing::hex4(0x12345), "2345");
}
