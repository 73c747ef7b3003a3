#include "SchemaUpgrade.h"

#include "ActivityLog.h"
#include "ArchiveConnection.h"
#include "Prompter.h"

#include <QCoreApplication>

namespace pacs::db {

namespace {
const QString kAddVersionColumn = QStringLiteral("ALTER TABLE [Configuration] ADD DBVersion varchar(20)");
}

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
    if (version.compare(QLatin1String(SchemaVersion)) >= 0)
        return Check::UpToDate;
    m_connection.ExecuteSQL(kAddVersionColumn);
    if (m_prompter.askYesNo(QStringLiteral("Database needs to be updated, do you wish to update?")))
        updateDatabase();
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

} // namespace pacs::db
