#include "core/ActivityLog.h"
#include "dicom/HisFeedback.h"
#include "dicom/ImagePath.h"
#include "dicom/PersonName.h"
#include "dicom/SqlLiterals.h"
#include "tests/support/TestSupport.h"

#include <QDate>
#include <QSet>
#include <gtest/gtest.h>

using namespace pacs;

namespace {
QString parts(const QString &name)
{
    const PersonNameParts p = SplitPersonName(name);
    return p.last + "|" + p.first + "|" + p.middle + "|" + p.title;
}
} // namespace

TEST(PersonName, SplitsTheFormsModalitiesSend)
{
    EXPECT_EQ(parts("SMITH^JOHN^PAUL^JR"), "SMITH|JOHN PAUL|JR|");
    EXPECT_EQ(parts("DOE, JOHN^A"), "DOE|JOHN|A|");
    EXPECT_EQ(parts("O'NEIL^ANN"), "O''NEIL|ANN||");
    EXPECT_EQ(parts("John Paul SMITH"), "SMITH|John Paul||");
    EXPECT_EQ(parts("DOE^JANE"), "DOE|JANE||");
    EXPECT_EQ(parts("  MADONNA  "), "MADONNA|||");
    EXPECT_EQ(parts("DOE JOHN"), "DOE|JOHN||");
    EXPECT_EQ(parts("doe,john"), "doe|john||");
    EXPECT_EQ(parts(""), "|||");
    ActivityLog log;
    EXPECT_EQ(SplitPersonName(QVariant(), &log).last, "");
    EXPECT_EQ(log.logText(), "No Name.\r\n");
}

TEST(SqlLiterals, ValuesBecomeSafeLiterals)
{
    EXPECT_EQ(SqlText(QVariant()), "''");
    EXPECT_EQ(SqlText(QString("  it's ")), "'it''s'");
    EXPECT_EQ(SqlText(QDate(2024, 1, 15)), "'1/15/2024'");
    bool unreadable = false;
    EXPECT_EQ(SqlDate(QDate(2024, 1, 5), &unreadable), "'01/05/2024'");
    EXPECT_EQ(SqlDate(QVariant(), &unreadable), "NULL");
    EXPECT_EQ(SqlDate(QString("20240x15'); DROP"), &unreadable), "NULL");
    EXPECT_TRUE(unreadable);
    EXPECT_EQ(SqlTime(QTime(7, 5, 0)), "'07:05:00'");
    EXPECT_EQ(leadingNumber(QString("5")), "5");
    EXPECT_EQ(leadingNumber(QString("abc")), "0");
}

TEST(ImagePath, FilesUnderTheRootWithCleanedComponents)
{
    ImagePathParts p;
    p.storageRoot = "/srv/pacs/";
    p.studyDate = QDate(2024, 1, 15);
    p.modality = "CT";
    p.patientId = "P001";
    p.instanceUid = "1.2.840.99.7";
    EXPECT_EQ(imagePath(p), "/srv/pacs/IMAGES/2024/CT/1_15_2024/P001/1_2_840_99_7.dcm");
    p.byInstitution = true;
    p.institution = "St. Mary's";
    p.patientId = "O'NEIL";
    EXPECT_EQ(imagePath(p), "/srv/pacs/IMAGES/St__Mary_s/2024/CT/1_15_2024/O__NEIL/1_2_840_99_7.dcm");

    // Nothing a modality sends can leave the storage root.
    p.institution = "../../etc";
    p.modality = "..";
    p.patientId = "..\\..\\x";
    p.instanceUid = "/etc/passwd";
    p.studyDate = QString("../..");
    const QString path = imagePath(p);
    EXPECT_TRUE(path.startsWith("/srv/pacs/IMAGES/"));
    EXPECT_FALSE(path.contains("/../")) << path.toStdString();
    EXPECT_EQ(path.count('/'), 9) << path.toStdString();
    p.modality = "";
    p.studyDate = QVariant();
    EXPECT_EQ(imagePath(p).section('/', 5, 7), "0000/_/_");

    // Different instances never share a file, whatever their UIDs look like;
    // ordinary UIDs keep their plain name.
    EXPECT_EQ(instanceFileStem("1.2.999.7.1"), "1_2_999_7_1");
    const QString longPrefix = QString("1.2.") + QString(130, '3');
    const QStringList odd{"1.2.999.7_1", "1.2.999.AB", "1.2.999.ab", longPrefix + "1", longPrefix + "2", "", " 1.2"};
    QSet<QString> stems{instanceFileStem("1.2.999.7.1")};
    for (const QString &uid : odd) {
        const QString stem = instanceFileStem(uid);
        EXPECT_LE(stem.size(), 120) << uid.toStdString();
        EXPECT_FALSE(stem.contains('/'));
        stems.insert(stem);
    }
    EXPECT_EQ(stems.size(), odd.size() + 1);

    // Names beyond ASCII take more bytes than characters; none is longer
    // than a file system takes (255 bytes), whole characters kept.
    p.institution = QString(90, QChar(0x5317));
    p.patientId = QString(130, QChar(0xFFFD));
    p.instanceUid = QString("1.2.") + QString(60, QChar(0x00C9)) + QString::fromUtf8("\xF0\x9F\x98\x80").repeated(40);
    for (const QString &name : imagePath(p).split('/')) {
        EXPECT_LE(name.toUtf8().size(), 255) << name.toStdString();
        EXPECT_EQ(QString::fromUtf8(name.toUtf8()), name) << "a character cut in two";
    }
    EXPECT_EQ(cleanPathComponent(QString(130, 'a')), QString(120, 'a'));
}

TEST(HisFeedback, TheOrvikCatalogIsTheFifthItemsValue)
{
    EXPECT_EQ(HisFeedback::catalogName("Provider=SQLOLEDB;Password=x;Persist Security Info=True;User ID=sa;Initial Catalog=HISDB"),
              "HISDB");
    EXPECT_EQ(HisFeedback::catalogName("Driver=SQLite;Database=HIS.db;Uid=;Pwd=;Catalog=HIS"), "HIS");
    EXPECT_EQ(HisFeedback::catalogName("too;short"), "");
}

TEST(PersonName, OneComponentGroupFillsTheColumns)
{
    // Alphabetic first; an empty alphabetic group gives way to the ideographic one.
    EXPECT_EQ(parts(QString::fromUtf8("Wang^XiaoDong=王^小東=")), "Wang|XiaoDong||");
    EXPECT_EQ(parts(QString::fromUtf8("Yamada^Tarou=山田^太郎=やまだ^たろう")), "Yamada|Tarou||");
    EXPECT_EQ(parts(QString::fromUtf8("=山田^太郎=やまだ^たろう")), QString::fromUtf8("山田|太郎||"));
    EXPECT_EQ(parts(QString::fromUtf8("==やまだ^たろう")), QString::fromUtf8("やまだ|たろう||"));
    EXPECT_EQ(parts("=="), "|||");
    // An empty name is a name without parts, not a missing one.
    ActivityLog log;
    EXPECT_EQ(SplitPersonName(QString(""), &log).last, "");
    EXPECT_EQ(log.logText(), "");
}

TEST(SqlLiterals, EmptyDatesAndTimesAreNoDates)
{
    bool unreadable = true;
    EXPECT_EQ(SqlDate(QString(""), &unreadable), "NULL");
    EXPECT_FALSE(unreadable) << "empty is not unreadable";
    EXPECT_EQ(SqlTime(QString(" "), &unreadable), "NULL");
    EXPECT_FALSE(unreadable);
    EXPECT_EQ(SqlTime(QString("10:30:00"), &unreadable), "'10:30:00'");
}
