#include "core/EventYield.h"
#include "db/ArchiveTransaction.h"
#include "db/CommitsFlushedByCaller.h"
#include "tests/db/ArchiveFixture.h"

#include <QFileInfo>
#include <QTimer>

using namespace pacs;
using namespace pacs::db;
using pacs::test::ArchiveFixture;

namespace {

void setField(UpdatableRow &row, const QString &column, const DbValue &value)
{
    const qsizetype i = row.columns.indexOf(column);
    ASSERT_GE(i, 0) << column.toStdString();
    row.values[i] = value;
    row.changed[i] = true;
}

} // namespace

// Rows are found again by their table's key, so a corrected key changes the
// row that was read, and a row gone meanwhile is reported instead of ignored.
TEST_F(ArchiveFixture, UpdatableRowsAreFoundAgainByTheirTablesKey)
{
    connection.ExecuteSQL("INSERT INTO PatientTable (PatientID, Name_Last) VALUES ('P1', 'ONE')");
    connection.ExecuteSQL("INSERT INTO PatientTable (PatientID, Name_Last) VALUES ('P2', 'TWO')");

    UpdatableRow row;
    ASSERT_TRUE(connection.openForUpdate("SELECT * FROM PatientTable WHERE PatientID='P1'", row));
    ASSERT_TRUE(row.found);
    EXPECT_EQ(row.keyColumns, QStringList{"PatientID"});
    setField(row, "PatientID", DbValue::fromText("P1B"));
    setField(row, "Sex", DbValue::fromText("M"));
    ASSERT_TRUE(connection.saveRow(row)) << log.errorText().toStdString();
    EXPECT_EQ(scalar("select count(*) from PatientTable where PatientID='P1'"), "0");
    EXPECT_EQ(scalar("select Name_Last || Sex from PatientTable where PatientID='P1B'"), "ONEM");
    EXPECT_EQ(scalar("select Sex from PatientTable where PatientID='P2'"), "");

    // Saved again, the row is found under its new key.
    setField(row, "Sex", DbValue::fromText("F"));
    ASSERT_TRUE(connection.saveRow(row));
    EXPECT_EQ(scalar("select Sex from PatientTable where PatientID='P1B'"), "F");

    // Removed under the editor: the save says so and writes nothing.
    UpdatableRow gone;
    ASSERT_TRUE(connection.openForUpdate("SELECT * FROM PatientTable WHERE PatientID='P2'", gone));
    connection.ExecuteSQL("DELETE FROM PatientTable WHERE PatientID='P2'");
    setField(gone, "Sex", DbValue::fromText("O"));
    EXPECT_FALSE(connection.saveRow(gone));
    EXPECT_TRUE(errorLines().first().contains("was changed or removed meanwhile")) << errorLines().first().toStdString();
    EXPECT_EQ(scalar("select count(*) from PatientTable"), "1");
}

TEST_F(ArchiveFixture, RowsOfTablesWithoutAKeyAndOfAttachedDatabasesAreEditable)
{
    // No primary key: the row is matched on every column as it was read, so
    // its twin with another status stays as it is.
    connection.ExecuteSQL("INSERT INTO tblExamResult (StudyUID, ResultStatus) VALUES ('1.2.3', 'DRAFT')");
    connection.ExecuteSQL("INSERT INTO tblExamResult (StudyUID, ResultStatus) VALUES ('1.2.3', 'FINAL')");
    UpdatableRow result;
    ASSERT_TRUE(connection.openForUpdate("SELECT * FROM tblExamResult WHERE StudyUID='1.2.3' AND ResultStatus='DRAFT'", result));
    ASSERT_TRUE(result.found);
    setField(result, "exam_result", DbValue::fromText("No findings."));
    ASSERT_TRUE(connection.saveRow(result)) << log.errorText().toStdString();
    EXPECT_EQ(scalar("select count(*) from tblExamResult where exam_result='No findings.'"), "1");
    EXPECT_EQ(scalar("select exam_result from tblExamResult where ResultStatus='FINAL'"), "");

    // A table of an attached HIS database, named as the program names it.
    UpdatableRow master;
    ASSERT_TRUE(connection.openForUpdate("SELECT * FROM Patient_Data.dbo.tbMaster WHERE HospNum='H9'", master));
    EXPECT_FALSE(master.found);
    EXPECT_EQ(master.keyColumns, QStringList{"HospNum"});
    master.isNew = true;
    setField(master, "HospNum", DbValue::fromText("H9"));
    ASSERT_TRUE(connection.saveRow(master)) << log.errorText().toStdString();
    const qsizetype column = master.columns.indexOf("HospNum") == 0 ? 1 : 0;
    setField(master, master.columns[column], DbValue::fromText("X"));
    ASSERT_TRUE(connection.saveRow(master)) << log.errorText().toStdString();
    EXPECT_EQ(scalar("select count(*) from Patient_Data.dbo.tbMaster where HospNum='H9'"), "1");
}

// A failure in the middle of a transaction leaves the archive as it was:
// the statements before it are undone, none after it is retried on a new
// connection, and other handlers do not run in between.
TEST_F(ArchiveFixture, AFailureInsideATransactionLeavesTheArchiveUnchanged)
{
    connection.ExecuteSQL("INSERT INTO PatientTable (PatientID, Name_Last) VALUES ('KEEP', 'K')");
    const qsizetype connects = log.logText().count("Connecting to DB...");
    bool timerRan = false;
    {
        ArchiveTransaction transaction(connection);
        ASSERT_TRUE(transaction.isOpen());
        QTimer::singleShot(0, [&] {
            timerRan = true;
            connection.ExecuteSQL("INSERT INTO PatientTable (PatientID) VALUES ('FROM-ANOTHER-HANDLER')");
        });
        connection.ExecuteSQL("UPDATE PatientTable SET Name_Last='CHANGED' WHERE PatientID='KEEP'");
        connection.ExecuteSQL("INSERT INTO PatientTable (PatientID) VALUES ('NEW')");
        log.WriteLog("in the middle"); // would normally let the timer run
        bool failed = false;
        connection.ExecuteSQL("INSERT INTO NoSuchTable (x) VALUES (1)", failed);
        EXPECT_TRUE(failed);
        connection.ExecuteSQL("INSERT INTO PatientTable (PatientID) VALUES ('AFTER')");
        EXPECT_FALSE(timerRan);
        EXPECT_FALSE(transaction.commit());
    }
    EXPECT_FALSE(connection.inTransaction());
    EXPECT_EQ(joined("select PatientID, Name_Last from PatientTable order by PatientID"), "KEEP=K");
    EXPECT_TRUE(connection.DBConnected());
    EXPECT_EQ(log.logText().count("Connecting to DB..."), connects); // no reconnect
    EXPECT_EQ(errorLines().filter("NoSuchTable").size(), 1); // reported once, not retried

    // Events wait until the transaction is over, then run as usual.
    test::waitUntil([&] { return timerRan; }, 5000);
    EXPECT_EQ(scalar("select count(*) from PatientTable where PatientID='FROM-ANOTHER-HANDLER'"), "1");

    // A transaction left without commit is rolled back; a committed one stays.
    {
        ArchiveTransaction transaction(connection);
        connection.ExecuteSQL("DELETE FROM PatientTable");
    }
    EXPECT_EQ(scalar("select count(*) from PatientTable"), "2");
    {
        ArchiveTransaction transaction(connection);
        connection.ExecuteSQL("DELETE FROM PatientTable WHERE PatientID='KEEP'");
        UpdatableRow row;
        ASSERT_TRUE(connection.openForUpdate("SELECT * FROM PatientTable WHERE PatientID='FROM-ANOTHER-HANDLER'", row));
        setField(row, "Name_Last", DbValue::fromText("OTHER"));
        ASSERT_TRUE(connection.saveRow(row));
        EXPECT_FALSE(connection.BeginTrans()); // one at a time
        EXPECT_TRUE(transaction.commit());
    }
    EXPECT_EQ(joined("select PatientID, Name_Last from PatientTable order by PatientID"), "FROM-ANOTHER-HANDLER=OTHER");
}

// A connection lost inside a transaction takes the transaction with it: the
// commit fails instead of keeping only the statements after the loss.
TEST_F(ArchiveFixture, AReconnectInsideATransactionFailsItsCommit)
{
    ArchiveTransaction transaction(connection);
    ASSERT_TRUE(transaction.isOpen());
    connection.ExecuteSQL("INSERT INTO PatientTable (PatientID) VALUES ('BEFORE')");
    connection.reconnect();
    ASSERT_TRUE(connection.DBConnected());
    connection.ExecuteSQL("INSERT INTO PatientTable (PatientID) VALUES ('AFTER')");
    EXPECT_FALSE(transaction.commit());
    EXPECT_EQ(scalar("select count(*) from PatientTable"), "0");
}

// A received image's row is committed without its own flush, the caller
// flushing the log with the image's file; every other commit stays durable
// by itself, also after a reconnect within that scope.
TEST_F(ArchiveFixture, CommitsLeftToTheCallerToFlushAreTheScopesOnly)
{
    auto synchronous = [this] { return joined("PRAGMA synchronous"); };
    if (onServer()) {
        const db::CommitsFlushedByCaller scope(connection);
        EXPECT_TRUE(connection.commitFlushFiles().isEmpty()) << "a database server flushes its own commits";
        return;
    }
    EXPECT_EQ(synchronous(), "2");
    {
        const db::CommitsFlushedByCaller scope(connection);
        EXPECT_EQ(synchronous(), "1");
        bool failed = false;
        connection.ExecuteSQL("insert into ImageTable (InstanceUID, SeriesUID_FKey, Filename) values ('1.2.3', 's', 'f')",
                              failed);
        EXPECT_FALSE(failed);
        const QStringList files = connection.commitFlushFiles();
        ASSERT_EQ(files.size(), 1);
        EXPECT_TRUE(files.first().endsWith("archive.db-wal")) << files.first().toStdString();
        EXPECT_TRUE(QFileInfo::exists(files.first()));
        connection.reconnect();
        EXPECT_EQ(synchronous(), "2") << "a new connection starts with durable commits";
    }
    EXPECT_EQ(synchronous(), "2");
    EXPECT_EQ(joined("select count(*) from ImageTable"), "1");
    // Every image opens and closes such a scope: the switch holds each time.
    for (int image = 0; image < 3; ++image) {
        {
            const db::CommitsFlushedByCaller scope(connection);
            EXPECT_EQ(synchronous(), "1") << "image " << image;
        }
        EXPECT_EQ(synchronous(), "2") << "image " << image;
    }
}
