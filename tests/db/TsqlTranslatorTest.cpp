#include "db/TsqlTranslator.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <utility>

using namespace pacs::db;

namespace {
QString sqlite(const QString &tsql)
{
    return TsqlTranslator().translateBody(tsql);
}
} // namespace

TEST(TsqlTranslator, TopBecomesLimitAtTheEndOfItsOwnQuery)
{
    EXPECT_EQ(sqlite("SELECT  top 100 * from Events where 1=1 order by EventID Desc "),
              "SELECT  * from Events where 1=1 order by EventID Desc LIMIT 100 ");
    EXPECT_EQ(sqlite("SELECT  DISTINCT TOP 1000 a FROM t ORDER BY a;"), "SELECT  DISTINCT a FROM t ORDER BY a LIMIT 1000;");
    EXPECT_EQ(sqlite("select x from t where y in (select top 5 y from u order by y)"),
              "select x from t where y in (select y from u order by y LIMIT 5)");
    EXPECT_EQ(sqlite("select top (3) a from t"), "select a from t LIMIT 3");
}

TEST(TsqlTranslator, NamesLoseTheirOwnDatabaseAndOwner)
{
    EXPECT_EQ(sqlite("select * from [DICOM].[dbo].[Configuration]"), "select * from \"Configuration\"");
    EXPECT_EQ(sqlite("update DICOM..ImageTable set SyncStatus='1'"), "update ImageTable set SyncStatus='1'");
    EXPECT_EQ(sqlite("select LastName FROM Patient_Data.dbo.tbMaster WHERE HospNum='x'"),
              "select LastName FROM Patient_Data.tbMaster WHERE HospNum='x'");
    EXPECT_EQ(sqlite("select company from patient_data..tbhospitalinfo"), "select company from patient_data.tbhospitalinfo");
    EXPECT_EQ(sqlite("select PL.StudyID as [Exam No.] from StudyTable PL"), "select PL.StudyID as \"Exam No.\" from StudyTable PL");
    EXPECT_EQ(TsqlTranslator(SqlDialect::SQLite, "HIS").translateBody("update HIS.dbo.hdocOrd set estatus = 'S'"),
              "update hdocOrd set estatus = 'S'");
}

TEST(TsqlTranslator, ConversionsAndTextConcatenation)
{
    EXPECT_EQ(sqlite("values(convert(datetime,'1/15/2024',101))"), "values(tsql_convert('datetime','1/15/2024',101))");
    EXPECT_EQ(sqlite("CONVERT(datetime, CONVERT(varchar,StudyDate,101) + ' ' + convert(varchar,StudyTime,8),0)"),
              "tsql_convert('datetime', tsql_convert('varchar',StudyDate,101) || ' ' || tsql_convert('varchar',StudyTime,8),0)");
    EXPECT_EQ(sqlite("ltrim(A + '  '  + B + ',  ' + C)"), "ltrim(A || '  '  || B || ',  ' || C)");
    EXPECT_EQ(sqlite("P.name_last LIKE 'SM' + '%' "), "P.name_last LIKE 'SM' || '%' ");
    EXPECT_EQ(sqlite("select a + 1 from t"), "select a + 1 from t");
    EXPECT_EQ(sqlite("ORDER BY CAST(SERIESNumber AS char)"), "ORDER BY CAST(SERIESNumber AS char)");
    EXPECT_EQ(sqlite("select isnull(a,'') , len(b), getdate() from t"), "select IFNULL(a,'') , LENGTH(b), tsql_getdate() from t");
}

TEST(TsqlTranslator, LiteralsAreNeverRewritten)
{
    // A value that looks like SQL stays inside its quotes.
    EXPECT_EQ(sqlite("select * from t where a='[x] + DICOM..T ''; DROP TABLE t; --' and b=N'y'"),
              "select * from t where a='[x] + DICOM..T ''; DROP TABLE t; --' and b='y'");
}

TEST(TsqlTranslator, DatesComparedByRangeBecomeIsoText)
{
    EXPECT_EQ(sqlite("WHERE StudyDate >= '01/01/1800' AND StudyDate <= '1/1/2200'"),
              "WHERE StudyDate >= '1800-01-01 00:00:00' AND StudyDate <= '2200-01-01 00:00:00'");
    EXPECT_EQ(sqlite("WHERE PatientID = '1/2/2024'"), "WHERE PatientID = '1/2/2024'");
    EXPECT_EQ(sqlite("and dateofbirth='1/2/1980'"), "and dateofbirth='1980-01-02 00:00:00'");
}

TEST(TsqlTranslator, DefinitionsGetKeysCollationAndNoFileGroups)
{
    EXPECT_EQ(sqlite(" CREATE TABLE [dbo].[InstitutionTable](  [ID] [bigint] IDENTITY(1,1) NOT NULL,  [Name] [varchar](50) NULL  ) ON [PRIMARY] "),
              " CREATE TABLE \"InstitutionTable\"(  \"ID\" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  \"Name\" varchar(50) COLLATE NOCASE NULL  ) ");
    EXPECT_EQ(sqlite("ALTER TABLE StudyTable ADD BodyPartExamined  varchar(100) "),
              "ALTER TABLE StudyTable ADD BodyPartExamined  varchar(100) COLLATE NOCASE ");
    EXPECT_EQ(sqlite("alter table build_file.dbo.tbcodoctor add email varchar(50) null"),
              "alter table build_file.tbcodoctor add email varchar(50) COLLATE NOCASE null");
    EXPECT_EQ(sqlite("CREATE INDEX [by_SyncStatus] ON DICOM..ImageTable (SyncStatus)"),
              "CREATE INDEX \"by_SyncStatus\" ON ImageTable (SyncStatus)");
    EXPECT_EQ(sqlite("CREATE INDEX ix ON Patient_Data.dbo.tbMaster (LastName)"), "CREATE INDEX Patient_Data.ix ON tbMaster (LastName)");
}

TEST(TsqlTranslator, StatementLevelForms)
{
    TsqlTranslator t;
    EXPECT_TRUE(t.translate("USE DICOM").sql.isEmpty());
    const TranslatedStatement guarded = t.translate(
        "IF NOT EXISTS (SELECT InstanceUID FROM ImageTABLE WHERE InstanceUID='1.2') BEGIN INSERT into ImageTABLE (InstanceUID) VALUES ('1.2') END ");
    EXPECT_EQ(guarded.guardQuery, "SELECT InstanceUID FROM ImageTABLE WHERE InstanceUID='1.2'");
    EXPECT_TRUE(guarded.guardNegated);
    EXPECT_EQ(guarded.sql, "INSERT into ImageTABLE (InstanceUID) VALUES ('1.2')");
    EXPECT_EQ(t.translate("select 1").sql, "select 1");
}

TEST(TsqlTranslator, IsoDateTimeReadsTheFormsTheProgramWrites)
{
    EXPECT_EQ(TsqlTranslator::isoDateTime("1/15/2024"), "2024-01-15 00:00:00");
    EXPECT_EQ(TsqlTranslator::isoDateTime("12/8/2026 4:44:11 PM"), "2026-12-08 16:44:11");
    EXPECT_EQ(TsqlTranslator::isoDateTime("12/8/2026 12:05:00 AM"), "2026-12-08 00:05:00");
    EXPECT_EQ(TsqlTranslator::isoDateTime("10:30:00"), "1900-01-01 10:30:00");
    EXPECT_EQ(TsqlTranslator::isoDateTime("20240115"), "2024-01-15 00:00:00");
    EXPECT_EQ(TsqlTranslator::isoDateTime("Jan 15 2024 10:30AM"), "2024-01-15 10:30:00");
    EXPECT_TRUE(TsqlTranslator::isoDateTime("2/30/2024").isEmpty());
    EXPECT_TRUE(TsqlTranslator::isoDateTime("not a date").isEmpty());
}

TEST(TsqlTranslator, AnyTextTranslatesWithoutFault)
{
    // Statements carry values from the network; no text may crash the rewrite.
    const QStringList pieces = {"SELECT", "TOP", "10", "(", ")", "'", "''", "[", "]", "\"", "CONVERT", "datetime", "varchar",
                                ",", "+", "IF", "NOT", "EXISTS", "BEGIN", "END", "DICOM", ".", "..", "dbo", "IDENTITY", "ON",
                                "PRIMARY", "CREATE", "ALTER", "INDEX", "USE", "--", "/*", "*/", "N'", ">=", "=", "date", "x", " ",
                                "INSERT", "INTO", "VALUES", "UPDATE", "SET", "WHERE", "StudyDate", "'1/2/2024'", "''", "\\"};
    quint32 seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    TsqlTranslator translator;
    // Statements that end where a table name should follow.
    for (const char *cut : {"INSERT", "INSERT INTO", "insert into ", "UPDATE", "UPDATE -- x"})
        EXPECT_EQ(translator.translate(cut).sql, cut);
    for (int n = 0; n < 20000; ++n) {
        QString text;
        const int length = int(next() % 12);
        for (int i = 0; i < length; ++i)
            text += pieces[int(next() % pieces.size())] + ((next() & 1) ? " " : "");
        translator.translate(text); // must return, whatever it makes of it
    }
    SUCCEED();
}

TEST(TsqlTranslator, DatesWrittenByInsertAndUpdateTakeTheStoredForm)
{
    // The corrections' statements, as they are issued.
    EXPECT_EQ(sqlite("Insert Into StudyTable (StudyUID,PatientID_FKey,studydate,studytime,AccessionNumber)  VALUES "
                     "( '1.2.3' , 'P1' , '2/3/2024' , '09:05:00' , '2/3/2024' )  "),
              "Insert Into StudyTable (StudyUID,PatientID_FKey,studydate,studytime,AccessionNumber)  VALUES "
              "( '1.2.3' , 'P1' , '2024-02-03 00:00:00' , '1900-01-01 09:05:00' , '2/3/2024' )  ");
    EXPECT_EQ(sqlite("update StudyTable set patientID_Fkey = 'P1',  StudyDate = '12/31/2023',  StudyTime = '4:05:06 PM', "
                     " AccessionNumber = '1/2/2024',  StudyDescription = 'x'  where StudyUID='1.2.3'"),
              "update StudyTable set patientID_Fkey = 'P1',  StudyDate = '2023-12-31 00:00:00',  StudyTime = '1900-01-01 16:05:06', "
              " AccessionNumber = '1/2/2024',  StudyDescription = 'x'  where StudyUID='1.2.3'");
    // An empty birth date is SQL Server's base date; names and owners do not hide the table.
    EXPECT_EQ(sqlite("insert into  DICOM..PatientTable (PatientID,Name_First,Name_Middle,Name_Last,DateofBirth,Sex) VALUES (    'P1',   'A',   '',   'B',   '',   'M')"),
              "insert into  PatientTable (PatientID,Name_First,Name_Middle,Name_Last,DateofBirth,Sex) VALUES (    'P1',   'A',   '',   'B',   '1900-01-01 00:00:00',   'M')");
    EXPECT_EQ(sqlite("update [DICOM].[dbo].[PatientTable] set DateofBirth = '1980-01-02' where PatientID = 'P1'"),
              "update \"PatientTable\" set DateofBirth = '1980-01-02 00:00:00' where PatientID = 'P1'");
    // Several rows; expressions and NULL are left to the database.
    EXPECT_EQ(sqlite("insert into StudyTable (StudyUID, StudyDate) values ('a', '1/2/2024'), ('b', NULL), ('c', convert(datetime,'1/3/2024',101))"),
              "insert into StudyTable (StudyUID, StudyDate) values ('a', '2024-01-02 00:00:00'), ('b', NULL), ('c', tsql_convert('datetime','1/3/2024',101))");
    // A text that is no date fails as SQL Server fails it, not stored as typed.
    EXPECT_EQ(sqlite("update StudyTable set StudyDate = '2/30/2024' where StudyUID = 'a'"),
              "update StudyTable set StudyDate = tsql_convert('datetime','2/30/2024') where StudyUID = 'a'");
    // Text columns keep whatever they are given.
    EXPECT_EQ(sqlite("update SeriesTable set SeriesDescription = '1/2/2024' where SeriesUID = '1/2/2024'"),
              "update SeriesTable set SeriesDescription = '1/2/2024' where SeriesUID = '1/2/2024'");
}

TEST(TsqlTranslator, TextsComparedWithDateColumnsCompareAsDates)
{
    // As SQL Server converts the text to the column's type: '' is 1900-01-01.
    EXPECT_EQ(sqlite(" select patientid FROM PATIENTTABLE WHERE name_first='A' and name_last='B' and dateofbirth=''"),
              " select patientid FROM PATIENTTABLE WHERE name_first='A' and name_last='B' and dateofbirth='1900-01-01 00:00:00'");
    EXPECT_EQ(sqlite("where st.StudyTime = '09:05:00' and StudyDate <> '20240203'"),
              "where st.StudyTime = '1900-01-01 09:05:00' and StudyDate <> '2024-02-03 00:00:00'");
    EXPECT_EQ(sqlite("where convert(varchar, StudyDate, 101) = '02/03/2024'"), "where tsql_convert('varchar', StudyDate, 101) = '02/03/2024'");
}

TEST(TsqlTranslator, DateColumnsComeFromTheSchemaTheBackEndReads)
{
    TsqlTranslator translator;
    translator.setColumnTypes({{"visits", {{"seen", "datetime"}, {"studydate", "varchar(20)"}}}});
    EXPECT_EQ(translator.translateBody("insert into Visits (Seen, StudyDate) values ('1/2/2024', '1/2/2024')"),
              "insert into Visits (Seen, StudyDate) values ('2024-01-02 00:00:00', '1/2/2024')");
}

TEST(TsqlTranslator, LikeEscapesPassThroughForEachDialect)
{
    const QString where = "WHERE PatientID LIKE 'PID\\_03' ESCAPE '\\' AND EXISTS ( SELECT 1 FROM SeriesTable MS WHERE MS.Modality LIKE 'C\\%' ESCAPE '\\')";
    EXPECT_EQ(sqlite(where), where);
    EXPECT_EQ(TsqlTranslator(SqlDialect::PostgreSQL).translateBody(where),
              "WHERE PatientID LIKE E'PID\\\\_03' ESCAPE E'\\\\' AND EXISTS ( SELECT 1 FROM SeriesTable MS WHERE MS.Modality LIKE E'C\\\\%' ESCAPE E'\\\\')");
    EXPECT_EQ(TsqlTranslator(SqlDialect::PostgreSQL).translateBody("update StudyTable set StudyDate = '' where StudyUID = 'a'"),
              "update StudyTable set StudyDate = '1900-01-01 00:00:00' where StudyUID = 'a'");
}

TEST(TsqlTranslator, ALikeWithoutWildcardsOnATextColumnCanUseItsIndex)
{
    TsqlTranslator t;
    t.setColumnTypes({{"imageview", {{"seriesinstanceuid", "varchar(64)"}, {"instancenumber", "int"}, {"modalities", ""}}},
                      {"seriestable", {{"modality", "varchar(16)"}}}});
    EXPECT_EQ(t.translateBody("SELECT top 800 a FROM IMAGEView WHERE SeriesInstanceUID LIKE '1.2\\_3' ESCAPE '\\'"),
              "SELECT a FROM IMAGEView WHERE (SeriesInstanceUID = '1.2_3' COLLATE NOCASE AND SeriesInstanceUID LIKE '1.2\\_3' ESCAPE '\\') LIMIT 800");
    EXPECT_EQ(t.translateBody("WHERE  ( Modality LIKE 'CT' ESCAPE '\\' OR Modality LIKE 'M%' ESCAPE '\\' ) "),
              "WHERE  ( (Modality = 'CT' COLLATE NOCASE AND Modality LIKE 'CT' ESCAPE '\\') OR (Modality >= 'M' COLLATE NOCASE AND "
              "Modality < 'n' COLLATE NOCASE AND Modality LIKE 'M%' ESCAPE '\\') ) ");
    EXPECT_EQ(t.translateBody("EXISTS ( SELECT 1 FROM SeriesTable MS WHERE MS.StudyUID_FKey = x AND MS.Modality LIKE 'O''B' ESCAPE '\\')"),
              "EXISTS ( SELECT 1 FROM SeriesTable MS WHERE MS.StudyUID_FKey = x AND (MS.Modality = 'O''B' COLLATE NOCASE AND MS.Modality LIKE 'O''B' ESCAPE '\\'))");
    // Left alone: wildcards, columns that are no texts, and operands that bind more tightly.
    for (const char *same : {"WHERE SeriesInstanceUID LIKE '%1.2'", "WHERE InstanceNumber LIKE '5%'", "WHERE Modalities LIKE 'CT'",
                             "WHERE SeriesInstanceUID LIKE 'a\\' ESCAPE '\\'", "WHERE SeriesInstanceUID LIKE 'a' || 'b'",
                             "WHERE 'x' || Modality LIKE 'xCT'", "WHERE Modality NOT LIKE 'CT'", "WHERE Modality LIKE 'CT' ESCAPE 'C'"})
        EXPECT_EQ(t.translateBody(same), same);
}

TEST(TsqlTranslator, ALikeWithAPlainPrefixIsAlsoItsRange)
{
    TsqlTranslator t;
    t.setColumnTypes({{"studystudyview", {{"patientname_last", "varchar(64)"}, {"patientid", "varchar(64)"}}}});
    EXPECT_EQ(t.translateBody("SELECT top 800 a FROM STUDYSTUDYView WHERE PatientName_last LIKE 'IDX0001%' ESCAPE '\\'"),
              "SELECT a FROM STUDYSTUDYView WHERE (PatientName_last >= 'IDX0001' COLLATE NOCASE AND PatientName_last < 'IDX0002' "
              "COLLATE NOCASE AND PatientName_last LIKE 'IDX0001%' ESCAPE '\\') LIMIT 800");
    // The last character folded, escaped wildcards as part of the prefix, '@'
    // followed by '[' (the letters fold away), a quote kept doubled.
    const std::pair<const char *, const char *> ranges[] = {
        {"aB_", "'aB' COLLATE NOCASE AND PatientID < 'ac'"},
        {"P\\_0%' ESCAPE '\\", "'P_0' COLLATE NOCASE AND PatientID < 'P_1'"},
        {"x@%", "'x@' COLLATE NOCASE AND PatientID < 'x['"},
        {"O''%", "'O''' COLLATE NOCASE AND PatientID < 'O('"}};
    for (const auto &[pattern, range] : ranges)
        EXPECT_EQ(t.translateBody(QString("WHERE PatientID LIKE '%1'").arg(pattern)),
                  QString("WHERE (PatientID >= %1 COLLATE NOCASE AND PatientID LIKE '%2')").arg(range, pattern));
    // No range: a leading wildcard, a prefix beyond ASCII or ending in DEL,
    // an escape at the end of the prefix.
    for (const char *same : {"WHERE PatientID LIKE '_1%'", "WHERE PatientName_last LIKE 'MÜ%'", "WHERE PatientID LIKE 'a\x7f%'",
                             "WHERE PatientID LIKE 'a\\' ESCAPE '\\'"})
        EXPECT_EQ(t.translateBody(same), same);
    EXPECT_EQ(TsqlTranslator(SqlDialect::PostgreSQL).translateBody("WHERE PatientID LIKE 'a%' ESCAPE '\\'"),
              "WHERE PatientID LIKE 'a%' ESCAPE E'\\\\'");
}

TEST(TsqlTranslator, ABareColumnSeveralJoinedTablesHoldIsTheFirstTables)
{
    TsqlTranslator t;
    t.setColumnTypes({{"studytable", {{"studyuid", "varchar(64)"}, {"bodypartexamined", "varchar(100)"}, {"resultstatus", "varchar(20)"}}},
                      {"seriestable", {{"studyuid_fkey", "varchar(64)"}, {"bodypartexamined", "varchar(100)"}, {"modality", "varchar(16)"}}},
                      {"tblexamresult", {{"studyuid", "varchar(64)"}, {"resultstatus", "varchar(20)"}}}});
    EXPECT_EQ(t.translateBody("SELECT ResultStatus as Status, BodyPartExamined, se.BodyPartExamined, Modality FROM StudyTable PL "
                              "left outer JOIN SeriesTable se ON PL.StudyUID=se.StudyUID_FKey "
                              "LEFT OUTER JOIN tblExamResult AS ER ON PL.StudyUID=ER.StudyUID WHERE (ResultStatus is null)"),
              "SELECT PL.ResultStatus as Status, PL.BodyPartExamined, se.BodyPartExamined, Modality FROM StudyTable PL "
              "left outer JOIN SeriesTable se ON PL.StudyUID=se.StudyUID_FKey "
              "LEFT OUTER JOIN tblExamResult AS ER ON PL.StudyUID=ER.StudyUID WHERE (PL.ResultStatus is null)");
    // One table, or a subquery with its own scope: left alone.
    EXPECT_EQ(t.translateBody("select BodyPartExamined from SeriesTable"), "select BodyPartExamined from SeriesTable");
    const QString nested = "select BodyPartExamined from StudyTable, SeriesTable where StudyUID in (select StudyUID from tblExamResult)";
    EXPECT_EQ(t.translateBody(nested), nested);
}

TEST(TsqlTranslator, ALikeOnAColumnThatComparesExactlyMatchesExactly)
{
    TsqlTranslator t;
    t.setColumnTypes({{"imageview", {{"sopinstanceuid", "varchar(64) collate binary"}, {"seriesinstanceuid", "varchar(64)"}}},
                      {"imagetable", {{"instanceuid", "varchar(64) collate binary"}}},
                      {"other", {{"instanceuid", "varchar(64)"}}}});
    EXPECT_EQ(t.translateBody("WHERE SOPInstanceUID LIKE '1.2.999.AB' ESCAPE '\\' AND SeriesInstanceUID LIKE '1.2' ESCAPE '\\'"),
              "WHERE (SOPInstanceUID = '1.2.999.AB') AND (SeriesInstanceUID = '1.2' COLLATE NOCASE AND SeriesInstanceUID LIKE '1.2' ESCAPE '\\')");
    // Wildcards as GLOB, which minds letter case; GLOB's own specials match themselves.
    EXPECT_EQ(t.translateBody("WHERE SOPInstanceUID LIKE '1.2\\_%a_*[?' ESCAPE '\\'"),
              "WHERE (SOPInstanceUID GLOB '1.2_*a?[*][[][?]')");
    EXPECT_EQ(t.translateBody("WHERE ( SOPInstanceUID LIKE 'x''y' OR SOPInstanceUID LIKE 'z' )"),
              "WHERE ( (SOPInstanceUID = 'x''y') OR (SOPInstanceUID = 'z') )");
    // A name that compares exactly in one table and not in another keeps the folded match.
    EXPECT_EQ(t.translateBody("WHERE InstanceUID LIKE 'a'"), "WHERE (InstanceUID = 'a' COLLATE NOCASE AND InstanceUID LIKE 'a')");

    // SQL Server's binary collations are SQLite's exact one; a column naming
    // its collation gets no other.
    EXPECT_EQ(sqlite("CREATE TABLE K (InstanceUID varchar(64) COLLATE Latin1_General_BIN2 NOT NULL PRIMARY KEY, N varchar(9))"),
              "CREATE TABLE K (InstanceUID varchar(64) COLLATE BINARY NOT NULL PRIMARY KEY, N varchar(9) COLLATE NOCASE)");
    EXPECT_EQ(sqlite("CREATE TABLE K (a varchar(64) COLLATE NOCASE, b text COLLATE BINARY)"),
              "CREATE TABLE K (a varchar(64) COLLATE NOCASE, b text COLLATE BINARY)");
}
