#include "dicom/HisFeedback.h"

#include "core/ActivityLog.h"
#include "core/HomeFolder.h"
#include "core/Prompter.h"
#include "db/DbBackend.h"
#include "db/SqlText.h"
#include "dicom/toolkit/ToolkitImage.h"

namespace pacs {

using Profile = ServerOptions::SiteProfile;

HisFeedback::HisFeedback(const HomeFolder &home, ActivityLog &log, ServerOptions &options)
    : m_home(home), m_log(log), m_options(options)
{
}

HisFeedback::~HisFeedback() = default;

bool HisFeedback::isConnected() const
{
    return m_connection && m_connection->isOpen();
}

QString HisFeedback::catalogName(const QString &connectionString)
{
    QString rest = connectionString;
    for (int i = 0; i < 4; ++i)
        db::NextToken(rest, QStringLiteral(";"));
    db::NextToken(rest, QStringLiteral("="));
    return db::NextToken(rest, QStringLiteral("="));
}

void HisFeedback::LoadCustomDB(Prompter *prompter)
{
    // A connection left from a profile chosen before is closed first, so no
    // feedback of the new profile goes to the old one's HIS.
    if (m_connection)
        m_connection->close();
    m_connection.reset();
    m_connectionString.clear();
    m_customDbName.clear();
    QString file;
    switch (m_options.siteProfile()) {
    case Profile::ORVIK: file = QStringLiteral("ORVIK.txt"); break;
    case Profile::Tessmark: file = QStringLiteral("TESSMARK.txt"); break;
    case Profile::Brackmoor: file = QStringLiteral("BRACKMOOR.txt"); break;
    default: return; // Quillstad, None, no profile: no HIS connection
    }
    QString error;
    if (!m_home.readFirstLine(file, m_connectionString, error)) {
        m_connectionString.clear();
        if (prompter)
            prompter->inform(error);
        return;
    }
    ReconnectCustomDb();
    if (m_options.siteProfile() == Profile::ORVIK)
        m_customDbName = catalogName(m_connectionString);
}

void HisFeedback::ReconnectCustomDb()
{
    if (m_connection)
        m_connection->close();
    QString error;
    const db::ConnectionString connection(m_connectionString);
    m_connection = db::DbBackend::create(connection, error);
    if (!m_connection || !m_connection->open(connection, m_home.path(), error)) {
        m_connection.reset();
        m_log.WriteLog(QStringLiteral("Cannot Connect. ") + error);
    }
}

void HisFeedback::NotifyHisOrder(const toolkit::ToolkitImage &image)
{
    const QVariant accession = image.attributeSet().findAttribute(0x08, 0x50).attributeValue();
    const bool absent = !accession.isValid() || accession.isNull();
    const QString number = absent ? QString() : accession.toString();
    if (!absent && number.isEmpty())
        return;
    QString statement;
    switch (m_options.siteProfile()) {
    case Profile::ORVIK:
        statement = QStringLiteral("update ") + m_customDbName + QStringLiteral(".dbo.hdocOrd set estatus = 'S' where requestnum = '")
                    + db::Quote(number) + QStringLiteral("'");
        break;
    case Profile::Brackmoor:
        statement = QStringLiteral("update worksheet set status = 1 where qnumber = '") + db::Quote(number) + QStringLiteral("'");
        break;
    default:
        return;
    }
    QString error;
    auto result = m_connection ? m_connection->execute(statement, error) : nullptr;
    if (!result) {
        m_log.ReportError(QStringLiteral("Cannot update custom DB. Reconnecting..."), false);
        ReconnectCustomDb();
        return;
    }
    result->close();
}

} // namespace pacs
