#include "dicom/toolkit/ToolkitAttribute.h"
#include "dicom/toolkit/ToolkitDataset.h"
#include "dicom/toolkit/ToolkitSequence.h"
#include "dicom/toolkit/ToolkitUtility.h"

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
    EXPECT_EQ(withRaw(DCM_StudyDate, "20240229").findAttribute(0x0008, 0x0020).attributeValue().toDate(), QDate(2024, 2, 29));
    EXPECT_EQ(withRaw(DCM_StudyDate, "2024.01.15").findAttribute(0x0008, 0x0020).attributeValue().toDate(), QDate(2024, 1, 15));
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
    // Eight characters that are no calendar day stay what they were.
    for (const char *notADay : {"20230229", "20241301", "20240100", "00000101", "+2024011", "2024 115"}) {
        const QVariant value = withRaw(DCM_PatientBirthDate, notADay).findAttribute(0x0010, 0x0030).attributeValue();
        EXPECT_EQ(value.userType(), QMetaType::QString) << notADay;
    }
    const QVariant time = withRaw(DCM_StudyTime, "25h").findAttribute(0x0008, 0x0030).attributeValue();
    EXPECT_EQ(time.userType(), QMetaType::QString);
}

TEST(ToolkitValues, MissingElementsReadAsNullEmptyOnesAsEmptyText)
{
    ToolkitDataset ds = withRaw(DCM_PatientName, "");
    ds.item()->putAndInsertString(DCM_AccessionNumber, "");
    ds.item()->putAndInsertString(DCM_StudyDate, "");
    ds.item()->putAndInsertString(DCM_StudyTime, "");
    ds.item()->insertEmptyElement(DCM_Rows);
    const ToolkitAttribute missing = ds.findAttribute(0x0010, 0x0020);
    EXPECT_FALSE(missing.attributeExists());
    EXPECT_TRUE(missing.attributeValue().isNull());
    EXPECT_EQ(missing.attributeVr(), QStringLiteral("LO"));
    const ToolkitAttribute empty = ds.findAttribute(0x0010, 0x0010);
    EXPECT_TRUE(empty.attributeExists());
    EXPECT_EQ(empty.attributeDescription(), QStringLiteral("PatientName"));
    // Present but empty is a value, the empty text, for every kind of element.
    for (const auto &[group, element] : {std::pair{0x0010, 0x0010}, {0x0008, 0x0050}, {0x0008, 0x0020}, {0x0008, 0x0030},
                                         {0x0028, 0x0010}}) {
        const QVariant value = ds.findAttribute(group, element).attributeValue();
        EXPECT_TRUE(value.isValid() && !value.isNull()) << std::hex << group << "," << element;
        EXPECT_EQ(value.userType(), QMetaType::QString) << std::hex << group << "," << element;
        EXPECT_EQ(value.toString(), QString());
    }
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

namespace {
// A value as a modality in that country writes it: raw bytes under a declared set.
QString decoded(const char *charset, const DcmTagKey &key, const char *bytes)
{
    ToolkitDataset ds;
    if (charset)
        ds.item()->putAndInsertString(DCM_SpecificCharacterSet, charset);
    ds.item()->putAndInsertString(key, bytes);
    return ds.findAttribute(key.getGroup(), key.getElement()).attributeText();
}
} // namespace

TEST(ToolkitValues, EverySpecificCharacterSetIsReadAsUnicode)
{
    struct Case
    {
        const char *charset, *bytes, *text;
    };
    const Case cases[] = {
        {"ISO_IR 100", "M\xfcller^J\xfcrgen", "Müller^Jürgen"},
        {"ISO_IR 144", "\xb8\xd2\xd0\xdd\xde\xd2^\xbf\xf1\xe2\xe0", "Иванов^Пётр"},
        {"ISO_IR 126", "\xc4\xe9\xef\xed\xf5\xf3\xe9\xef\xf2^\xcd\xe9\xea\xef\xf2", "Διονυσιος^Νικος"},
        {"ISO_IR 127", "\xe2\xc8\xc7\xe6\xea^\xe4\xe6\xd2\xc7\xd1", "قباني^لنزار"},
        {"ISO_IR 138", "\xf9\xf8\xe5\xef^\xe3\xe1\xe5\xf8\xe4", "שרון^דבורה"},
        {"ISO_IR 166", "\xbb\xc3\xd0\xe0\xb7\xc8\xe4\xb7\xc2^\xca\xc1\xaa\xd2\xc2", "ประเทศไทย^สมชาย"},
        {"ISO_IR 192", "\xe5\xb1\xb1\xe7\x94\xb0^\xe5\xa4\xaa\xe9\x83\x8e", "山田^太郎"},
        // A multi-component name comes back whole, groups and all.
        {"GB18030", "Wang^XiaoDong=\xcd\xf5^\xd0\xa1\x96|=", "Wang^XiaoDong=王^小東="},
        // 區 is 0x85 0x5E in GB18030: its second byte is no component break.
        {"GB18030", "Ou^Xiao=\x85^^\xd0\xa1=", "Ou^Xiao=區^小="},
        // ISO 2022 with escape sequences; ま is 0x24 0x5E in JIS X 0208, so
        // the phonetic group holds a "^" byte that must not split it.
        {"\\ISO 2022 IR 87",
         "Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B=\x1b$B$d$^$@\x1b(B^\x1b$B$\x3f$m$&\x1b(B",
         "Yamada^Tarou=山田^太郎=やまだ^たろう"},
        {"ISO 2022 IR 13\\ISO 2022 IR 87", "\xd4\xcf\xc0\xde^\xc0\xdb\xb3=\x1b$B;3ED\x1b(J^\x1b$BB@O:\x1b(J=\x1b$B$d$^$@\x1b(J",
         "ﾔﾏﾀﾞ^ﾀﾛｳ=山田^太郎=やまだ"},
        {"\\ISO 2022 IR 87\\ISO 2022 IR 159", "Yamada^Tarou=\x1b$(D0!\x1b(B^\x1b$B;3ED\x1b(B", "Yamada^Tarou=丂^山田"},
        {"\\ISO 2022 IR 149", "Hong^Gildong=\x1b$)C\xfb\xf3^\x1b$)C\xd1\xce\xd4\xd7=\x1b$)C\xc8\xab^\x1b$)C\xb1\xe6\xb5\xbf",
         "Hong^Gildong=洪^吉洞=홍^길동"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(decoded(c.charset, DCM_PatientName, c.bytes), QString::fromUtf8(c.text)) << c.charset;
    // Code extensions switch back at each value of a multi-valued element.
    EXPECT_EQ(decoded("\\ISO 2022 IR 87", DCM_AdmittingDiagnosesDescription, "\x1b$B;3ED\x1b(B\\\x1b$BB@O:\x1b(B"),
              QString::fromUtf8("山田\\太郎"));
    // Nothing declared: UTF-8 where the bytes read so, Latin-1 otherwise.
    EXPECT_EQ(decoded(nullptr, DCM_PatientName, "\xe5\xb1\xb1\xe7\x94\xb0"), QString::fromUtf8("山田"));
    EXPECT_EQ(decoded(nullptr, DCM_PatientName, "PE\xd1" "A^ANA"), QString::fromUtf8("PEÑA^ANA"));
    // A set nobody knows, or bytes it cannot hold, still cost no text.
    EXPECT_EQ(decoded("ISO_IR 999", DCM_PatientName, "M\xfcller"), QString::fromUtf8("Müller"));
    EXPECT_EQ(decoded("ISO_IR 6", DCM_PatientName, "M\xfcller"), QString::fromUtf8("Müller"));
    // Only the text VRs follow the set.
    EXPECT_EQ(decoded("\\ISO 2022 IR 87", DCM_Modality, "CT"), QStringLiteral("CT"));
}

TEST(ToolkitValues, ItemsReadWithTheSetOfTheirDataset)
{
    ToolkitDataset ds;
    ds.item()->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 144");
    DcmItem *item = nullptr;
    ASSERT_TRUE(ds.item()->findOrCreateSequenceItem(DCM_ReferencedPatientSequence, item, -2).good());
    item->putAndInsertString(DCM_PatientName, "\xb8\xd2\xd0\xdd\xde\xd2");
    const ToolkitSequence sq = ds.findAttribute(0x0008, 0x1120).attributeValue().value<ToolkitSequence>();
    ASSERT_EQ(sq.sequenceCount(), 1);
    EXPECT_EQ(sq.sequenceItem(1).findAttribute(0x0010, 0x0010).attributeText(), QString::fromUtf8("Иванов"));
}

TEST(ToolkitValues, WrittenTextSaysItsCharacterSet)
{
    // A new dataset (a C-FIND answer): ASCII needs no declaration...
    ToolkitDataset answer;
    answer.putAttribute(0x0010, 0x0020, QStringLiteral("P1"));
    answer.putAttribute(0x0010, 0x0010, QStringLiteral("SMITH^JOHN"));
    EXPECT_FALSE(answer.item()->tagExists(DCM_SpecificCharacterSet));
    // ... the first text outside it makes the answer UTF-8 and says so.
    answer.putAttribute(0x0008, 0x0090, QString::fromUtf8("山田^太郎"));
    EXPECT_EQ(raw(answer, DCM_SpecificCharacterSet), QStringLiteral("ISO_IR 192"));
    OFString bytes;
    answer.item()->findAndGetOFStringArray(DCM_ReferringPhysicianName, bytes);
    EXPECT_EQ(QString::fromUtf8(bytes.c_str()), QString::fromUtf8("山田^太郎"));
    EXPECT_EQ(answer.findAttribute(0x0010, 0x0010).attributeText(), QStringLiteral("SMITH^JOHN"));

    // A received image keeps its set where the set can hold the text...
    ToolkitDataset image;
    image.item()->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 100");
    image.item()->putAndInsertString(DCM_InstitutionName, "Klinik M\xfcnchen");
    image.putAttribute(0x0010, 0x0010, QString::fromUtf8("Müller^Jürgen"));
    EXPECT_EQ(raw(image, DCM_SpecificCharacterSet), QStringLiteral("ISO_IR 100"));
    EXPECT_EQ(raw(image, DCM_PatientName), QString::fromLatin1("M\xfcller^J\xfcrgen"));
    // ... and moves to UTF-8 as a whole where it cannot, its other values with it.
    image.putAttribute(0x0010, 0x0010, QString::fromUtf8("山田^太郎"));
    EXPECT_EQ(raw(image, DCM_SpecificCharacterSet), QStringLiteral("ISO_IR 192"));
    EXPECT_EQ(image.findAttribute(0x0010, 0x0010).attributeText(), QString::fromUtf8("山田^太郎"));
    EXPECT_EQ(image.findAttribute(0x0008, 0x0080).attributeText(), QString::fromUtf8("Klinik München"));

    // A status detail merges into the command set, which has no character set.
    ToolkitDataset status;
    status.putAttribute(0x0000, 0x0902, QString::fromUtf8("Unknown query level: ÜBER"));
    EXPECT_FALSE(status.item()->tagExists(DCM_SpecificCharacterSet));
    EXPECT_EQ(status.datasetAttributes().count(), 1);
}
