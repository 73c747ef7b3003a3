#pragma once

#include "db/ResultSet.h"

#include <QSet>
#include <QString>

namespace pacs {
class ActivityLog;
class SettingsStore;
namespace db {
class ArchiveConnection;
}
}

namespace pacs::tools {

class HostTable;
class clsThisClass;

// The framework's database service, over the program's archive connection
// (the framework's own database is the archive). It takes the logon parts
// it is handed, makes module tables, opens tables and statements, and keeps
// module settings, window sizes and module values in the settings store.
class HostDatabase
{
public:
    static constexpr const char *TableSeparator = "..";
    static constexpr const char *WindowSizesSection = "Window Sizes";

    HostDatabase(db::ArchiveConnection &connection, ActivityLog &log, SettingsStore &settings, const QString &databaseName);

    // The logon as InitVorn hands it over.
    QString dbServerName;
    QString DBUser;
    QString dbPassword;
    qint16 DBDriver = 0;
    QString DriverMethod;

    // Opens the archive connection when it is not open, and makes sure the
    // framework's ListView table is there. True when connected.
    bool Connect();
    bool isConnected() const { return m_connected; }
    const QString &databaseName() const { return m_databaseName; }
    QString DBTableSeprator() const { return QLatin1String(TableSeparator); }

    // The framework's database utilities for one module: its stored module
    // version is read and converted when older than the module's, its tables
    // are made, and its list views, window sizes and options get their
    // defaults where it has none. Each step is written to the log. The
    // module object comes back in the argument.
    void ShowDBUtils(clsThisClass *&module);

    // Creates the module's table: "ID" (the key), "Name" and the fields of
    // fieldList (",Name type,Name type..."; types string(n), string, long,
    // integer, single, double, date, boolean, memo). A table that exists is
    // left as it is. False with the reason in error.
    bool MakeTable(const QString &module, const QString &table, const QString &fieldList, QString &error);
    // A module whose "MODULE..Table" names its own tables.
    void registerModule(const QString &module) { m_modules.insert(module.toUpper()); }
    // The table a module table is reached by: "DICOM..MODULE_Table".
    QString moduleTableName(const QString &module, const QString &table) const;

    // A table by name ("DICOM..ListView", "MODULE..Table" for a module
    // table), open for adding rows.
    bool OpenTable(const QString &name, HostTable &table, QString &error);
    // A statement; its rows, or none with the reason in error.
    db::ResultSet OpenTableSQL(const QString &statement, QString &error);

    void SaveModuleSettings(const clsThisClass &module);
    // The module version the framework last stored for a module; 0 when none.
    int storedModuleVersion(const QString &module) const;
    void DefaultSettingsWindowSize(const QString &windowName, int size);
    // A window's stored size (1 small to 4 large); 0 when none is stored.
    int windowSize(const QString &windowName) const;
    void SaveValue(const QString &section, const QString &key, const QString &value);
    QString value(const QString &section, const QString &key) const;

private:
    QString resolve(const QString &name) const;

    db::ArchiveConnection &m_connection;
    ActivityLog &m_log;
    SettingsStore &m_settings;
    QString m_databaseName;
    QSet<QString> m_modules; // upper case: names whose "M..T" means a module table
    bool m_connected = false;
};

} // namespace pacs::tools
