#include "db/SchemaUpgrade.h"

#include "core/ActivityLog.h"
#include "core/Prompter.h"
#include "db/ArchiveConnection.h"
#include "db/ArchiveTransaction.h"

#include <QCoreApplication>
#include <QRegularExpression>

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
        UpgradeExactInstanceUids();
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
    UpgradeExactInstanceUids();
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
    RunSchemaStatement(
        QStringLiteral("CREATE TABLE ImageKeysToRead (InstanceUID varchar(64) COLLATE Latin1_General_BIN2 NOT NULL PRIMARY KEY)"),
        failed);
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

namespace {

// The definition of InstanceUID in a CREATE TABLE text: its name, then its
// type and constraints up to the next comma or the closing parenthesis.
const QRegularExpression kInstanceUidDefinition(QStringLiteral("([(,]\\s*[\"\\[`]?InstanceUID[\"\\]`]?\\s+)([^,]*?)(\\s*(,|\\)\\s*$))"),
                                                QRegularExpression::CaseInsensitiveOption);
const QRegularExpression kCollateClause(QStringLiteral("\\s+COLLATE\\s+\"?\\w+\"?"), QRegularExpression::CaseInsensitiveOption);
const QRegularExpression kExactCollation(QStringLiteral("\\bCOLLATE\\s+\"?BINARY\\b"), QRegularExpression::CaseInsensitiveOption);

} // namespace

QString SchemaUpgrade::instanceUidTableSql(const QString &table)
{
    QString error;
    // Only the embedded back end keeps its schema in sqlite_master.
    if (!m_connection.executeQuiet(QStringLiteral("SELECT 1 FROM sqlite_master WHERE 1=0"), error))
        return QString();
    bool failed = false;
    ResultSet rows = m_connection.ExecuteSQL(QStringLiteral("SELECT sql FROM sqlite_master WHERE type='table' AND lower(name)='")
                                                 + table.toLower() + QLatin1Char('\''),
                                             failed);
    if (rows.isNone() || rows.atEnd())
        return QString();
    const QString sql = rows.text(0);
    rows.close();
    return sql;
}

bool SchemaUpgrade::rebuildWithExactInstanceUid(const QString &table, const QString &createSql)
{
    const QRegularExpressionMatch definition = kInstanceUidDefinition.match(createSql);
    if (!definition.hasMatch())
        return true; // no such column: nothing compares it
    if (kExactCollation.match(definition.captured(2)).hasMatch())
        return true;
    QString columnDefinition = definition.captured(2);
    columnDefinition.remove(kCollateClause);
    // The type first ("varchar(64)"), then the collation, then the constraints.
    const QRegularExpression type(QStringLiteral("^(\\w+(\\s*\\([^)]*\\))?)"));
    const QRegularExpressionMatch typeMatch = type.match(columnDefinition);
    const qsizetype typeEnd = typeMatch.hasMatch() ? typeMatch.capturedEnd(0) : 0;
    columnDefinition.insert(typeEnd, QStringLiteral(" COLLATE Latin1_General_BIN2"));

    const QString rebuilt = table + QStringLiteral("_exact");
    QString create = createSql.left(definition.capturedStart(2)) + columnDefinition + createSql.mid(definition.capturedEnd(2));
    create.replace(QRegularExpression(QStringLiteral("^\\s*CREATE\\s+TABLE\\s+(IF\\s+NOT\\s+EXISTS\\s+)?(\"[^\"]+\"|\\[[^\\]]+\\]|`[^`]+`|\\w+)"),
                                      QRegularExpression::CaseInsensitiveOption),
                   QStringLiteral("CREATE TABLE ") + rebuilt);

    // The indexes and triggers go with the old table; they are made again.
    QStringList companions;
    QString error;
    bool failed = false;
    ResultSet rows = m_connection.ExecuteSQL(QStringLiteral("SELECT sql FROM sqlite_master WHERE type IN ('index','trigger') "
                                                            "AND sql IS NOT NULL AND lower(tbl_name)='")
                                                 + table.toLower() + QLatin1Char('\''),
                                             failed);
    if (rows.isNone())
        return false;
    for (; !rows.atEnd(); rows.moveNext())
        companions << rows.text(0);
    rows.close();

    // Views name the table by its text and find the rebuilt one under the
    // old name; the legacy rename leaves them as they are.
    QStringList statements{create,
                           QStringLiteral("INSERT INTO ") + rebuilt + QStringLiteral(" SELECT * FROM ") + table,
                           QStringLiteral("DROP TABLE ") + table,
                           QStringLiteral("PRAGMA legacy_alter_table=ON"),
                           QStringLiteral("ALTER TABLE ") + rebuilt + QStringLiteral(" RENAME TO ") + table,
                           QStringLiteral("PRAGMA legacy_alter_table=OFF")};
    statements << companions;
    bool done = false;
    {
        ArchiveTransaction transaction(m_connection);
        if (!transaction.isOpen())
            return false;
        for (const QString &statement : statements) {
            m_connection.ExecuteSQL(statement, failed);
            if (failed)
                break;
        }
        done = !failed && transaction.commit();
    }
    if (!done) // the rename's mode is the connection's, not the transaction's
        m_connection.executeQuiet(QStringLiteral("PRAGMA legacy_alter_table=OFF"), error);
    return done;
}

void SchemaUpgrade::UpgradeExactInstanceUids()
{
    for (const QString table : {QStringLiteral("ImageTable"), QStringLiteral("ImageKeysToRead")}) {
        const QString sql = instanceUidTableSql(table);
        if (sql.isEmpty())
            continue;
        const QRegularExpressionMatch definition = kInstanceUidDefinition.match(sql);
        if (!definition.hasMatch() || kExactCollation.match(definition.captured(2)).hasMatch())
            continue;
        m_log.WriteLog(QStringLiteral("SOP Instance UIDs in ") + table
                       + QStringLiteral(" compare without regard to case: rebuilding the table so they compare exactly."));
        if (rebuildWithExactInstanceUid(table, sql))
            m_log.WriteLog(table + QStringLiteral(" rebuilt: its SOP Instance UIDs compare exactly."));
        else
            m_log.ReportError(QStringLiteral("The table ") + table
                                  + QStringLiteral(" could not be rebuilt; its SOP Instance UIDs still compare without regard to case."),
                              false);
    }
}

} // namespace pacs::db
