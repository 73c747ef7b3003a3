#include "tools/HostDatabase.h"

#include "core/ActivityLog.h"
#include "core/SettingsStore.h"
#include "db/ArchiveConnection.h"
#include "db/SchemaUpgrade.h"
#include "db/SqlText.h"
#include "tools/HostTable.h"
#include "tools/clsThisClass.h"

#include <QRegularExpression>

namespace pacs::tools {

namespace {
bool isPlainName(const QString &name)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    return plain.match(name).hasMatch();
}

// The framework's field types as the database server spells them.
QString columnType(const QString &type)
{
    static const QRegularExpression sized(QStringLiteral("^string\\((\\d{1,4})\\)$"), QRegularExpression::CaseInsensitiveOption);
    if (const QRegularExpressionMatch m = sized.match(type); m.hasMatch())
        return QStringLiteral("varchar(") + m.captured(1) + QLatin1Char(')');
    const QString t = type.toLower();
    if (t == QLatin1String("string"))
        return QStringLiteral("varchar(255)");
    if (t == QLatin1String("long"))
        return QStringLiteral("int");
    if (t == QLatin1String("integer"))
        return QStringLiteral("smallint");
    if (t == QLatin1String("single"))
        return QStringLiteral("real");
    if (t == QLatin1String("double"))
        return QStringLiteral("float");
    if (t == QLatin1String("date"))
        return QStringLiteral("datetime");
    if (t == QLatin1String("boolean"))
        return QStringLiteral("bit");
    if (t == QLatin1String("memo"))
        return QStringLiteral("text");
    return QString();
}
} // namespace

HostDatabase::HostDatabase(db::ArchiveConnection &connection, ActivityLog &log, SettingsStore &settings,
                           const QString &databaseName)
    : m_connection(connection), m_log(log), m_settings(settings), m_databaseName(databaseName)
{
}

bool HostDatabase::Connect()
{
    if (!m_connection.DBConnected())
        m_connection.ConnectDB();
    m_connected = m_connection.DBConnected() && db::SchemaUpgrade::ensureListViewTable(m_connection, m_log);
    return m_connected;
}

void HostDatabase::ShowDBUtils(clsThisClass *&module)
{
    if (!module)
        return;
    const QString name = module->ModuleName();
    m_modules.insert(name.toUpper());
    m_log.writeLogDirect(QStringLiteral("Database utilities: ") + name + QStringLiteral(" version %1").arg(module->VersionProgram()));
    module->DBVersionDetected = qint16(storedModuleVersion(name));
    if (module->DBVersionDetected < module->DBVersionProgram())
        module->DBConvert();
    module->MakeDB();

    QString error;
    db::ResultSet views = OpenTableSQL(QStringLiteral("select count(*) from ") + m_databaseName + DBTableSeprator()
                                           + QStringLiteral("ListView where ModuleTPX = '") + db::Quote(name) + QLatin1Char('\''),
                                       error);
    if (views.isNone())
        m_log.writeLogDirect(error);
    else if (!views.atEnd() && views.field(0).toInteger() == 0)
        module->DefaultListViews(QString());
    views.close();
    if (windowSize(QStringLiteral("TableName List")) == 0)
        module->DefaultWindowSettings();
    if (value(name + QStringLiteral("Options"), QStringLiteral("Option1")).isEmpty())
        module->DefaultOptions();
    m_log.writeLogDirect(QStringLiteral("Database utilities done: ") + name + QStringLiteral(" at module version %1").arg(module->DBVersionDetected));
}

QString HostDatabase::moduleTableName(const QString &module, const QString &table) const
{
    return m_databaseName + DBTableSeprator() + module + QLatin1Char('_') + table;
}

bool HostDatabase::MakeTable(const QString &module, const QString &table, const QString &fieldList, QString &error)
{
    if (!isPlainName(module) || !isPlainName(table)) {
        error = QStringLiteral("Not a table name: ") + module + QLatin1Char(' ') + table;
        return false;
    }
    QStringList columns{QStringLiteral("[ID] [int] IDENTITY(1,1) NOT NULL"), QStringLiteral("[Name] [varchar](50) NULL")};
    for (const QString &entry : fieldList.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList parts = entry.simplified().split(QLatin1Char(' '));
        if (parts.size() == 1 && parts[0].isEmpty())
            continue;
        const QString type = parts.size() == 2 ? columnType(parts[1]) : QString();
        if (!isPlainName(parts[0]) || type.isEmpty()) {
            error = QStringLiteral("Not a field of the form \"Name type\": ") + entry.simplified();
            return false;
        }
        if (parts[0].compare(QLatin1String("ID"), Qt::CaseInsensitive) == 0
            || parts[0].compare(QLatin1String("Name"), Qt::CaseInsensitive) == 0)
            continue; // every framework table has them already
        columns << QLatin1Char('[') + parts[0] + QStringLiteral("] ") + type + QStringLiteral(" NULL");
    }
    m_modules.insert(module.toUpper());
    const QString name = moduleTableName(module, table);
    QString absent;
    if (m_connection.executeQuiet(QStringLiteral("SELECT * FROM ") + name + QStringLiteral(" WHERE 1=0"), absent)) {
        m_log.writeLogDirect(QStringLiteral("Table exists: ") + name);
        return true;
    }
    const QString create = QStringLiteral("CREATE TABLE ") + name + QStringLiteral("( ") + columns.join(QStringLiteral(", "))
                           + QStringLiteral(" ) ON [PRIMARY]");
    bool failed = false;
    m_connection.ExecuteSQL(create, failed);
    if (failed) {
        error = m_connection.lastError();
        return false;
    }
    m_log.writeLogDirect(QStringLiteral("Table created: ") + name);
    return true;
}

QString HostDatabase::resolve(const QString &name) const
{
    const qsizetype at = name.indexOf(DBTableSeprator());
    if (at > 0 && m_modules.contains(name.left(at).trimmed().toUpper()))
        return moduleTableName(name.left(at).trimmed(), name.mid(at + 2).trimmed());
    return name;
}

bool HostDatabase::OpenTable(const QString &name, HostTable &table, QString &error)
{
    if (table.open(m_connection, resolve(name)))
        return true;
    error = table.error();
    return false;
}

db::ResultSet HostDatabase::OpenTableSQL(const QString &statement, QString &error)
{
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(statement, failed);
    if (rows.isNone())
        error = statement.isEmpty() ? QStringLiteral("No query.") : m_connection.lastError();
    return rows;
}

void HostDatabase::SaveModuleSettings(const clsThisClass &module)
{
    const QString section = module.ModuleName();
    m_settings.write(section, QStringLiteral("VersionProgram"), QString::number(module.VersionProgram()));
    m_settings.write(section, QStringLiteral("DBVersion"), QString::number(module.DBVersionDetected));
}

int HostDatabase::storedModuleVersion(const QString &module) const
{
    return m_settings.read(module, QStringLiteral("DBVersion"), QStringLiteral("0")).toInt();
}

void HostDatabase::DefaultSettingsWindowSize(const QString &windowName, int size)
{
    m_settings.write(QLatin1String(WindowSizesSection), windowName, QString::number(size));
}

int HostDatabase::windowSize(const QString &windowName) const
{
    return m_settings.read(QLatin1String(WindowSizesSection), windowName, QStringLiteral("0")).toInt();
}

void HostDatabase::SaveValue(const QString &section, const QString &key, const QString &value)
{
    m_settings.write(section, key, value);
}

QString HostDatabase::value(const QString &section, const QString &key) const
{
    return m_settings.read(section, key, QString());
}

} // namespace pacs::tools
