#include "db/DbBackend.h"

#include "db/OdbcBackend.h"
#include "db/PostgresBackend.h"
#include "db/SqliteBackend.h"

namespace pacs::db {

std::unique_ptr<DbBackend> DbBackend::create(const ConnectionString &connection, QString &error)
{
    const QString driver = connection.driver();
    if (driver.compare(QLatin1String("SQLite"), Qt::CaseInsensitive) == 0
        || driver.compare(QLatin1String("SQLite3"), Qt::CaseInsensitive) == 0)
        return std::make_unique<SqliteBackend>();
    if (driver.compare(QLatin1String("PostgreSQL"), Qt::CaseInsensitive) == 0)
        return std::make_unique<PostgresBackend>();
    if (OdbcBackend::isOdbcDriver(driver))
        return std::make_unique<OdbcBackend>();
    if (driver.isEmpty())
        error = QStringLiteral("The connection string names no Driver: ") + connection.text();
    else
        error = QStringLiteral("Unknown database driver: ") + driver;
    return nullptr;
}

} // namespace pacs::db
