#include "db/DbCursor.h"
#include "db/SqliteBackend.h"
#include "db/SqliteStatementShape.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace pacs::db;

namespace {

struct ShapeCase
{
    const char *sql;
    const char *shape; // nullptr: left as it is
    std::vector<QByteArray> values;
};

} // namespace

TEST(SqliteStatementShape, TakesOutOnlyTextLiteralsStandingOnTheirOwn)
{
    const ShapeCase cases[] = {
        {"SELECT Filename FROM ImageTable WHERE InstanceUID='1.2.3'",
         "SELECT Filename FROM ImageTable WHERE InstanceUID=?", {"1.2.3"}},
        {"INSERT INTO t (a,b,c) VALUES ('O''Brien','',12)", "INSERT INTO t (a,b,c) VALUES (?,?,12)", {"O'Brien", ""}},
        {"  with x as (select 'a') select * from x", "  with x as (select ?) select * from x", {"a"}},
        {"UPDATE t SET a='x' WHERE \"b'c\"='y' AND [d'e]='z' AND `f'g`='w'",
         "UPDATE t SET a=? WHERE \"b'c\"=? AND [d'e]=? AND `f'g`=?", {"x", "y", "z", "w"}},
        {"DELETE FROM t WHERE a='-- not a comment' -- but 'this' is\n AND b = '/* nor this */' /* 'nor' */",
         "DELETE FROM t WHERE a=? -- but 'this' is\n AND b = ? /* 'nor' */", {"-- not a comment", "/* nor this */"}},
        {"SELECT 'it''s ? and :x' FROM t WHERE a = X'00ff' AND b = 'é'", "SELECT ? FROM t WHERE a = X'00ff' AND b = ?",
         {"it's ? and :x", "é"}},
        {"SELECT a FROM t WHERE b = 5", nullptr, {}},                     // no literal
        {"SELECT a FROM t WHERE b = ? AND c = 'x'", nullptr, {}},         // parameters of its own
        {"SELECT a FROM t WHERE b = :name AND c = 'x'", nullptr, {}},
        {"SELECT a FROM t WHERE b = 'unclosed", nullptr, {}},
        {"CREATE TABLE t (a text DEFAULT 'x')", nullptr, {}},             // not a data statement
        {"PRAGMA journal_mode = 'wal'", nullptr, {}},
        {"-- lead\nSELECT 'x'", "-- lead\nSELECT ?", {"x"}},
    };
    for (const ShapeCase &c : cases) {
        SqliteStatementShape shape;
        const bool shaped = SqliteStatementShape::of(QByteArray(c.sql), shape);
        ASSERT_EQ(shaped, c.shape != nullptr) << c.sql;
        if (!shaped)
            continue;
        EXPECT_EQ(shape.text, QByteArray(c.shape)) << c.sql;
        EXPECT_EQ(shape.values, c.values) << c.sql;
    }
}

class ShapedStatements : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        QString error;
        ASSERT_TRUE(db.openFile(dir.filePath("shapes.db"), true, error)) << error.toStdString();
        ASSERT_TRUE(db.executeScript("CREATE TABLE t (uid text PRIMARY KEY, n integer, name text);", error))
            << error.toStdString();
    }

    // Every row's first column, as text; "error: ..." when the statement failed.
    QStringList column(const QString &sql)
    {
        QString error;
        auto rows = db.execute(sql, error);
        if (!rows)
            return {QStringLiteral("error: ") + error};
        QStringList out;
        for (; !rows->atEnd(); rows->moveNext())
            out << rows->value(0).toText();
        return out;
    }

    QTemporaryDir dir;
    SqliteBackend db;
};

TEST_F(ShapedStatements, AnswerAsTheirTextWouldWhateverTheLiterals)
{
    // One shape for every insert and every lookup: each run gets its own values.
    for (int i = 0; i < 200; ++i) {
        const QString uid = QStringLiteral("1.2.%1").arg(i);
        ASSERT_EQ(column(QStringLiteral("INSERT INTO t (uid, n, name) VALUES ('%1', '%2', 'name ''%2''')").arg(uid).arg(i)),
                  QStringList());
    }
    for (int i : {0, 7, 199, 7}) {
        EXPECT_EQ(column(QStringLiteral("SELECT name FROM t WHERE uid='1.2.%1'").arg(i)),
                  QStringList{QStringLiteral("name '%1'").arg(i)});
        // A text compared with a number column is taken as the number, as a literal is.
        EXPECT_EQ(column(QStringLiteral("SELECT uid FROM t WHERE n = '%1'").arg(i)),
                  QStringList{QStringLiteral("1.2.%1").arg(i)});
    }
    EXPECT_EQ(column("SELECT name FROM t WHERE uid='no such'"), QStringList());
    EXPECT_EQ(column("SELECT count(*) FROM t WHERE uid IN ('1.2.1', '1.2.2', 'x')"), QStringList{"2"});

    // A literal that is a result column keeps its name; one used as a name stays a name.
    QString error;
    auto rows = db.execute("SELECT 'IMAGE', uid AS 'u' FROM t WHERE uid = '1.2.3'", error);
    ASSERT_TRUE(rows) << error.toStdString();
    EXPECT_EQ(rows->columnName(0), QStringLiteral("'IMAGE'"));
    EXPECT_EQ(rows->columnName(1), QStringLiteral("u"));
    EXPECT_EQ(rows->value(0).toText(), QStringLiteral("IMAGE"));
    EXPECT_EQ(rows->value(1).toText(), QStringLiteral("1.2.3"));
    rows->close();
    rows = db.execute("SELECT 'IMAGE', uid AS 'u' FROM t WHERE uid = '1.2.4'", error);
    ASSERT_TRUE(rows) << error.toStdString();
    EXPECT_EQ(rows->value(1).toText(), QStringLiteral("1.2.4"));
    rows->close();

    // A failing statement still says why.
    const QStringList missing = column("SELECT a FROM missing WHERE a = 'x'");
    ASSERT_EQ(missing.size(), 1);
    EXPECT_TRUE(missing[0].contains("no such table")) << missing[0].toStdString();
}

TEST_F(ShapedStatements, TwoOpenReadersOfOneShapeKeepTheirOwnValues)
{
    ASSERT_EQ(column("INSERT INTO t (uid, n) VALUES ('a', 1)"), QStringList());
    ASSERT_EQ(column("INSERT INTO t (uid, n) VALUES ('b', 2)"), QStringList());
    QString error;
    auto first = db.execute("SELECT n FROM t WHERE uid = 'a'", error);
    ASSERT_TRUE(first) << error.toStdString();
    auto second = db.execute("SELECT n FROM t WHERE uid = 'b'", error);
    ASSERT_TRUE(second) << error.toStdString();
    EXPECT_EQ(first->value(0).toInteger(), 1);
    EXPECT_EQ(second->value(0).toInteger(), 2);
    first->close();
    second->close();
    // Both given back; the kept one answers the next values.
    EXPECT_EQ(column("SELECT n FROM t WHERE uid = 'b'"), QStringList{"2"});
    EXPECT_EQ(column("SELECT n FROM t WHERE uid = 'a'"), QStringList{"1"});
}
