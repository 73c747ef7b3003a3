#include "db/TranslationShapes.h"

#include <gtest/gtest.h>

using namespace pacs::db;

namespace {

TsqlTranslator archiveTranslator()
{
    TsqlTranslator t;
    ColumnTypes columns = TsqlTranslator::archiveDateColumns();
    columns["imagetable"].insert("instanceuid", QString("varchar(64)") + TsqlTranslator::ExactCollation);
    columns["imagetable"].insert("filename", "varchar(255)");
    columns["imagetable"].insert("instancenumber", "int");
    columns["studytable"].insert("patientname_last", "varchar(64)");
    t.setColumnTypes(columns);
    return t;
}

// Through the kept shapes when they take the statement: then it must read
// exactly as its own translation.
void expectSameAsWhole(TranslationShapes &shapes, const TsqlTranslator &t, const QString &statement, bool shaped)
{
    TranslatedStatement viaShape;
    const bool taken = shapes.translate(statement, t, viaShape);
    EXPECT_EQ(taken, shaped) << statement.toStdString();
    if (!taken)
        return;
    const TranslatedStatement whole = t.translate(statement);
    EXPECT_EQ(viaShape.sql, whole.sql) << statement.toStdString();
    EXPECT_EQ(viaShape.guardQuery, whole.guardQuery) << statement.toStdString();
    EXPECT_EQ(viaShape.guardNegated, whole.guardNegated) << statement.toStdString();
}

QString imageInsert(const QString &uid, int number, const QString &path)
{
    return QString("IF NOT EXISTS (SELECT InstanceUID FROM ImageTABLE WHERE InstanceUID='%1') BEGIN INSERT into ImageTABLE "
                   "(InstanceUID,SeriesUID_FKey,InstanceNumber,Filename,SOPClassUID,NumberOfFrames,ImageRows,ImageColumns) "
                   "VALUES ('%1','1.2.3.4',%2,'%3','1.2.840.10008.5.1.4.1.1.2',1,512,512) END ")
        .arg(uid)
        .arg(number)
        .arg(path);
}

} // namespace

TEST(TranslationShapes, StatementsOfOneShapeReadAsTheirOwnTranslations)
{
    const TsqlTranslator t = archiveTranslator();
    TranslationShapes shapes;
    // An image's row, image after image: other UIDs, numbers and paths,
    // quotes and look-alikes of dates and patterns in the texts.
    expectSameAsWhole(shapes, t, imageInsert("1.2.3.4.5", 1, "C:\\IMAGES\\a.dcm"), true);
    expectSameAsWhole(shapes, t, imageInsert("1.2.3.4.6", 27, "/home/O''Neil/1/15/2024 %_[x].dcm"), true);
    expectSameAsWhole(shapes, t, imageInsert("9", 123456, "-- not a comment /* nor this */ ' ; DROP TABLE x"), true);
    expectSameAsWhole(shapes, t, "UPDATE ImageTABLE SET Filename='a' WHERE InstanceUID='1.2'", true);
    expectSameAsWhole(shapes, t, "UPDATE ImageTABLE SET Filename='b''c' WHERE InstanceUID=N'3.4'", true);
    // A count moved from TOP to LIMIT, numbers and quotes in names and comments.
    expectSameAsWhole(shapes, t, "SELECT TOP 5 [it's] FROM DICOM..ImageTABLE /* don't */ WHERE InstanceNumber > 3 -- 'x\n AND a = 'y'", true);
    expectSameAsWhole(shapes, t, "SELECT TOP 800 [it's] FROM DICOM..ImageTABLE /* don't */ WHERE InstanceNumber > 1.5 -- 'x\n AND a = 'z'", true);
    expectSameAsWhole(shapes, t, "select T1.a, b2 from T1 where c = 1e5 and d = 'q'", true);
}

TEST(TranslationShapes, StatementsWhoseTranslationReadsATextAreTranslatedWhole)
{
    const TsqlTranslator t = archiveTranslator();
    TranslationShapes shapes;
    for (int round = 0; round < 2; ++round) { // the second time from what the first one found
        // Dates written into or compared with a date column, LIKE patterns
        // on a text column, an ESCAPE character: their values decide.
        expectSameAsWhole(shapes, t, "UPDATE StudyTable SET StudyDate='1/15/2024' WHERE StudyUID='1.2'", false);
        expectSameAsWhole(shapes, t, "SELECT a FROM StudyTable WHERE StudyDate >= '01/01/1800' AND b='c'", false);
        expectSameAsWhole(shapes, t, "SELECT a FROM StudyTable WHERE PatientName_last LIKE 'SM%' ESCAPE '\\'", false);
        // A number the translation drops (the length of a converted text).
        expectSameAsWhole(shapes, t, "SELECT convert(varchar(20), a) FROM t WHERE b='c'", false);
        // Texts that hold what stands for a literal in a shape.
        expectSameAsWhole(shapes, t, QString("SELECT a FROM t WHERE b='") + QChar(1) + "0" + QChar(1) + "'", false);
        expectSameAsWhole(shapes, t, "SELECT a FROM t WHERE ip='10.0.0.1'", false);
        // Nothing to put back.
        expectSameAsWhole(shapes, t, "SELECT a FROM t", false);
    }
}

TEST(TranslationShapes, KeptShapesFollowTheCatalogOnlyUntilCleared)
{
    TsqlTranslator t;
    TranslationShapes shapes;
    const QString update = "UPDATE visits SET seen='1/15/2024' WHERE id='7'";
    // Unknown as a date column, the text goes through as written ...
    t.setColumnTypes({{"visits", {{"seen", "varchar(20)"}, {"id", "varchar(20)"}}}});
    expectSameAsWhole(shapes, t, update, true);
    // ... and once the column holds dates, the kept shape is gone with the
    // old catalog: the text is rewritten as a date.
    t.setColumnTypes({{"visits", {{"seen", "datetime"}, {"id", "varchar(20)"}}}});
    shapes.clear();
    expectSameAsWhole(shapes, t, update, false);
    EXPECT_EQ(t.translate(update).sql, "UPDATE visits SET seen='2024-01-15 00:00:00' WHERE id='7'");
}
