#include "db/EventJournal.h"
#include "db/SqlText.h"
#include "db/TsqlFunctions.h"
#include "tests/db/ArchiveFixture.h"
#include "db/ArchiveTransaction.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <optional>
#include <random>
#include <sqlite3.h>
#include <string>
#include <vector>

using namespace pacs;
using namespace pacs::db;
using pacs::test::ArchiveFixture;

namespace {
int countOf(const QString &text, const QString &part)
{
    return int(text.count(part));
}
} // namespace

TEST_F(ArchiveFixture, ConnectingUsesTheFirstLineAndLogsItsSecondPartWhole)
{
    scratch.writeFile("DBServer.txt", "Driver=SQLite;Database=archive.db;Attach=Patient_Data.db\nnot=used\n");
    connection.reconnect();
    EXPECT_TRUE(connection.DBConnected());
    EXPECT_TRUE(log.logText().startsWith("Connected to DB. Database=archive.db\r\nConnecting to DB...\r\n"));
    EXPECT_EQ(scalar("select company from patient_data..tbhospitalinfo"), "TALMIR DEMO HOSPITAL");
    bool failed = true;
    connection.ExecuteSQL("USE DICOM", failed);
    EXPECT_FALSE(failed);
}

TEST(ArchiveConnection, BadConnectionFilesAreReportedAndLeaveItDisconnected)
{
    test::ScratchHome scratch;
    HomeFolder home(scratch.home());
    ActivityLog log;
    ArchiveConnection connection(home, log);
    QFile::remove(scratch.path("DBServer.txt"));

    connection.ConnectDB(); // no file at all
    EXPECT_FALSE(connection.DBConnected());
    EXPECT_TRUE(log.logText().isEmpty()) << "no Connecting line without a connection string";
    EXPECT_TRUE(log.errorText().contains("File not found: " + home.filePath("DBServer.txt")));

    scratch.writeFile("DBServer.txt", "\n");
    connection.ConnectDB();
    EXPECT_FALSE(connection.DBConnected());
    EXPECT_TRUE(log.logText().contains("Connecting to DB..."));
    EXPECT_TRUE(log.errorText().contains("names no Driver"));

    scratch.writeFile("DBServer.txt", "Driver=Paradox;Database=x\n");
    connection.ConnectDB();
    EXPECT_TRUE(log.errorText().contains("Unknown database driver: Paradox"));

    scratch.writeFile("DBServer.txt", "Driver=SQLite;Database=nowhere.db\n");
    connection.ConnectDB();
    EXPECT_FALSE(connection.DBConnected());
    EXPECT_FALSE(QFile::exists(home.filePath("nowhere.db"))) << "a wrong path must not create an empty archive";

    connection.setDriverMode(1); // DBServer1.txt missing
    connection.ConnectDB();
    EXPECT_TRUE(log.errorText().contains("File not found: " + home.filePath("DBServer1.txt")));
}

TEST(ArchiveConnection, StartUpWaitsAndRetriesUntilTheDatabaseAppears)
{
    test::ScratchHome scratch;
    HomeFolder home(scratch.home());
    ActivityLog log;
    ArchiveConnection connection(home, log);
    connection.setRetryIntervalMs(50);
    scratch.writeFile("DBServer.txt", "Driver=SQLite;Database=archive.db\n");
    int attemptsSeen = 0;
    QObject::connect(&log, &ActivityLog::logLineAdded, [&](const QString &t) {
        if (t.startsWith("Connecting to DB..."))
            ++attemptsSeen;
    });
    QTimer::singleShot(400, [&] {
        ArchiveInstaller installer(home);
        QString error;
        installer.install(error);
    });
    connection.ConnectAndWait();
    EXPECT_TRUE(connection.DBConnected());
    EXPECT_GE(attemptsSeen, 2);
    EXPECT_FALSE(connection.retryTimer().isActive());
}

TEST_F(ArchiveFixture, StatementFailuresAreReportedThenRetriedOnceAfterAReconnect)
{
    bool failed = true;
    ResultSet none = connection.ExecuteSQL("", failed);
    EXPECT_TRUE(none.isNone());
    EXPECT_TRUE(failed) << "an empty statement leaves the flag as it was";
    EXPECT_EQ(errorLines(), QStringList{"No query."});

    log.clearErrors();
    log.clearLog();
    failed = false;
    ResultSet bad = connection.ExecuteSQL("selec nonsense", failed);
    EXPECT_TRUE(bad.isNone());
    EXPECT_TRUE(failed);
    const QStringList lines = errorLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[1].startsWith("db execute ")) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].endsWith(" selec nonsense"));
    EXPECT_TRUE(lines[0].endsWith(" selec nonsense"));
    EXPECT_FALSE(lines[0].startsWith("db execute "));
    EXPECT_EQ(countOf(log.logText(), "Connecting to DB..."), 1);
    EXPECT_EQ(countOf(log.logText(), "Connected to DB. "), 1);
    EXPECT_TRUE(connection.DBConnected());

    // A NUL inside a statement fails it whole instead of running what precedes it.
    failed = false;
    const QString withNul = QStringLiteral("insert into PatientTable (PatientID) values ('P1'); delete from PatientTable")
                                .replace(QLatin1String("; "), QString(QChar(0)));
    connection.ExecuteSQL("insert into PatientTable (PatientID) values ('P0')", failed);
    connection.ExecuteSQL(withNul, failed);
    EXPECT_TRUE(failed);
    EXPECT_EQ(scalar("select count(*) from PatientTable"), "1");
}

TEST_F(ArchiveFixture, ADatabaseFileRemovedOrReplacedMidRunIsNoticedAndSurvived)
{
    if (onServer())
        GTEST_SKIP() << "the embedded archive's own files";
    const QString file = home.filePath("archive.db");
    ASSERT_TRUE(QFile::copy(file, file + ".copy"));

    // Removed: both attempts fail, the reconnect fails, nothing crashes.
    ASSERT_TRUE(QFile::remove(file));
    bool failed = false;
    ResultSet rows = connection.ExecuteSQL("select count(*) from PatientTable", failed);
    EXPECT_TRUE(failed);
    EXPECT_TRUE(rows.isNone());
    EXPECT_FALSE(connection.DBConnected());
    EXPECT_GE(errorLines().size(), 2);
    EXPECT_TRUE(errorLines().last().startsWith("db execute The database file")) << errorLines().last().toStdString();
    EXPECT_FALSE(QFile::exists(file)) << "the retry must not create an empty archive";

    // Put back: the next statement fails once, reconnects and succeeds.
    ASSERT_TRUE(QFile::rename(file + ".copy", file));
    log.clearErrors();
    failed = true;
    EXPECT_EQ(connection.ExecuteSQL("select DBVersion from Configuration", failed).text(0), "9");
    EXPECT_FALSE(failed);
    EXPECT_EQ(errorLines().size(), 1);
    EXPECT_TRUE(connection.DBConnected());

    // Garbage over the file: reported as failing twice.
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        f.write(QByteArray(4096, 'x'));
    }
    QFile::remove(file + "-wal");
    QFile::remove(file + "-shm");
    connection.reconnect();
    failed = false;
    connection.ExecuteSQL("select count(*) from PatientTable", failed);
    EXPECT_TRUE(failed);
}

// A second process on the archive (sqlite3, a backup) beside the running
// server: the server's own checks of the log's index must leave SQLite's
// locks on it in place, or that process takes the index for unused, resets
// it and, closing, removes the log under the server.
TEST_F(ArchiveFixture, AnotherProcessWritingBesideTheConnectionLeavesItsLogAlone)
{
    if (onServer())
        GTEST_SKIP() << "an embedded archive's files";
    const QString file = home.filePath("archive.db");
    bool failed = true;
    connection.ExecuteSQL("INSERT INTO RemoteAETs VALUES('BESIDE1','127.0.0.1',104)", failed);
    ASSERT_FALSE(failed);
    ASSERT_TRUE(QFile::exists(file + "-shm"));
    EXPECT_EQ(scalar("select count(*) from RemoteAETs where RemoteAET='BESIDE1'"), "1");

    QProcess other;
    other.start("sqlite3", {file, "INSERT INTO RemoteAETs VALUES('BESIDE2','127.0.0.1',105);"});
    ASSERT_TRUE(other.waitForFinished(30000));
    ASSERT_EQ(other.exitCode(), 0) << other.readAllStandardError().toStdString();

    // Still the log and index the connection maps: no error, no reconnect,
    // both rows seen.
    EXPECT_TRUE(QFile::exists(file + "-wal"));
    EXPECT_TRUE(QFile::exists(file + "-shm"));
    log.clearErrors();
    EXPECT_EQ(scalar("select count(*) from RemoteAETs where RemoteAET like 'BESIDE%'"), "2");
    connection.ExecuteSQL("INSERT INTO RemoteAETs VALUES('BESIDE3','127.0.0.1',106)", failed);
    EXPECT_FALSE(failed);
    EXPECT_TRUE(log.errorText().isEmpty()) << log.errorText().toStdString();

    // A transaction of several statements keeps the log to itself throughout:
    // the other process waits for its end, and its rows follow it.
    auto otherWrites = [&](const QString &aet) {
        QProcess writer;
        writer.start("sqlite3", {"-cmd", ".timeout 200", file,
                                 "INSERT INTO RemoteAETs VALUES('" + aet + "','127.0.0.1',107);"});
        return writer.waitForFinished(30000) && writer.exitStatus() == QProcess::NormalExit && writer.exitCode() == 0;
    };
    {
        ArchiveTransaction transaction(connection);
        ASSERT_TRUE(transaction.isOpen());
        connection.ExecuteSQL("INSERT INTO RemoteAETs VALUES('BESIDE4','127.0.0.1',108)", failed);
        ASSERT_FALSE(failed);
        connection.ExecuteSQL("UPDATE RemoteAETs SET Port=109 WHERE RemoteAET='BESIDE4'", failed);
        ASSERT_FALSE(failed);
        EXPECT_EQ(scalar("select Port from RemoteAETs where RemoteAET='BESIDE4'"), "109");
        EXPECT_FALSE(otherWrites("BESIDE5")) << "another writer got in during the transaction";
        ASSERT_TRUE(transaction.commit());
    }
    EXPECT_TRUE(otherWrites("BESIDE6"));
    EXPECT_EQ(joined("select RemoteAET, Port from RemoteAETs where RemoteAET like 'BESIDE%' order by RemoteAET"),
              "BESIDE1=104,BESIDE2=105,BESIDE3=106,BESIDE4=109,BESIDE6=107");
    EXPECT_TRUE(log.errorText().isEmpty()) << log.errorText().toStdString();
}

TEST_F(ArchiveFixture, HeldResultSetsReadOnAcrossAReconnect)
{
    ResultSet rows = connection.ExecuteSQL("select * from Fields");
    ASSERT_FALSE(rows.atEnd());
    EXPECT_FALSE(rows.atStart());
    const QString first = rows.text(0);
    connection.reconnect();
    ASSERT_FALSE(rows.atEnd()) << "another caller's reconnect must not end these rows";
    EXPECT_EQ(rows.text(0), first);
    rows.moveNext();
    rows.close();
    EXPECT_TRUE(rows.atEnd());
    EXPECT_FALSE(rows.endedWithError()) << "closing is not a failure";

    ResultSet empty = connection.ExecuteSQL("select * from PatientTable where 1=2");
    EXPECT_TRUE(empty.atEnd());
    EXPECT_TRUE(empty.atStart());
    EXPECT_FALSE(empty.endedWithError());
    EXPECT_EQ(empty.fieldCount(), 7);
}

TEST_F(ArchiveFixture, DatesAndTextsCompareAsOnSqlServer)
{
    connection.ExecuteSQL("INSERT into PATIENTTABLE (PatientID,Name_First,Name_Middle,Name_Last,Name_Title,DateOfBirth,Sex) VALUES "
                          "('P9','John','','Smith','', convert(datetime,'1/15/2024',101),'M') ");
    ResultSet rows = connection.ExecuteSQL("select DateOfBirth, Name_Last from PatientTable where PatientID='p9'");
    ASSERT_FALSE(rows.atEnd());
    EXPECT_EQ(rows.field("DateOfBirth").toDateTime().date(), QDate(2024, 1, 15));
    EXPECT_EQ(rows.text(0), "1/15/2024");
    EXPECT_EQ(scalar("select count(*) from PatientTable where DateOfBirth = convert(datetime,'01/15/2024',101)"), "1");
    EXPECT_EQ(scalar("select count(*) from PatientTable where Name_Last = 'SMITH' and Name_First like 'jo%'"), "1");
    EXPECT_EQ(scalar("select count(*) from PATIENTView where PatientBirthDate >= '01/01/2024' AND PatientBirthDate <= '01/15/2024'"), "1");
    EXPECT_EQ(scalar("select CONVERT(varchar,DateOfBirth,101) + ' ' + convert(varchar,convert(datetime,'10:30:05',8),8) from PatientTable"),
              "01/15/2024 10:30:05");
    bool failed = false;
    connection.ExecuteSQL("select convert(datetime,'31/31/2024',101)", failed);
    EXPECT_TRUE(failed) << "an impossible date is an error, as on SQL Server";
}

TEST_F(ArchiveFixture, TheJournalStoresSafeDescriptionsAndListsTheNewestHundred)
{
    EventJournal journal(connection);
    log.setJournalWriter([&](const QString &d, const QString &p, int s) { journal.LogEvent(d, p, s); });
    log.ReportError("Oops", true);
    journal.LogEvent("   it's a/b.c:d  e", "O'NEIL", 0);
    ResultSet rows = connection.ExecuteSQL("SELECT  top 100 * from Events where 1=1 order by EventID Desc ");
    ASSERT_FALSE(rows.atEnd());
    EXPECT_EQ(rows.text("Description"), "it_s_a_b_c_d__e");
    EXPECT_EQ(rows.text("PatientID"), "O'NEIL");
    rows.moveNext();
    EXPECT_EQ(rows.text("Description"), "Oops");
    EXPECT_EQ(rows.text("Severity"), "0");
    EXPECT_EQ(rows.text("PatientID"), "");
    EXPECT_LE(qAbs(rows.field("DateTime").toDateTime().secsTo(QDateTime::currentDateTime())), 5);
    rows.close();

    for (int i = 0; i < 103; ++i)
        journal.LogEvent(QString("event %1").arg(i), QString(), 0);
    QStringList lines;
    ASSERT_TRUE(journal.refresh([&](const QString &line) {
        lines << line;
        return true;
    }));
    ASSERT_EQ(lines.size(), 100);
    EXPECT_TRUE(lines.first().endsWith("\tevent_102"));
    EXPECT_EQ(lines.first().split('\t').size(), 5);
    EXPECT_TRUE(lines.last().endsWith("\tevent_3"));

    QStringList stopped;
    journal.refresh([&](const QString &line) {
        stopped << line;
        return stopped.size() < 3; // the Stop button clears the searching flag
    });
    EXPECT_EQ(stopped.size(), 3);

    journal.deleteAll();
    journal.deleteAll(); // already empty: no error
    EXPECT_EQ(scalar("select count(*) from Events"), "0");
    EXPECT_EQ(errorLines().size(), 1); // only "Oops"
}

TEST_F(ArchiveFixture, RowsOpenedForUpdateAreEditedOrAddedWithValuesKeptIntact)
{
    UpdatableRow row;
    ASSERT_TRUE(connection.openForUpdate("SELECT * FROM PATIENTTABLE WHERE PATIENTID='P7' ", row));
    EXPECT_FALSE(row.found);
    row.isNew = true;
    auto set = [&](const QString &column, const DbValue &v) {
        const qsizetype i = row.columns.indexOf(column);
        ASSERT_GE(i, 0) << column.toStdString();
        row.values[i] = v;
        row.changed[i] = true;
    };
    set("PatientID", DbValue::fromText("P7"));
    set("Name_Last", DbValue::fromText("O'NEIL'); DROP TABLE PatientTable; --"));
    set("DateOfBirth", DbValue::fromDateTime(QDateTime(QDate(1950, 2, 3), QTime(0, 0))));
    ASSERT_TRUE(connection.saveRow(row));

    UpdatableRow again;
    ASSERT_TRUE(connection.openForUpdate("SELECT * FROM PATIENTTABLE WHERE PATIENTID='p7' ", again));
    ASSERT_TRUE(again.found);
    EXPECT_EQ(again.values[again.columns.indexOf("Name_Last")].toText(), "O'NEIL'); DROP TABLE PatientTable; --");
    EXPECT_EQ(again.values[again.columns.indexOf("DateOfBirth")].toDateTime().date(), QDate(1950, 2, 3));
    const qsizetype sex = again.columns.indexOf("Sex");
    again.values[sex] = DbValue::fromText("F");
    again.changed[sex] = true;
    ASSERT_TRUE(connection.saveRow(again));
    EXPECT_EQ(scalar("select Sex from PatientTable where PatientID='P7'"), "F");
    EXPECT_EQ(scalar("select count(*) from PatientTable"), "1");
}

TEST_F(ArchiveFixture, TheInstallationHoldsEveryTableViewAndQueryMapping)
{
    EXPECT_EQ(scalar("select DBVersion from Configuration"), "9");
    for (const char *table : {"PatientTable", "StudyTable", "SeriesTable", "ImageTable", "Fields", "RemoteAETs", "Events",
                              "Configuration", "InstitutionTable", "tblExamResult", "PATIENTView", "STUDYPATIENTView",
                              "STUDYSTUDYView", "SERIESView", "IMAGEView", "ImageRetrievalView"}) {
        bool failed = false;
        connection.ExecuteSQL(QString("select top 1 * from DICOM..%1").arg(table), failed);
        EXPECT_FALSE(failed) << table;
    }
    for (const char *level : {"PATIENT", "STUDYPATIENT", "STUDYSTUDY", "SERIES", "IMAGE"})
        EXPECT_NE(scalar(QString("Select count(*) from fields where %1=1").arg(level)), "0") << level;
    // Every column a mapping names exists in its level's view.
    for (const char *level : {"PATIENT", "STUDYPATIENT", "STUDYSTUDY", "SERIES", "IMAGE"}) {
        ResultSet map = connection.ExecuteSQL(QString("Select * from fields where %1=1").arg(level));
        for (; !map.atEnd(); map.moveNext()) {
            const bool isName = map.field("isName").toInteger() != 0;
            const QString source = map.text("fieldsource").trimmed();
            const QString columns = isName ? source + "_last," + source + "_first," + source + "_middle," + source + "_title"
                                           : source + " AS " + map.text("FieldName").trimmed();
            bool failed = false;
            connection.ExecuteSQL(QString("SELECT top 1 %1 FROM %2View").arg(columns, level), failed);
            EXPECT_FALSE(failed) << level << " " << columns.toStdString();
        }
    }
    EXPECT_EQ(scalar("select count(*) from Patient_Data.dbo.tbMaster"), "3");
    EXPECT_EQ(scalar("select count(*) from build_file.dbo.tbcodoctor"), "2");
    EXPECT_EQ(scalar("select estatus from HIS.dbo.hdocOrd where requestnum='R123'"), "P");
    EXPECT_EQ(scalar("select status from HIS..worksheet where qnumber='R123'"), "0");

    // Installing again changes nothing.
    connection.ExecuteSQL("insert into RemoteAETs (RemoteAET, IPAddress, Port) values ('VIEWER','127.0.0.1',104)");
    ArchiveInstaller installer(home);
    QString error;
    ASSERT_TRUE(installer.install(error));
    EXPECT_TRUE(installer.actions().isEmpty());
    EXPECT_EQ(scalar("select count(*) from RemoteAETs"), "1");
}

TEST_F(ArchiveFixture, TextsMatchWithoutRegardToCaseInEveryScript)
{
    for (const char *row : {"('PM1','Müller')", "('PM2','Mueller')", "('PC1','Иванов')", "('PID_03','A')", "('PIDX03','B')"})
        connection.ExecuteSQL(QString("insert into PatientTable (PatientID, Name_Last) values %1").arg(row));
    EXPECT_EQ(scalar("select PatientID from PatientTable where Name_Last = 'MÜLLER'"), "PM1");
    EXPECT_EQ(scalar("select PatientID from PatientTable where Name_Last like 'MÜL%'"), "PM1");
    EXPECT_EQ(scalar("select count(*) from PatientTable where Name_Last like 'M_LLER'"), "1") << "_ is one character, not one byte";
    EXPECT_EQ(scalar("select count(*) from PatientTable where Name_Last = 'MULLER'"), "0") << "accents still count";
    EXPECT_EQ(scalar("select PatientID from PatientTable where Name_Last = 'иВАНОВ'"), "PC1");
    EXPECT_EQ(scalar("select count(*) from PatientTable where Name_Last in ('müller', 'MUELLER')"), "2");
    // Lookups by a NOCASE column still go through its index.
    if (!onServer()) {
        ResultSet plan = connection.ExecuteSQL("EXPLAIN QUERY PLAN select PatientID from PatientTable where Name_Last = 'MÜLLER'");
        ASSERT_FALSE(plan.atEnd());
        EXPECT_TRUE(plan.text("detail").contains("USING INDEX PatientTable_Name_Last")) << plan.text("detail").toStdString();
        plan.close();
    }

    // ESCAPE makes LIKE's own wildcards plain characters.
    EXPECT_EQ(scalar("select count(*) from PatientTable where PatientID like 'PID_03'"), "2");
    EXPECT_EQ(scalar("select PatientID from PatientTable where PatientID like 'pid\\_03' ESCAPE '\\'"), "PID_03");
    EXPECT_EQ(scalar("select count(*) from PatientTable where PatientID like 'PID\\%' ESCAPE '\\'"), "0");
    EXPECT_EQ(scalar("select count(*) from PatientTable where PatientID like 'PID_03\\' ESCAPE '\\'"), "0") << "a trailing escape matches nothing";
    EXPECT_EQ(scalar("select count(*) from PatientTable where PatientID like 'P%03' ESCAPE 'x'"), "2");
    bool failed = false;
    connection.ExecuteSQL("select count(*) from PatientTable where PatientID like 'P%' ESCAPE 'ab'", failed);
    EXPECT_TRUE(failed);

    // The attached databases of the hospital information system too.
    connection.ExecuteSQL("insert into Patient_Data.dbo.tbMaster (HospNum, LastName) values ('H1', 'Öztürk')");
    EXPECT_EQ(scalar("select HospNum from Patient_Data.dbo.tbMaster where LastName = 'ÖZTÜRK'"), "H1");
    EXPECT_EQ(scalar("select HospNum from Patient_Data.dbo.tbMaster where LastName like 'özt%'"), "H1");
}

TEST(NocaseFunctions, TheByteWisePathsAgreeWithTheCodePointWalk)
{
    // Pieces: ASCII around the letters and wildcards, letters beyond ASCII,
    // and bytes that are no UTF-8 (a lone continuation, cut sequences, 0xFF).
    const std::vector<std::string> pieces = {"a", "Z", "z", "@", "[", "_", "%", "\\", "0", "~", "\x7f", "\xc3\xa9", "\xc3\x89",
                                             "\xc3\x9f", "\xc4\xb0", "\xc7\x85", "\xd0\x98", "\xff", "\xc3", "\xe2\x82", "\x80"};
    std::mt19937 random(7);
    auto text = [&] {
        std::string s;
        for (int n = int(random() % 7); n > 0; --n)
            s += pieces[random() % pieces.size()];
        return s;
    };
    const std::optional<char32_t> escapes[] = {std::nullopt, U'\\', U'a', U'A', U'\u00e9', char32_t(0x110000 + 0xFF)};
    auto sign = [](int x) { return (x > 0) - (x < 0); };
    for (int i = 0; i < 40000; ++i) {
        const std::string a = text(), b = i % 3 ? text() : a + text();
        ASSERT_EQ(sign(nocaseCompare(a, b)), sign(nocaseCompareByCodePoints(a, b))) << a << " / " << b;
        const std::optional<char32_t> escape = escapes[i % std::size(escapes)];
        ASSERT_EQ(nocaseLike(a, b, escape), nocaseLikeByCodePoints(a, b, escape)) << a << " LIKE " << b;
    }
    EXPECT_EQ(nocaseCompare("Idx0001", "iDX0001"), 0);
    EXPECT_LT(nocaseCompare("abc", "abd\xc3\xa9"), 0);
    EXPECT_LT(nocaseCompare("_", "A"), 0) << "as SQLite's NOCASE: letters fold down, to after \"_\"";
    EXPECT_TRUE(nocaseLike("idx0001%", "IDX0001^X", std::nullopt));
    EXPECT_TRUE(nocaseLike("p\\_0%", "P_07", U'\\'));
    EXPECT_FALSE(nocaseLike("p\\_0%", "PX07", U'\\'));
}

TEST_F(ArchiveFixture, APrefixLikeFindsTheSameRowsThroughTheNameIndex)
{
    const char *names[] = {"IDX0001", "idx0001^b", "IDX00010", "IDX0002", "IDX000", "IDX0001\xc3\xa9", "IDX@1", "IDX[1", "IDXa1",
                           "IDX_1", "\xc3\x9cLLER", "\xc3\xbcller", "ID", "idx0001%", "O'NEIL"};
    int n = 0;
    for (const char *name : names) {
        const QString id = QString::number(++n);
        connection.ExecuteSQL("insert into PatientTable (PatientID, Name_Last) values ('P" + id + "', '" + Quote(QString::fromUtf8(name)) + "')");
        connection.ExecuteSQL("insert into StudyTable (StudyUID, PatientID_FKey) values ('1.2." + id + "', 'P" + id + "')");
    }
    const char *patterns[] = {"IDX0001%", "idx0001_%", "IDX@%", "idx[%", "IDX\\_%", "IDX0001\\%%", "\xc3\xbc%", "O''%", "I%1", "%1"};
    for (const char *pattern : patterns) {
        QStringList expected;
        for (const char *name : names)
            if (nocaseLikeByCodePoints(QByteArray(pattern).replace("''", "'").toStdString(), name, U'\\'))
                expected << QString::fromUtf8(name);
        expected.sort();
        const QString where = QStringLiteral(" WHERE PatientName_last LIKE '") + QString::fromUtf8(pattern) + "' ESCAPE '\\'";
        QStringList found;
        for (ResultSet rows = connection.ExecuteSQL("SELECT top 800 PatientName_last FROM STUDYSTUDYView" + where); !rows.atEnd();
             rows.moveNext())
            found << rows.text(0);
        found.sort();
        EXPECT_EQ(found, expected) << pattern;
    }
    if (!onServer()) {
        ResultSet plan = connection.ExecuteSQL("EXPLAIN QUERY PLAN SELECT top 800 StudyInstanceUID FROM STUDYSTUDYView "
                                               "WHERE PatientName_last LIKE 'IDX0001%' ESCAPE '\\'");
        QString details;
        for (; !plan.atEnd(); plan.moveNext())
            details += plan.text("detail") + "; ";
        EXPECT_TRUE(details.contains("USING INDEX PatientTable_Name_Last")) << details.toStdString();
    }
}

TEST_F(ArchiveFixture, IndexesOfAnArchiveWrittenBeforeAreRebuiltForTheNewComparison)
{
    if (onServer())
        GTEST_SKIP() << "the embedded archive's own files";
    // Rows written by a build whose NOCASE folded only A-Z: its indexes hold
    // "Ü..." apart from "ü...", where the comparison now puts them together.
    auto writeAsBefore = [&](const QString &file, const QString &sql) {
        sqlite3 *raw = nullptr;
        ASSERT_EQ(sqlite3_open(QFile::encodeName(home.filePath(file)).constData(), &raw), SQLITE_OK);
        sqlite3_busy_timeout(raw, 10000);
        char *message = nullptr;
        EXPECT_EQ(sqlite3_exec(raw, (QStringLiteral("BEGIN;") + sql + QStringLiteral("PRAGMA user_version = 0; COMMIT;")).toUtf8().constData(),
                               nullptr, nullptr, &message),
                  SQLITE_OK)
            << (message ? message : "");
        sqlite3_free(message);
        sqlite3_close(raw);
    };
    QString patients, master;
    for (int i = 0; i < 300; ++i) {
        const QString upper = i % 2 ? "Ü" : "ü";
        patients += QString("insert into PatientTable (PatientID, Name_Last) values ('X%1', '%2BER%1');").arg(i).arg(upper);
        master += QString("insert into tbMaster (HospNum, LastName) values ('%1H%2', 'x');").arg(i % 2 ? "Ö" : "ö").arg(i);
    }
    writeAsBefore("archive.db", patients);
    writeAsBefore("Patient_Data.db", master);

    // Read with the new comparison as they are, the indexes are broken.
    {
        sqlite3 *raw = nullptr;
        ASSERT_EQ(sqlite3_open(QFile::encodeName(home.filePath("archive.db")).constData(), &raw), SQLITE_OK);
        registerTsqlFunctions(raw);
        sqlite3_stmt *check = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(raw, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
        EXPECT_STRNE(reinterpret_cast<const char *>(sqlite3_column_text(check, 0)), "ok");
        sqlite3_finalize(check);
        sqlite3_close(raw);
    }

    connection.reconnect();
    ASSERT_TRUE(connection.DBConnected());
    EXPECT_EQ(scalar("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(scalar("PRAGMA Patient_Data.integrity_check"), "ok");
    EXPECT_EQ(scalar("PRAGMA user_version"), "1");
    EXPECT_EQ(scalar("PRAGMA Patient_Data.user_version"), "1");
    for (int i : {0, 1, 150, 299}) {
        EXPECT_EQ(scalar(QString("select PatientID from PatientTable where Name_Last = 'Ü%1'").arg(QString("BER%1").arg(i))),
                  QString("X%1").arg(i));
        EXPECT_EQ(scalar(QString("select count(*) from Patient_Data..tbMaster where HospNum = 'öH%1'").arg(i)), "1");
    }
}

TEST_F(ArchiveFixture, DatesWrittenByStatementTextAreStoredAsReceptionStoresThem)
{
    // The corrections write typed dates; reception writes converted ones.
    connection.ExecuteSQL("Insert Into StudyTable (StudyUID,PatientID_FKey,studydate,studytime,AccessionNumber)  VALUES "
                          "( '1.2.50' , 'P1' , '2/3/2024' , '09:05:00' , 'A50' )  ");
    connection.ExecuteSQL("INSERT into STUDYTABLE (StudyUID,PatientID_FKey,StudyDate,StudyTime) VALUES "
                          "('1.2.51','P1',convert(datetime,'02/03/2024',101),convert(datetime,'09:05:00',8))");
    EXPECT_EQ(scalar("select StudyDate || '|' || StudyTime from StudyTable where StudyUID='1.2.50'"),
              "2024-02-03 00:00:00|1900-01-01 09:05:00");
    if (!onServer()) // the embedded archive keeps dates as ISO text
        EXPECT_EQ(scalar("select typeof(StudyDate) from StudyTable where StudyUID='1.2.50'"), "text");
    EXPECT_EQ(scalar("select count(*) from StudyTable a, StudyTable b where a.StudyUID='1.2.50' and b.StudyUID='1.2.51' "
                     "and a.StudyDate = b.StudyDate and a.StudyTime = b.StudyTime"),
              "1");
    EXPECT_EQ(scalar("select count(*) from STUDYSTUDYView where StudyDate >= '02/03/2024' AND StudyDate <= '02/03/2024'"), "2");

    connection.ExecuteSQL("update StudyTable set patientID_Fkey = 'P1',  StudyDate = '2/4/2024',  StudyTime = '10:15:00', "
                          " AccessionNumber = 'A50',  StudyDescription = 'X'  where StudyUID='1.2.50'");
    EXPECT_EQ(scalar("select StudyDate || '|' || StudyTime from StudyTable where StudyUID='1.2.50'"),
              "2024-02-04 00:00:00|1900-01-01 10:15:00");
    bool failed = false;
    connection.ExecuteSQL("update StudyTable set StudyDate = '2/30/2024' where StudyUID='1.2.50'", failed);
    EXPECT_TRUE(failed) << "no such date: refused, as on SQL Server";
    EXPECT_EQ(scalar("select '[' || StudyDate || ']' from StudyTable where StudyUID='1.2.50'"), "[2024-02-04 00:00:00]");

    // An empty birth date is SQL Server's base date, stored and compared.
    connection.ExecuteSQL("insert into  PatientTable (PatientID,Name_First,Name_Middle,Name_Last,DateofBirth,Sex) VALUES ( "
                          "   'P60',   'ANN',   '',   'LEE',   '',   'F')");
    EXPECT_EQ(scalar(" select patientid FROM PATIENTTABLE WHERE name_first='ANN' and name_middle='' and name_last='LEE' and dateofbirth=''"),
              "P60");

    // A date column added later is known from then on.
    connection.ExecuteSQL("ALTER TABLE StudyTable ADD ReportDate datetime");
    connection.ExecuteSQL("update StudyTable set ReportDate = '3/4/2024' where StudyUID='1.2.51'");
    EXPECT_EQ(scalar("select '[' || ReportDate || ']' from StudyTable where StudyUID='1.2.51'"), "[2024-03-04 00:00:00]");
}

TEST_F(ArchiveFixture, QueriesByAUidStillGoThroughTheIndex)
{
    connection.ExecuteSQL("insert into ImageTable (InstanceUID, SeriesUID_FKey, InstanceNumber) values ('1.2.3.1', '1.2.3', 1), "
                          "('1.2.3.2', '1.2.3', 2), ('1.2.4.1', '1.2.4', 1)");
    const QString query = "SELECT top 800 SOPInstanceUID AS SOPInstanceUID FROM IMAGEView WHERE SeriesInstanceUID LIKE '1.2.3' "
                          "ESCAPE '\\' ORDER BY CAST(InstanceNumber AS char)";
    if (!onServer()) {
        ResultSet plan = connection.ExecuteSQL("EXPLAIN QUERY PLAN " + query);
        QString details;
        for (; !plan.atEnd(); plan.moveNext())
            details += plan.text("detail") + "; ";
        EXPECT_TRUE(details.contains("USING INDEX ImageTable_SeriesUID_FKey")) << details.toStdString();
    }
    QStringList found;
    for (ResultSet rows = connection.ExecuteSQL(query); !rows.atEnd(); rows.moveNext())
        found << rows.text(0);
    EXPECT_EQ(found, (QStringList{"1.2.3.1", "1.2.3.2"}));
}

namespace {
// Open handles of the archive file in this process (one per connection),
// counting those of a file that was replaced since.
int openHandlesOf(const QString &file)
{
    const QString target = QFileInfo(file).canonicalFilePath();
    int n = 0;
    for (const QFileInfo &fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        if (fd.symLinkTarget() == target || fd.symLinkTarget() == target + " (deleted)") // replaced files too
            ++n;
    return n;
}
} // namespace

TEST_F(ArchiveFixture, AReconnectMidReadLeavesEveryRowToTheReaderAndClosesTheOldHandleAfterIt)
{
    if (onServer())
        GTEST_SKIP() << "the embedded archive's own files";
    QStringList values;
    for (int i = 0; i < 1500; ++i)
        values << QString("('R%1','ROWS')").arg(i, 4, 10, QChar('0'));
    connection.ExecuteSQL("insert into PatientTable (PatientID, Name_Last) values " + values.join(','));
    const QString file = home.filePath("archive.db");
    const int handlesBefore = openHandlesOf(file);
    ASSERT_GE(handlesBefore, 1);
    {
        ResultSet rows = connection.ExecuteSQL("select PatientID from PatientTable where Name_Last='ROWS' order by PatientID");
        QStringList seen;
        for (; !rows.atEnd(); rows.moveNext()) {
            seen << rows.text(0);
            if (seen.size() == 500) {
                // What a handler run from an event-loop yield does: a failing
                // statement reconnects.
                bool failed = false;
                connection.ExecuteSQL("selec nonsense", failed);
                EXPECT_TRUE(failed);
                EXPECT_TRUE(connection.DBConnected());
                EXPECT_EQ(openHandlesOf(file), handlesBefore + 1) << "the old handle stays open for these rows";
                // The new connection works beside the held rows, writes included.
                connection.ExecuteSQL("insert into PatientTable (PatientID, Name_Last) values ('NEW1','OTHER')", failed);
                EXPECT_FALSE(failed);
            }
            if (seen.size() == 1000) {
                // The file replaced under the server: the next statement
                // reconnects to the new file; these rows still come from the old one.
                ASSERT_TRUE(QFile::copy(file, file + ".copy"));
                ASSERT_TRUE(QFile::remove(file));
                ASSERT_TRUE(QFile::rename(file + ".copy", file));
                bool failed = true;
                EXPECT_EQ(connection.ExecuteSQL("select count(*) from PatientTable where PatientID='NEW1'", failed).text(0), "1");
                EXPECT_FALSE(failed);
            }
        }
        EXPECT_FALSE(rows.endedWithError()) << rows.error().toStdString();
        ASSERT_EQ(seen.size(), 1500);
        EXPECT_EQ(seen.first(), "R0000");
        EXPECT_EQ(seen.last(), "R1499");
    }
    // The last reader gone, so is every old handle.
    EXPECT_EQ(openHandlesOf(file), handlesBefore);
}

TEST_F(ArchiveFixture, RowsThatFailWhileBeingReadSayTheyEndedWithAnError)
{
    if (onServer())
        GTEST_SKIP() << "the embedded archive's own files";
    for (int i = 0; i < 20; ++i)
        connection.ExecuteSQL(QString("insert into PatientTable (PatientID, Name_Last) values ('E%1','ERR')").arg(i, 2, 10, QChar('0')));
    // The tenth row's value cannot be computed: the database fails in the
    // middle (no ORDER BY, which would compute every row before the first).
    ResultSet rows = connection.ExecuteSQL(
        "select PatientID, CASE WHEN PatientID='E09' THEN abs(-9223372036854775807-1) ELSE 0 END from PatientTable "
        "where Name_Last='ERR'");
    ASSERT_FALSE(rows.isNone());
    int read = 0;
    for (; !rows.atEnd(); rows.moveNext())
        ++read;
    EXPECT_LT(read, 20);
    EXPECT_TRUE(rows.endedWithError());
    EXPECT_TRUE(rows.error().contains("overflow")) << rows.error().toStdString();
    rows.close();
    EXPECT_TRUE(rows.endedWithError()) << "the reason survives close";

    ResultSet whole = connection.ExecuteSQL("select PatientID from PatientTable where Name_Last='ERR'");
    int all = 0;
    for (; !whole.atEnd(); whole.moveNext())
        ++all;
    EXPECT_EQ(all, 20);
    EXPECT_FALSE(whole.endedWithError());
}
