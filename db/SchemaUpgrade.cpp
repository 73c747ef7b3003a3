#include "db/SchemaUpgrade.h"

#include "core/ActivityLog.h"
#include "core/Prompter.h"
#include "db/ArchiveConnection.h"

#include <QCoreApplication>

namespace pacs::db {

namespace {
const QString kAddVersionColumn = QStringLiteral("ALTER TABLE [Configuration] ADD DBVersion varchar(20)");

// The query views of the image and series levels with the key columns.
const char *kImageView =
    "CREATE VIEW IMAGEView AS "
    "SELECT im.InstanceUID AS SOPInstanceUID, im.InstanceNumber AS InstanceNumber, "
    "im.SOPClassUID AS SOPClassUID, im.NumberOfFrames AS NumberOfFrames, "
    "im.ImageRows AS ImageRows, im.ImageColumns AS ImageColumns, "
    "im.SeriesUID_FKey AS SeriesInstanceUID, se.StudyUID_FKey AS StudyInstanceUID, "
    "st.PatientID_FKey AS PatientID "
    "FROM ImageTable im "
    "LEFT JOIN SeriesTable se ON se.SeriesUID = im.SeriesUID_FKey "
    "LEFT JOIN StudyTable st ON st.StudyUID = se.StudyUID_FKey";
const char *kSeriesView =
    "CREATE VIEW SERIESView AS "
    "SELECT se.SeriesUID AS SeriesInstanceUID, se.Modality AS Modality, se.SeriesNumber AS SERIESNumber, "
    "se.SeriesDescription AS SeriesDescription, se.SeriesDate AS SeriesDate, "
    "se.BodyPartExamined AS BodyPartExamined, se.StudyUID_FKey AS StudyInstanceUID, "
    "st.PatientID_FKey AS PatientID, "
    "(SELECT count(*) FROM ImageTable im WHERE im.SeriesUID_FKey = se.SeriesUID) AS NumberOfSeriesRelatedInstances "
    "FROM SeriesTable se LEFT JOIN StudyTable st ON st.StudyUID = se.StudyUID_FKey";
const char *kFieldsRows =
    "INSERT INTO Fields (groupid, elementid, FieldName, fieldsource, FieldMatch, isName, IsDate, ForMatching, "
    "PATIENT, STUDYPATIENT, STUDYSTUDY, SERIES, IMAGE) VALUES "
    "(8, 22, 'SOPClassUID', 'SOPClassUID', NULL, 0, 0, 1, 0, 0, 0, 0, 1), "
    "(40, 8, 'NumberOfFrames', 'NumberOfFrames', NULL, 0, 0, 1, 0, 0, 0, 0, 1), "
    "(40, 16, 'ImageRows', 'ImageRows', NULL, 0, 0, 1, 0, 0, 0, 0, 1), "
    "(40, 17, 'ImageColumns', 'ImageColumns', NULL, 0, 0, 1, 0, 0, 0, 0, 1), "
    "(8, 33, 'SeriesDate', 'SeriesDate', NULL, 0, 1, 1, 0, 0, 0, 1, 0), "
    "(24, 21, 'BodyPartExamined', 'BodyPartExamined', NULL, 0, 0, 1, 0, 0, 0, 1, 0)";
} // namespace

SchemaUpgrade::SchemaUpgrade(ArchiveConnection &connection, ActivityLog &log, Prompter &prompter)
    : m_connection(connection), m_log(log), m_prompter(prompter)
{
}

SchemaUpgrade::Check SchemaUpgrade::checkOnce()
{
    bool failed = false;
    ResultSet rows = m_connection.ExecuteSQL(QStringLiteral("select * from [DICOM].[dbo].[Configuration]"), failed);
    if (rows.isNone())
        return Check::Failed;
    QString version;
    if (!rows.atEnd()) {
        if (!rows.hasField(QStringLiteral("DBVersion"))) {
            rows.close();
            return Check::Failed;
        }
        version = rows.text(QStringLiteral("DBVersion"));
    }
    rows.close();
    // Versions compare as texts, character by character ("10" before "9").
    if (version.compare(QLatin1String(SchemaVersion)) >= 0) {
        // Archives already at this version predate the image key columns,
        // which every image row now names: add them without asking, the
        // statements are quick and the files are read in the background.
        if (!hasImageKeyColumns()) {
            m_log.WriteLog(QStringLiteral("The archive has no image key columns yet: adding them."));
            UpgradeImageKeys();
        }
        addStudyResultStatus();
        ensureListViewTable(m_connection, m_log);
        return Check::UpToDate;
    }
    m_connection.ExecuteSQL(kAddVersionColumn);
    if (m_prompter.askYesNo(QStringLiteral("Database needs to be updated, do you wish to update?")))
        updateDatabase();
    addStudyResultStatus();
    ensureListViewTable(m_connection, m_log);
    return Check::Asked;
}

void SchemaUpgrade::CheckSchemaVersion()
{
    while (checkOnce() == Check::Failed) {
        m_connection.ExecuteSQL(kAddVersionColumn);
        if (!m_prompter.askYesNo(QStringLiteral("Load Configuration")))
            return;
    }
}

void SchemaUpgrade::updateDatabase()
{
    if (!m_prompter.askYesNo(QStringLiteral(
            "Your database will be updated. This may take a while, please wait till operation completes.  Continue?")))
        return;
    bool failed = false;
    RunSchemaStatement(QStringLiteral("ALTER TABLE StudyTable ADD BodyPartExamined  varchar(100) "), failed);
    RunSchemaStatement(QStringLiteral("ALTER TABLE StudyTable ADD ProtocolName  varchar(100)"), failed);
    RunSchemaStatement(QStringLiteral("alter table build_file.dbo.tbcodoctor add email varchar(50) null"), failed);
    UpgradeSyncStatus();
    RunSchemaStatement(QStringLiteral("ALTER TABLE StudyTable ADD InstitutionName varchar(100)"), failed);
    RunSchemaStatement(QStringLiteral(" CREATE TABLE [dbo].[InstitutionTable]( ") + QStringLiteral(" [ID] [bigint] IDENTITY(1,1) NOT NULL, ")
                           + QStringLiteral(" [Name] [varchar](50) NULL ") + QStringLiteral(" ) ON [PRIMARY] "),
                       failed);
    UpgradeImageKeys();
    RunSchemaStatement(QStringLiteral("update Configuration set DBVersion='") + QLatin1String(SchemaVersion) + QStringLiteral("'"), failed);
    m_prompter.inform(QStringLiteral("Update Complete."));
}

void SchemaUpgrade::RunSchemaStatement(const QString &statement, bool &failed)
{
    if (statement.isEmpty()) {
        m_log.ReportError(QStringLiteral("No query."), false);
        return;
    }
    QString error;
    if (m_connection.executeQuiet(statement, error)) {
        failed = false;
        m_log.WriteLog(QStringLiteral("Updated."));
        QCoreApplication::processEvents();
    } else {
        failed = true;
        m_log.WriteLog(QStringLiteral("Update already done."));
    }
}

void SchemaUpgrade::UpgradeSyncStatus()
{
    bool failed = false;
    RunSchemaStatement(QStringLiteral("ALTER TABLE StudyTable ADD SendStatus varchar(3)"), failed);
    QCoreApplication::processEvents();
    if (failed)
        return;
    // Everything archived before the upgrade counts as forwarded already.
    RunSchemaStatement(QStringLiteral("ALTER TABLE ImageTable ADD SyncStatus varchar(1)"), failed);
    RunSchemaStatement(QStringLiteral("CREATE INDEX [by_SyncStatus] ON DICOM..ImageTable (SyncStatus)"), failed);
    RunSchemaStatement(QStringLiteral("update DICOM..ImageTable set SyncStatus='1'"), failed);
    RunSchemaStatement(QStringLiteral("update DICOM..StudyTable set SendStatus='1'"), failed);
}

bool SchemaUpgrade::hasImageKeyColumns()
{
    QString error;
    return m_connection.executeQuiet(QStringLiteral("SELECT SOPClassUID FROM ImageTable WHERE 1=0"), error);
}

// The study list shows and filters the result status the reporting side
// writes into StudyTable; archives installed without the column get it.
void SchemaUpgrade::addStudyResultStatus()
{
    QString error;
    if (m_connection.executeQuiet(QStringLiteral("SELECT ResultStatus FROM StudyTable WHERE 1=0"), error))
        return;
    if (m_connection.executeQuiet(QStringLiteral("ALTER TABLE StudyTable ADD ResultStatus varchar(20)"), error))
        m_log.WriteLog(QStringLiteral("The archive has no study result status yet: column added."));
}

bool SchemaUpgrade::ensureListViewTable(ArchiveConnection &connection, ActivityLog &log)
{
    QString error;
    if (connection.executeQuiet(QStringLiteral("SELECT * FROM DICOM..ListView WHERE 1=0"), error))
        return true;
    const QString create = QStringLiteral("CREATE TABLE [dbo].[ListView]( [ID] [int] IDENTITY(1,1) NOT NULL, "
                                          "[TableName] [varchar](100) NULL, [ModuleTPX] [varchar](50) NULL, "
                                          "[ViewName] [varchar](50) NULL, [FieldList] [varchar](2000) NULL, "
                                          "[FieldSizes] [varchar](500) NULL ) ON [PRIMARY]");
    if (!connection.executeQuiet(create, error)
        || !connection.executeQuiet(QStringLiteral("CREATE INDEX [ListView_ViewName] ON DICOM..ListView (ViewName)"), error)) {
        log.ReportError(QStringLiteral("The list view table could not be created: ") + error, false);
        return false;
    }
    log.WriteLog(QStringLiteral("The archive has no list view table yet: table created."));
    return true;
}

void SchemaUpgrade::UpgradeImageKeys()
{
    bool failed = false;
    RunSchemaStatement(QStringLiteral("ALTER TABLE ImageTable ADD SOPClassUID varchar(64)"), failed);
    QCoreApplication::processEvents();
    if (failed)
        return;
    RunSchemaStatement(QStringLiteral("ALTER TABLE ImageTable ADD NumberOfFrames int"), failed);
    RunSchemaStatement(QStringLiteral("ALTER TABLE ImageTable ADD ImageRows int"), failed);
    RunSchemaStatement(QStringLiteral("ALTER TABLE ImageTable ADD ImageColumns int"), failed);
    RunSchemaStatement(QStringLiteral("ALTER TABLE SeriesTable ADD SeriesDate datetime"), failed);
    RunSchemaStatement(QStringLiteral("ALTER TABLE SeriesTable ADD BodyPartExamined varchar(100)"), failed);
    // Every image archived so far has its keys only in its file. Reading a
    // million files takes longer than a start may, so the upgrade only lists
    // them; the server reads them while it runs.
    RunSchemaStatement(QStringLiteral("CREATE TABLE ImageKeysToRead (InstanceUID varchar(64) NOT NULL PRIMARY KEY)"), failed);
    RunSchemaStatement(QStringLiteral("INSERT INTO ImageKeysToRead (InstanceUID) SELECT DISTINCT InstanceUID FROM ImageTable "
                                      "WHERE InstanceUID IS NOT NULL"),
                       failed);
    RunSchemaStatement(QStringLiteral("DROP VIEW IMAGEView"), failed);
    RunSchemaStatement(QLatin1String(kImageView), failed);
    RunSchemaStatement(QStringLiteral("DROP VIEW SERIESView"), failed);
    RunSchemaStatement(QLatin1String(kSeriesView), failed);
    RunSchemaStatement(QLatin1String(kFieldsRows), failed);
    // Study Time is matched as a time range from now on.
    RunSchemaStatement(QStringLiteral("UPDATE Fields SET IsDate=1, ForMatching=1 WHERE groupid=8 AND elementid=48"), failed);
}

} // namespace pacs::db
