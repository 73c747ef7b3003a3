#include "db/ConnectionString.h"
#include "db/OracleDialect.h"
#include "db/SqlText.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace pacs::db;

TEST(SqlText, QuoteDoublesApostrophesOnly)
{
    EXPECT_EQ(Quote("O'NEIL's"), "O''NEIL''s");
    EXPECT_EQ(Quote("a,b,c"), "a,b,c");
    EXPECT_EQ(Quote(""), "");
}

TEST(SqlText, DateAndTimeTexts)
{
    EXPECT_EQ(DateText(QDate(2024, 1, 5)), "01/05/2024");
    EXPECT_EQ(DateText(QDate(1800, 1, 1)), "01/01/1800");
    EXPECT_EQ(TimeText(QTime(7, 3, 9)), "07:03:09");
    EXPECT_EQ(TimeText(QDateTime(QDate(2024, 1, 1), QTime(23, 59, 58))), "23:59:58");
}

TEST(SqlText, NextTokenSplitsAtTheFirstDelimiter)
{
    QString source = "Provider=SQLOLEDB;Server=db1;Uid=sa";
    EXPECT_EQ(NextToken(source, ";"), "Provider=SQLOLEDB");
    EXPECT_EQ(source, "Server=db1;Uid=sa");
    QString value = "Pwd=a=b=c";
    EXPECT_EQ(NextToken(value, "="), "Pwd");
    EXPECT_EQ(value, "a=b=c");
    QString none = "whole";
    EXPECT_EQ(NextToken(none, ";"), "whole");
    EXPECT_TRUE(none.isEmpty());
    QString leading = ";rest";
    EXPECT_EQ(NextToken(leading, ";"), "");
    EXPECT_EQ(leading, "rest");
}

TEST(SqlText, SafeFileNameTrimsThenReplaces)
{
    EXPECT_EQ(SafeFileName("   lead"), "lead");
    EXPECT_EQ(SafeFileName(" a b/c'd.e:f "), "a_b_c_d_e_f");
    EXPECT_EQ(SafeFileName("x..y"), "x__y");
    EXPECT_EQ(SafeFileName("1.2.840.99.7"), "1_2_840_99_7");
    EXPECT_EQ(SafeFileName("back\\slash"), "back\\slash");
}

TEST(SqlText, MakeDirsCreatesTheFoldersOfAFilePath)
{
    QTemporaryDir dir;
    MakeDirs(dir.path() + "/IMAGES/2024/CT/file.dcm");
    EXPECT_TRUE(QFileInfo(dir.path() + "/IMAGES/2024/CT").isDir());
    EXPECT_FALSE(QFileInfo::exists(dir.path() + "/IMAGES/2024/CT/file.dcm"));
    MakeDirs(dir.path() + "/all/of/them/");
    EXPECT_TRUE(QFileInfo(dir.path() + "/all/of/them").isDir());
    MakeDirs("relative"); // no separator after the first character: nothing
    EXPECT_FALSE(QFileInfo::exists("relative"));
}

TEST(SqlText, OnServerDriveMovesStoredPathsOntoTheStorageRoot)
{
    EXPECT_EQ(OnServerDrive("D:\\IMAGES\\2024\\CT\\1_15_2024\\P001\\1_2.dcm", "/srv/pacs/"),
              "/srv/pacs/IMAGES/2024/CT/1_15_2024/P001/1_2.dcm");
    EXPECT_EQ(OnServerDrive("/old/root/IMAGES/2024/x.dcm", "/new"), "/new/IMAGES/2024/x.dcm");
    EXPECT_EQ(OnServerDrive("/new/IMAGES/2024/x.dcm", "/new/"), "/new/IMAGES/2024/x.dcm");
    EXPECT_EQ(OnServerDrive("/elsewhere/x.dcm", "/new/"), "/elsewhere/x.dcm");
}

TEST(ConnectionString, KeysIgnoreCaseAndValuesKeepEquals)
{
    ConnectionString c("Driver={SQLite};database=a.db;Pwd=x=y");
    EXPECT_EQ(c.driver(), "SQLite");
    EXPECT_EQ(c.value("Database"), "a.db");
    EXPECT_EQ(c.value("PWD"), "x=y");
    EXPECT_FALSE(c.has("Uid"));
}

TEST(OracleDialect, RewritesUpperCasedText)
{
    bool top = true;
    EXPECT_EQ(oracleRewrite("update PatientTable set x=convert(datetime,'1/2/2024',101) + [a] where b='c'", &top),
              "UPDATE PATIENTTABLE SET X=TO_DATE ('1/2/2024','mm/dd/yyyy') || \"A\" WHERE B='C'");
    EXPECT_FALSE(top);
    EXPECT_EQ(oracleRewrite("SELECT  TOP 100 * FROM T WHERE 1=1 ORDER BY X", &top),
              "SELECT * FROM T WHERE 1=1  AND ROWNUM < 100 ORDER BY X");
    EXPECT_TRUE(top);
    EXPECT_EQ(oracleRewrite("select a AS b, convert(varchar,d,8) from t"), "SELECT A B, TO_CHAR(D,'hh24:MI:ss') FROM T");
}
