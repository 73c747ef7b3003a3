#include "toolkit/ToolkitAttribute.h"
#include "toolkit/ToolkitDataset.h"
#include "toolkit/ToolkitSequence.h"
#include "toolkit/ToolkitUtility.h"

#include <QRegularExpression>
#include <QSet>
#include <QTime>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>

#include <gtest/gtest.h>

using namespace pacs::toolkit;

namespace {

// A dataset holding one raw DICOM value, as a peer would send it.
ToolkitDataset withRaw(const DcmTagKey &key, const char *value)
{
    ToolkitDataset ds;
    ds.item()->putAndInsertString(key, value);
    return ds;
}

QString raw(const ToolkitDataset &ds, const DcmTagKey &key)
{
    OFString value;
    ds.item()->findAndGetOFStringArray(key, value);
    return QString::fromLatin1(value.c_str());
}

} // namespace

TEST(ToolkitValues, DatesReadAsDatesWithMonthDayYearText)
{
    const ToolkitAttribute a = withRaw(DCM_StudyDate, "20240115").findAttribute(0x0008, 0x0020);
    EXPECT_EQ(a.attributeValue().toDate(), QDate(2024, 1, 15));
    EXPECT_EQ(a.attributeText(), QStringLiteral("1/15/2024"));
    EXPECT_EQ(ToolkitAttribute::textOf(QDate(2023, 11, 5)), QStringLiteral("11/5/2023"));
}

TEST(ToolkitValues, TimesReadAsTimesWithClockText)
{
    EXPECT_EQ(withRaw(DCM_StudyTime, "103000").findAttribute(0x0008, 0x0030).attributeText(), QStringLiteral("10:30:00"));
    EXPECT_EQ(withRaw(DCM_StudyTime, "0705").findAttribute(0x0008, 0x0030).attributeText(), QStringLiteral("07:05:00"));
    const QVariant fractional = withRaw(DCM_StudyTime, "235959.123456").findAttribute(0x0008, 0x0030).attributeValue();
    EXPECT_EQ(fractional.toTime().second(), 59);
    EXPECT_EQ(ToolkitAttribute::textOf(fractional), QStringLiteral("23:59:59"));
}

TEST(ToolkitValues, UnparseableDatesAndTimesStayText)
{
    const QVariant date = withRaw(DCM_PatientBirthDate, "2024XX15").findAttribute(0x0010, 0x0030).attributeValue();
    EXPECT_EQ(date.userType(), QMetaType::QString);
    EXPECT_EQ(date.toString(), QStringLiteral("2024XX15"));
    const QVariant time = withRaw(DCM_StudyTime, "25h").findAttribute(0x0008, 0x0030).attributeValue();
    EXPECT_EQ(time.userType(), QMetaType::QString);
}

TEST(ToolkitValues, MissingAndEmptyElementsReadAsNull)
{
    ToolkitDataset ds = withRaw(DCM_PatientName, "");
    const ToolkitAttribute missing = ds.findAttribute(0x0010, 0x0020);
    EXPECT_FALSE(missing.attributeExists());
    EXPECT_TRUE(missing.attributeValue().isNull());
    EXPECT_EQ(missing.attributeVr(), QStringLiteral("LO"));
    const ToolkitAttribute empty = ds.findAttribute(0x0010, 0x0010);
    EXPECT_TRUE(empty.attributeExists());
    EXPECT_TRUE(empty.attributeValue().isNull());
    EXPECT_EQ(empty.attributeDescription(), QStringLiteral("PatientName"));
}

TEST(ToolkitValues, DateRangesGiveTheirEnds)
{
    auto range = [](const char *value) {
        const ToolkitAttribute a = withRaw(DCM_StudyDate, value).findAttribute(0x0008, 0x0020);
        return std::make_pair(a.attributeRangeStart(), a.attributeRangeEnd());
    };
    auto [s1, e1] = range("20240101-");
    EXPECT_EQ(s1.toDate(), QDate(2024, 1, 1));
    EXPECT_TRUE(e1.isNull());
    auto [s2, e2] = range("-20241231");
    EXPECT_TRUE(s2.isNull());
    EXPECT_EQ(e2.toDate(), QDate(2024, 12, 31));
    auto [s3, e3] = range("20240101-20241231");
    EXPECT_EQ(s3.toDate(), QDate(2024, 1, 1));
    EXPECT_EQ(e3.toDate(), QDate(2024, 12, 31));
    auto [s4, e4] = range("20240115");
    EXPECT_EQ(s4.toDate(), QDate(2024, 1, 15));
    EXPECT_EQ(e4.toDate(), QDate(2024, 1, 15));
}

TEST(ToolkitValues, PutWritesDicomForms)
{
    ToolkitDataset ds;
    ds.putAttribute(0x0008, 0x0020, QDate(2024, 1, 15));
    ds.putAttribute(0x0010, 0x0030, QStringLiteral("2/3/1981"));
    ds.putAttribute(0x0008, 0x0030, QTime(9, 5, 7));
    ds.putAttribute(0x0020, 0x0013, 7);
    ds.putAttribute(0x0010, 0x0020, QVariant()); // present, empty
    ds.putAttribute(0x0008, 0x0061, QStringList{QStringLiteral("CT"), QStringLiteral("MR")});
    EXPECT_EQ(raw(ds, DCM_StudyDate), QStringLiteral("20240115"));
    EXPECT_EQ(raw(ds, DCM_PatientBirthDate), QStringLiteral("19810203"));
    EXPECT_EQ(raw(ds, DCM_StudyTime), QStringLiteral("090507"));
    EXPECT_EQ(raw(ds, DCM_InstanceNumber), QStringLiteral("7"));
    EXPECT_TRUE(ds.findAttribute(0x0010, 0x0020).attributeExists());
    EXPECT_EQ(raw(ds, DCM_ModalitiesInStudy), QStringLiteral("CT\\MR"));
}

TEST(ToolkitValues, NumbersAndMultipleValues)
{
    ToolkitDataset ds = withRaw(DCM_PixelSpacing, "0.5\\0.25");
    ds.item()->putAndInsertUint16(DCM_Rows, 512);
    ds.item()->putAndInsertString(DCM_ModalitiesInStudy, "CT\\MR");
    const QVariantList spacing = ds.findAttribute(0x0028, 0x0030).attributeValue().toList();
    ASSERT_EQ(spacing.size(), 2);
    EXPECT_DOUBLE_EQ(spacing.at(1).toDouble(), 0.25);
    EXPECT_EQ(ds.findAttribute(0x0028, 0x0010).attributeValue().toInt(), 512);
    // Multi-valued text stays one text, as query keys are split by the program.
    EXPECT_EQ(ds.findAttribute(0x0008, 0x0061).attributeValue().toString(), QStringLiteral("CT\\MR"));
}

TEST(ToolkitValues, LatinNamesRoundTrip)
{
    ToolkitDataset ds;
    ds.putAttribute(0x0010, 0x0010, QStringLiteral("PEÑA^ANA"));
    EXPECT_EQ(ds.findAttribute(0x0010, 0x0010).attributeText(), QStringLiteral("PEÑA^ANA"));
}

TEST(ToolkitValues, SequencesNestAndEnumerate)
{
    ToolkitSequence items = ToolkitUtility::newSequence();
    for (const char *uid : {"1.2.3.1", "1.2.3.2"}) {
        ToolkitDataset item = ToolkitUtility::newDataset();
        item.putAttribute(0x0020, 0x000E, QString::fromLatin1(uid));
        items.sequenceAdd(item);
    }
    ToolkitDataset ds;
    ds.putAttribute(0x0010, 0x0020, QStringLiteral("P1"));
    ASSERT_TRUE(ds.putAttribute(0x0008, 0x1115, QVariant::fromValue(items)));

    const QVariant value = ds.findAttribute(0x0008, 0x1115).attributeValue();
    ASSERT_TRUE(value.canConvert<ToolkitSequence>());
    const ToolkitSequence read = value.value<ToolkitSequence>();
    ASSERT_EQ(read.sequenceCount(), 2);
    EXPECT_EQ(read.sequenceItem(2).datasetSeriesUid(), QStringLiteral("1.2.3.2"));
    EXPECT_TRUE(read.sequenceItem(3).isEmpty());

    const QList<ToolkitAttribute> all = ds.datasetAttributes().attributes();
    ASSERT_EQ(all.size(), 2);
    EXPECT_EQ(all.at(0).attributeGroup(), 0x0008); // dataset order is tag order
    EXPECT_EQ(all.at(1).attributeElement(), 0x0020);
}

TEST(ToolkitValues, NewUidsAreUniqueAndValid)
{
    QSet<QString> seen;
    const QRegularExpression valid(QStringLiteral("^[0-9]+(\\.[0-9]+)+$"));
    for (int i = 0; i < 200; ++i) {
        const QString uid = ToolkitUtility::newUid();
        EXPECT_LE(uid.size(), 64);
        EXPECT_TRUE(valid.match(uid).hasMatch()) << uid.toStdString();
        seen.insert(uid);
    }
    EXPECT_EQ(seen.size(), 200);
}
