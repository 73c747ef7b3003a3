#pragma once

#include "tools/BrowseSettings.h"
#include "tools/HostBrowse.h"
#include "tools/HostDatabase.h"

#include <QObject>
#include <QString>

namespace pacs {
class ActivityLog;
class SettingsStore;
namespace db {
class ArchiveConnection;
}
}

namespace pacs::tools {

// The framework's program object: its database service (db), its database
// name, the log every framework user writes to, the staff rights and the
// browse object with newbrowse. newbrowse hands the browse settings to
// whoever shows list windows (browseRequested); without a window side it
// has no effect beyond them.
class HostProgram : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool StaffAllowEdit READ StaffAllowEdit WRITE setStaffAllowEdit)
    Q_PROPERTY(bool StaffAllowDelete READ StaffAllowDelete WRITE setStaffAllowDelete)
public:
    // The framework's own database is the archive.
    static constexpr const char *DatabaseName = "DICOM";

    HostProgram(db::ArchiveConnection &connection, ActivityLog &log, SettingsStore &settings, QObject *parent = nullptr);

    HostDatabase &db() { return m_db; }
    QString Name() const { return QLatin1String(DatabaseName); }
    // A line of the framework's log, which is shown in the activity log.
    void Addlog(const QString &text);

    bool StaffAllowEdit() const { return m_allowEdit; }
    void setStaffAllowEdit(bool allow) { m_allowEdit = allow; }
    bool StaffAllowDelete() const { return m_allowDelete; }
    void setStaffAllowDelete(bool allow) { m_allowDelete = allow; }

    HostBrowse &browse() { return m_browse; }
    void newbrowse();
    // The settings of the list window newbrowse last asked for.
    const BrowseSettings &lastBrowse() const { return m_lastBrowse; }
    // The ListView table: Name + "..ListView".
    QString listViewTable() const { return Name() + QStringLiteral("..ListView"); }
    void registerModule(const QString &module);

signals:
    void browseRequested(const pacs::tools::BrowseSettings &settings);

private:
    ActivityLog &m_log;
    HostDatabase m_db;
    HostBrowse m_browse;
    BrowseSettings m_lastBrowse;
    bool m_allowEdit = false;
    bool m_allowDelete = false;
};

} // namespace pacs::tools
