#include "tools/HostProgram.h"

#include "core/ActivityLog.h"

namespace pacs::tools {

HostProgram::HostProgram(db::ArchiveConnection &connection, ActivityLog &log, SettingsStore &settings, QObject *parent)
    : QObject(parent), m_log(log), m_db(connection, log, settings, QLatin1String(DatabaseName)), m_browse(*this)
{
}

// The framework's log is its own: it shows whatever "Enable Log" says.
void HostProgram::Addlog(const QString &text)
{
    m_log.writeLogDirect(text);
}

void HostProgram::registerModule(const QString &module)
{
    m_db.registerModule(module);
}

void HostProgram::newbrowse()
{
    m_lastBrowse = m_browse.settings();
    m_lastBrowse.staffAllowEdit = m_allowEdit;
    m_lastBrowse.staffAllowDelete = m_allowDelete;
    emit browseRequested(m_lastBrowse);
}

} // namespace pacs::tools
