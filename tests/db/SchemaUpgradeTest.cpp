#include "db/OracleDialect.h"
#include "db/SchemaUpgrade.h"
#include "db/SqliteBackend.h"
#include "tests/db/ArchiveFixture.h"

#include <QDir>
#include <QFile>

using namespace pacs;
using namespace pacs::db;
using pacs::test::ScriptedPrompter;

namespace {

const char *kAskUpdate = "Database needs to be updated, do you wish to update?";
const char *kAskContinue = "Your database will be updated. This may take a while, please wait till operation completes.  Continue?";

// The statements of the image key step, when its columns are new.
constexpr int kImageKeyStatements = 14;

// An archive as it was before version 9: no send/sync status, no
// institution, no doctor e-mail, no image keys.
class OldArchive : public ::testing::Test
{
protected:
    void SetUp() override
    {
        make("old.db", "CREATE TABLE StudyTable (StudyUID varchar(64), PatientID_FKey varchar(64), StudyDate datetime);"
                       "CREATE TABLE SeriesTable (SeriesUID varchar(64), StudyUID_FKey varchar(64), Modality varchar(16),"
                       "  SeriesNumber int, SeriesDescription varchar(255));"
                       "CREATE TABLE ImageTable (InstanceUID varchar(64), SeriesUID_FKey varchar(64), Filename varchar(255),"
                       "  InstanceNumber int);"
                       "CREATE TABLE Fields (groupid int, elementid int, FieldName varchar(64), fieldsource varchar(255),"
                       "  FieldMatch varchar(1024), isName bit, IsDate bit, ForMatching bit, PATIENT int, STUDYPATIENT int,"
                       "  STUDYSTUDY int, SERIES int, IMAGE int);"
                       "INSERT INTO Fields VALUES (8, 48, 'StudyTime', 'StudyTime', NULL, 0, 0, 0, 0, 1, 1, 0, 0);"
                       "CREATE VIEW IMAGEView AS SELECT InstanceUID AS SOPInstanceUID FROM ImageTable;"
                       "CREATE VIEW SERIESView AS SELECT SeriesUID AS SeriesInstanceUID FROM SeriesTable;"
                       "CREATE TABLE Configuration (DBVersion varchar(20));"
                       "INSERT INTO Configuration VALUES ('8');"
                       "INSERT INTO StudyTable VALUES ('1.1', 'P1', '2020-01-01 00:00:00');"
                       "INSERT INTO ImageTable (InstanceUID, SeriesUID_FKey, Filename) VALUES ('1.1.1', '1.1.0', '/x/IMAGES/a.dcm');");
        make("Build_File.db", "CREATE TABLE tbcodoctor (DoctorID varchar(20), LastName varchar(64));");
        scratch.writeFile("DBServer.txt", "Driver=SQLite;Database=old.db;Attach=Build_File.db\n");
        connection.ConnectDB();
        ASSERT_TRUE(connection.DBConnected()) << log.errorText().toStdString();
    }

    void make(const QString &file, const QString &sql)
    {
        SqliteBackend db;
        QString error;
        ASSERT_TRUE(db.openFile(home.filePath(file), true, error)) << error.toStdString();
        ASSERT_TRUE(db.executeScript(sql, error)) << error.toStdString();
    }

    // Activity-log lines in the order they were written.
    QStringList logLines() const
    {
        QStringList lines = log.logText().split("\r\n", Qt::SkipEmptyParts);
        std::reverse(lines.begin(), lines.end());
        return lines;
    }

    QStringList upgradeLines() const
    {
        QStringList out;
        for (const QString &l : logLines())
            if (l == "Updated." || l == "Update already done.")
                out << l;
        return out;
    }

    QString scalar(const QString &sql)
    {
        ResultSet rows = connection.ExecuteSQL(sql);
        return rows.atEnd() ? QStringLiteral("<none>") : rows.text(0);
    }

    test::ScratchHome scratch;
    HomeFolder home{scratch.home()};
    ActivityLog log;
    ArchiveConnection connection{home, log};
    ScriptedPrompter prompter;
    SchemaUpgrade upgrade{connection, log, prompter};
};

} // namespace

TEST_F(OldArchive, TheUpgradeRunsOnceAndThenCountsEveryStatementAsDone)
{
    prompter.answers = {true, true};
    upgrade.CheckSchemaVersion();
    EXPECT_EQ(prompter.asked, (QStringList{kAskUpdate, kAskContinue}));
    EXPECT_EQ(prompter.shown, QStringList{"Update Complete."});
    EXPECT_EQ(upgradeLines(), QStringList(11 + kImageKeyStatements, "Updated."));
    EXPECT_EQ(scalar("select DBVersion from [DICOM].[dbo].[Configuration]"), "9");
    // Archived before the upgrade: counts as forwarded.
    EXPECT_EQ(scalar("select SyncStatus from ImageTable"), "1");
    EXPECT_EQ(scalar("select SendStatus from StudyTable"), "1");
    EXPECT_EQ(scalar("select count(*) from sqlite_master where name='by_SyncStatus'"), "1");
    connection.ExecuteSQL("insert into InstitutionTable (Name) values ('A')");
    EXPECT_EQ(scalar("select ID from InstitutionTable"), "1");
    connection.ExecuteSQL("update build_file.dbo.tbcodoctor set email='x'");

    // Received after the upgrade: waits for the sender, and a second run
    // does not mark it.
    connection.ExecuteSQL("insert into ImageTable (InstanceUID) values ('1.1.2')");
    log.clearLog();
    prompter.answers = {true};
    upgrade.updateDatabase();
    QStringList expected(6 + 1, "Update already done."); // the image key step stops at its first column
    expected << "Updated.";
    EXPECT_EQ(upgradeLines(), expected);
    EXPECT_EQ(scalar("select count(*) from ImageTable where SyncStatus is null"), "1");

    // At version 9 the start-up check asks nothing and runs nothing.
    log.clearLog();
    log.clearErrors();
    prompter.asked.clear();
    upgrade.CheckSchemaVersion();
    EXPECT_TRUE(prompter.asked.isEmpty());
    EXPECT_TRUE(upgradeLines().isEmpty());
    EXPECT_EQ(log.errorText().toStdString(), "");
}

TEST_F(OldArchive, VersionsCompareAsTextsAndTheOperatorMayDecline)
{
    connection.ExecuteSQL("update Configuration set DBVersion='10'");
    prompter.answers = {false};
    upgrade.CheckSchemaVersion();
    EXPECT_EQ(prompter.asked, QStringList{kAskUpdate}) << "\"10\" sorts before \"9\"";
    EXPECT_TRUE(upgradeLines().isEmpty());
    // The DBVersion column exists already: reported twice (first try, retry).
    QStringList failures;
    for (const QString &line : log.errorText().split("\r\n"))
        if (line.contains("ALTER TABLE [Configuration] ADD DBVersion varchar(20)"))
            failures << line;
    EXPECT_EQ(failures.size(), 2);
    EXPECT_TRUE(failures[1].contains(" :  db execute "));
}

TEST_F(OldArchive, WithoutAVersionColumnTheOperatorIsAskedToLoadTheConfiguration)
{
    make("noversion.db", "CREATE TABLE Configuration (Other int); INSERT INTO Configuration VALUES (1);");
    scratch.writeFile("DBServer.txt", "Driver=SQLite;Database=noversion.db\n");
    connection.reconnect();
    prompter.answers = {true, false};
    upgrade.CheckSchemaVersion();
    EXPECT_EQ(prompter.asked, (QStringList{"Load Configuration", kAskUpdate}));
    EXPECT_EQ(scalar("select count(*) from Configuration where DBVersion is null"), "1");
}

TEST_F(OldArchive, AnEmptyConfigurationKeepsAnEmptyVersion)
{
    connection.ExecuteSQL("delete from Configuration");
    prompter.answers = {true, true};
    upgrade.CheckSchemaVersion();
    EXPECT_EQ(scalar("select count(*) from Configuration"), "0");
    prompter.asked.clear();
    upgrade.CheckSchemaVersion();
    EXPECT_EQ(prompter.asked, QStringList{kAskUpdate}) << "asked again at every start";
}

TEST_F(OldArchive, WithSendStatusPresentTheSyncStepIsSkipped)
{
    connection.ExecuteSQL("ALTER TABLE StudyTable ADD SendStatus varchar(3)");
    prompter.answers = {true};
    upgrade.updateDatabase();
    bool failed = false;
    connection.ExecuteOnce("select SyncStatus from ImageTable", failed);
    EXPECT_TRUE(failed) << "no sync column, index or marking";
    EXPECT_EQ(scalar("select DBVersion from Configuration"), "9");
}

TEST_F(OldArchive, RunSchemaStatementReportsOnlyAnEmptyStatement)
{
    bool failed = false;
    upgrade.RunSchemaStatement("", failed);
    EXPECT_TRUE(log.errorText().contains("No query."));
    upgrade.RunSchemaStatement("ALTER TABLE Nowhere ADD x int", failed);
    EXPECT_TRUE(failed);
    EXPECT_EQ(logLines().last(), "Update already done.");
    EXPECT_FALSE(log.errorText().contains("Nowhere"));
}

TEST(OracleDialect, ModeDecidesLogMessageAndRewrite)
{
    ActivityLog log;
    ScriptedPrompter prompter;
    EXPECT_EQ(ToDialect("select a from t", 0, log, prompter), "select a from t");
    EXPECT_TRUE(ToDialect("select a from t", 2, log, prompter).isEmpty());
    EXPECT_TRUE(log.logText().isEmpty());
    EXPECT_EQ(ToDialect("select [a] from t", 1, log, prompter), "SELECT \"A\" FROM T");
    EXPECT_EQ(log.logText(), "select [a] from t\r\n");
    EXPECT_TRUE(prompter.shown.isEmpty());
    EXPECT_EQ(ToDialect("SELECT  TOP 100 * FROM T WHERE 1=1 ORDER BY X", 1, log, prompter),
              "SELECT * FROM T WHERE 1=1  AND ROWNUM < 100 ORDER BY X");
    EXPECT_EQ(prompter.shown, QStringList{"SELECT * FROM T WHERE 1=1  AND ROWNUM < 100 ORDER BY X"});
}

TEST_F(OldArchive, TheImageKeyStepMapsTheNewKeysAndListsEveryArchivedImage)
{
    prompter.answers = {true, true};
    upgrade.CheckSchemaVersion();
    log.clearErrors(); // the version column exists: reported, as at every such start
    // Archived before the step: its keys are in its file only, to be read.
    EXPECT_EQ(scalar("select InstanceUID from ImageKeysToRead"), "1.1.1");
    EXPECT_EQ(scalar("select count(*) from IMAGEView where SOPClassUID is null and NumberOfFrames is null"
                     " and ImageRows is null and ImageColumns is null"),
              "1");
    EXPECT_EQ(scalar("select count(*) from SERIESView where SeriesDate is null and BodyPartExamined is null"), "0");
    QStringList imageKeys;
    ResultSet rows = connection.ExecuteSQL("select FieldName from Fields where IMAGE=1 order by groupid, elementid");
    for (; !rows.atEnd(); rows.moveNext())
        imageKeys << rows.text(0);
    EXPECT_EQ(imageKeys, (QStringList{"SOPClassUID", "NumberOfFrames", "ImageRows", "ImageColumns"}));
    EXPECT_EQ(scalar("select count(*) from Fields where SERIES=1 and IsDate=1 and FieldName='SeriesDate'"), "1");
    EXPECT_EQ(scalar("select count(*) from Fields where SERIES=1 and FieldName='BodyPartExamined'"), "1");
    // Study Time is matched from now on, as a range (its VR tells a time).
    EXPECT_EQ(scalar("select count(*) from Fields where groupid=8 and elementid=48 and IsDate=1 and ForMatching=1"), "1");

    // Received afterwards: stored with its keys and never listed; a second
    // run lists nothing again.
    connection.ExecuteSQL("insert into ImageTable (InstanceUID, SOPClassUID) values ('1.1.2', '1.2.840.10008.5.1.4.1.1.2')");
    connection.ExecuteSQL("delete from ImageKeysToRead");
    prompter.answers = {true};
    upgrade.updateDatabase();
    EXPECT_EQ(scalar("select count(*) from ImageKeysToRead"), "0");
    EXPECT_EQ(scalar("select count(*) from Fields where FieldName='SOPClassUID'"), "1");
    EXPECT_EQ(log.errorText().toStdString(), "");
}

TEST_F(OldArchive, AtVersionNineTheImageKeysAreAddedAtStartWithoutAQuestion)
{
    // Archives in use are at version 9 already and would never be asked.
    connection.ExecuteSQL("update Configuration set DBVersion='9'");
    log.clearErrors();
    upgrade.CheckSchemaVersion();
    EXPECT_TRUE(prompter.asked.isEmpty());
    EXPECT_EQ(upgradeLines(), QStringList(kImageKeyStatements, "Updated."));
    EXPECT_TRUE(log.logText().contains("The archive has no image key columns yet: adding them."));
    EXPECT_EQ(scalar("select count(*) from ImageKeysToRead"), "1");
    EXPECT_TRUE(log.logText().contains("The archive has no study result status yet: column added."));
    EXPECT_EQ(scalar("select count(*) from StudyTable where ResultStatus is null"), scalar("select count(*) from StudyTable"));
    EXPECT_EQ(scalar("select DBVersion from Configuration"), "9");
    EXPECT_EQ(log.errorText().toStdString(), "");

    log.clearLog();
    upgrade.CheckSchemaVersion();
    EXPECT_TRUE(prompter.asked.isEmpty());
    EXPECT_TRUE(upgradeLines().isEmpty()) << "added once";
}

namespace {

// The columns of the tables and views the keys touch, and the query map.
QStringList archiveShape(ArchiveConnection &c)
{
    QStringList shape;
    for (const char *name : {"ImageTable", "SeriesTable", "StudyTable", "ImageKeysToRead", "IMAGEView", "SERIESView",
                             "STUDYSTUDYView", "STUDYPATIENTView", "PATIENTView", "ImageRetrievalView", "ListView"}) {
        QStringList columns;
        ResultSet rows = c.ExecuteSQL(QString("select name from pragma_table_info('%1')").arg(name));
        for (; !rows.atEnd(); rows.moveNext())
            columns << rows.text(0).toLower();
        columns.sort();
        shape << QString(name) + ": " + columns.join(',');
    }
    ResultSet rows = c.ExecuteSQL("select groupid, elementid, FieldName, fieldsource, FieldMatch, isName, IsDate, ForMatching,"
                                  " PATIENT, STUDYPATIENT, STUDYSTUDY, SERIES, IMAGE from Fields"
                                  " order by groupid, elementid, PATIENT, STUDYPATIENT, STUDYSTUDY, SERIES, IMAGE");
    for (; !rows.atEnd(); rows.moveNext()) {
        QStringList values;
        for (int i = 0; i < 13; ++i)
            values << rows.text(i);
        shape << values.join('|');
    }
    return shape;
}

} // namespace

TEST(InstalledArchive, AnArchiveOfThePreviousInstallationUpgradesToTheShapeOfANewOne)
{
    test::ScratchHome scratch;
    HomeFolder installed{scratch.path("new")};
    HomeFolder previous{scratch.path("old")};
    QString error;
    ASSERT_TRUE(ArchiveInstaller(installed).install(error)) << error.toStdString();

    QDir().mkpath(previous.path());
    QFile script(TALMIR_TEST_DATA_DIR "/archive-before-image-keys.sql");
    ASSERT_TRUE(script.open(QIODevice::ReadOnly));
    {
        SqliteBackend db;
        ASSERT_TRUE(db.openFile(previous.filePath("archive.db"), true, error)) << error.toStdString();
        ASSERT_TRUE(db.executeScript(QString::fromUtf8(script.readAll()), error)) << error.toStdString();
    }
    ASSERT_TRUE(previous.writeText("DBServer.txt", "Driver=SQLite;Database=archive.db\n", error));

    ActivityLog log;
    ScriptedPrompter prompter;
    ArchiveConnection upgraded{previous, log};
    upgraded.ConnectDB();
    ASSERT_TRUE(upgraded.DBConnected()) << log.errorText().toStdString();
    log.clearErrors();
    SchemaUpgrade(upgraded, log, prompter).CheckSchemaVersion();
    EXPECT_TRUE(prompter.asked.isEmpty());
    EXPECT_EQ(log.errorText().toStdString(), "");

    ArchiveConnection fresh{installed, log};
    fresh.ConnectDB();
    ASSERT_TRUE(fresh.DBConnected()) << log.errorText().toStdString();
    log.clearErrors();
    const QStringList shape = archiveShape(fresh);
    EXPECT_TRUE(shape.contains("IMAGEView: imagecolumns,imagerows,instancenumber,numberofframes,patientid,"
                               "seriesinstanceuid,sopclassuid,sopinstanceuid,studyinstanceuid"))
        << shape.join('\n').toStdString();
    EXPECT_EQ(archiveShape(upgraded).join('\n').toStdString(), shape.join('\n').toStdString());
    EXPECT_EQ(log.errorText().toStdString(), "");

    // A new installation has the columns: its start runs no upgrade.
    log.clearLog();
    SchemaUpgrade(fresh, log, prompter).CheckSchemaVersion();
    EXPECT_TRUE(prompter.asked.isEmpty());
    EXPECT_FALSE(log.logText().contains("Updated."));
}

TEST(InstalledArchive, InstanceUidsCompareExactlyAlsoInAnArchiveThatFoldedTheirCase)
{
    test::ScratchHome scratch(test::ScratchHome::Archive::Embedded); // an embedded archive's file
    HomeFolder home{scratch.home()};
    QString error;
    ASSERT_TRUE(ArchiveInstaller(home).install(error)) << error.toStdString();
    {
        // The previous installation: UIDs compared without regard to case.
        SqliteBackend db;
        ASSERT_TRUE(db.openFile(home.filePath("archive.db"), false, error)) << error.toStdString();
        const char *folded =
            "PRAGMA writable_schema=ON;"
            "UPDATE sqlite_master SET sql=replace(sql, 'InstanceUID    varchar(64) COLLATE BINARY', 'InstanceUID    varchar(64) COLLATE NOCASE')"
            " WHERE name='ImageTable';"
            "UPDATE sqlite_master SET sql=replace(sql, 'InstanceUID varchar(64) COLLATE BINARY', 'InstanceUID varchar(64) COLLATE NOCASE')"
            " WHERE name='ImageKeysToRead';"
            "PRAGMA writable_schema=OFF;";
        ASSERT_TRUE(db.executeScript(folded, error)) << error.toStdString();
    }
    ActivityLog log;
    ScriptedPrompter prompter;
    {
        ArchiveConnection c{home, log};
        c.ConnectDB();
        ASSERT_TRUE(c.DBConnected()) << log.errorText().toStdString();
        c.ExecuteSQL("INSERT INTO ImageTable (InstanceUID, SeriesUID_FKey, Filename, SyncStatus) VALUES ('1.2.999.ab', '1.2.9', '/x/a.dcm', '0')");
        c.ExecuteSQL("INSERT INTO ImageKeysToRead (InstanceUID) VALUES ('1.2.999.ab')");
        log.clearErrors();
        c.ExecuteSQL("INSERT INTO ImageTable (InstanceUID) VALUES ('1.2.999.AB')");
        ASSERT_TRUE(log.errorText().contains("UNIQUE")) << "the case folded before the upgrade";
        log.clearErrors();
    }

    ArchiveConnection c{home, log};
    c.ConnectDB();
    SchemaUpgrade upgrade{c, log, prompter};
    upgrade.CheckSchemaVersion();
    EXPECT_TRUE(prompter.asked.isEmpty());
    EXPECT_EQ(log.errorText().toStdString(), "");
    EXPECT_TRUE(log.logText().contains("SOP Instance UIDs in ImageTable compare without regard to case"));
    auto scalar = [&](const QString &sql) {
        ResultSet rows = c.ExecuteSQL(sql);
        return rows.atEnd() ? QStringLiteral("<none>") : rows.text(0);
    };
    // Rows, columns and indexes kept; the version is the one every reader knows.
    EXPECT_EQ(scalar("select Filename || SeriesUID_FKey || SyncStatus from ImageTable where InstanceUID='1.2.999.ab'"), "/x/a.dcm1.2.90");
    EXPECT_EQ(scalar("select count(*) from ImageKeysToRead"), "1");
    EXPECT_EQ(scalar("select count(*) from sqlite_master where name in ('by_SyncStatus', 'ImageTable_SeriesUID_FKey')"), "2");
    EXPECT_EQ(scalar("select DBVersion from Configuration"), "9");
    EXPECT_EQ(scalar("pragma integrity_check"), "ok");

    c.ExecuteSQL("INSERT INTO ImageTable (InstanceUID, SeriesUID_FKey, Filename) VALUES ('1.2.999.AB', '1.2.9', '/x/b.dcm')");
    c.ExecuteSQL("INSERT INTO ImageKeysToRead (InstanceUID) VALUES ('1.2.999.AB')");
    EXPECT_EQ(log.errorText().toStdString(), "");
    EXPECT_EQ(scalar("select Filename from ImageTable where InstanceUID='1.2.999.AB'"), "/x/b.dcm");
    // The query service's match on the view is exact and finds the row by the key.
    EXPECT_EQ(scalar("select count(*) from IMAGEView where SOPInstanceUID LIKE '1.2.999.AB' ESCAPE '\\'"), "1");
    EXPECT_EQ(scalar("select count(*) from ImageTable where InstanceUID IN ('1.2.999.ab')"), "1");
    ResultSet plan = c.ExecuteSQL("explain query plan select SOPInstanceUID from IMAGEView where SOPInstanceUID LIKE '1.2.999.AB' ESCAPE '\\'");
    QStringList steps;
    for (; !plan.atEnd(); plan.moveNext())
        steps << plan.text(3);
    EXPECT_TRUE(steps.join('\n').contains("USING COVERING INDEX sqlite_autoindex_ImageTable_1 (InstanceUID=?)")
                || steps.join('\n').contains("USING INDEX sqlite_autoindex_ImageTable_1 (InstanceUID=?)"))
        << steps.join('\n').toStdString();

    // Once exact, later starts leave the tables alone.
    log.clearLog();
    upgrade.CheckSchemaVersion();
    EXPECT_FALSE(log.logText().contains("rebuilding"));
}
