#include "tools/HostFramework.h"

#include "core/ActivityLog.h"
#include "db/ArchiveConnection.h"
#include "tools/HostMain.h"
#include "tools/HostProgram.h"
#include "tools/RemoteAets.h"

namespace pacs::tools {

HostFramework::HostFramework(db::ArchiveConnection &connection, ActivityLog &log, SettingsStore &settings, QObject *parent)
    : QObject(parent), m_connection(connection), m_log(log), m_settings(settings)
{
    qRegisterMetaType<pacs::tools::BrowseSettings>();
    setRowCheck(QLatin1String(RemoteAets::Table), &RemoteAets::checkRow);
}

HostFramework::~HostFramework()
{
    m_module.setProgram(nullptr);
}

HostFramework::Logon HostFramework::splitConnectionString(const QString &connectionString)
{
    const QStringList parts = connectionString.split(QLatin1Char(';'));
    // "name=value": the value is everything after the first "=".
    auto valueOf = [&parts](int index) {
        const QString part = parts.value(index);
        return part.mid(part.indexOf(QLatin1Char('=')) + 1);
    };
    return Logon{parts.value(0), valueOf(1), valueOf(2), valueOf(3)};
}

bool HostFramework::InitVorn(QString &error)
{
    if (m_initialised)
        return true;
    if (m_connection.connectionString().isEmpty() && !m_connection.ReadConnectionString(error))
        return false;
    auto program = std::make_unique<HostProgram>(m_connection, m_log, m_settings);
    auto main = std::make_unique<HostMain>();
    ++m_creations;
    const Logon logon = splitConnectionString(m_connection.connectionString());
    HostDatabase &db = program->db();
    db.dbServerName = logon.server;
    db.DBUser = logon.user;
    db.dbPassword = logon.password;
    db.DBDriver = 1;
    db.DriverMethod = logon.driverMethod;
    db.Connect();
    main->setProgram(program.get());
    m_program = std::move(program);
    m_main = std::move(main);
    m_current->setProgram(m_program.get());
    connect(m_program.get(), &HostProgram::browseRequested, this, &HostFramework::browseRequested);
    m_initialised = true;
    return true;
}

bool HostFramework::cmdInitVorn(QString &error)
{
    if (!InitVorn(error))
        return false;
    clsThisClass *module = m_current;
    m_current->Program()->db().ShowDBUtils(module);
    if (module)
        m_current = module;
    return true;
}

bool HostFramework::cmdDefaultListViews(const QString &selector, QString &error)
{
    if (!InitVorn(error))
        return false;
    m_current->DefaultListViews(selector);
    return true;
}

std::unique_ptr<BrowseTableModel> HostFramework::createModel(const BrowseSettings &settings, QObject *parent) const
{
    const QString listViews = m_program ? m_program->listViewTable() : QString();
    return std::make_unique<BrowseTableModel>(m_connection, settings, listViews, m_checks.value(settings.table.toLower()), parent);
}

void HostFramework::setRowCheck(const QString &table, BrowseTableModel::RowCheck check)
{
    m_checks.insert(table.toLower(), std::move(check));
}

} // namespace pacs::tools
