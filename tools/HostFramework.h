#pragma once

#include "tools/BrowseSettings.h"
#include "tools/BrowseTableModel.h"
#include "tools/clsThisClass.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <memory>

namespace pacs {
class ActivityLog;
class SettingsStore;
namespace db {
class ArchiveConnection;
}
}

namespace pacs::tools {

class HostMain;
class HostProgram;

// The program's side of the host framework: the module class (one for the
// whole run), InitVorn, which creates the framework's program and main
// objects once and hands them the logon, and the two maintenance commands.
// List windows are shown by whoever listens to browseRequested (the window
// side builds a model with createModel); headless nobody does.
class HostFramework : public QObject
{
    Q_OBJECT
public:
    HostFramework(db::ArchiveConnection &connection, ActivityLog &log, SettingsStore &settings, QObject *parent = nullptr);
    ~HostFramework() override;

    // Creates the framework objects and hands them the logon parts of the
    // connection string, once per run; a failure leaves it to the next call.
    bool InitVorn(QString &error);
    bool isInitialised() const { return m_initialised; }
    // How many times the framework objects were created (once per run).
    int creations() const { return m_creations; }

    // Null before InitVorn.
    HostProgram *program() const { return m_program.get(); }
    HostMain *main() const { return m_main.get(); }
    clsThisClass &module() { return *m_current; }

    // "INIT VORN": the framework set up, then its database utilities for this module.
    bool cmdInitVorn(QString &error);
    // "Default List Views": DefaultListViews of the module with the selector.
    bool cmdDefaultListViews(const QString &selector, QString &error);

    // The model of a list window the settings describe, with the checks the
    // program has for that table.
    std::unique_ptr<BrowseTableModel> createModel(const BrowseSettings &settings, QObject *parent = nullptr) const;
    void setRowCheck(const QString &table, BrowseTableModel::RowCheck check);

    // The logon parts as InitVorn reads them from a connection string:
    // part 1 whole, then the values of parts 2, 3 and 4.
    struct Logon
    {
        QString driverMethod, server, user, password;
    };
    static Logon splitConnectionString(const QString &connectionString);

signals:
    void browseRequested(const pacs::tools::BrowseSettings &settings);

private:
    db::ArchiveConnection &m_connection;
    ActivityLog &m_log;
    SettingsStore &m_settings;
    clsThisClass m_module;
    clsThisClass *m_current = &m_module;
    std::unique_ptr<HostProgram> m_program;
    std::unique_ptr<HostMain> m_main;
    QHash<QString, BrowseTableModel::RowCheck> m_checks; // by table, lower case
    bool m_initialised = false;
    int m_creations = 0;
};

} // namespace pacs::tools
