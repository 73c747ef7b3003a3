#pragma once

#include "db/DbBackend.h"
#include "db/NativeRunner.h"
#include "db/PostgresDialect.h"

#include <QString>
#include <memory>

namespace pacs::db {

// An archive reached through an ODBC driver (unixODBC), with the connection
// string handed to the driver unchanged. To SQL Server (FreeTDS's driver,
// Microsoft's) statements go as written: it speaks the program's T-SQL. A
// PostgreSQL driver ("PostgreSQL Unicode") gets them through the PostgreSQL
// dialect, as the libpq back end does:
//   Driver=FreeTDS;Server=host;Port=1433;Database=DICOM;Uid=sa;Pwd=...;TDS_Version=7.4
//   Driver={PostgreSQL Unicode};Server=host;Uid=pacs;Pwd=...;Port=5432;Database=dicom
class OdbcBackend : public DbBackend, private NativeRunner
{
public:
    OdbcBackend();
    ~OdbcBackend() override;

    // A driver name that means ODBC, not one of the built-in back ends.
    static bool isOdbcDriver(const QString &driver);

    bool open(const ConnectionString &connection, const QString &homeFolder, QString &error) override;
    void close() override;
    bool isOpen() const override;

    std::shared_ptr<DbCursor> execute(const QString &statement, QString &error) override;
    bool fetchForUpdate(const QString &selectStatement, UpdatableRow &row, QString &error) override;
    bool saveRow(UpdatableRow &row, QString &error) override;
    bool beginTransaction(QString &error) override;
    bool commitTransaction(QString &error) override;
    bool rollbackTransaction(QString &error) override;

    bool speaksPostgres() const { return m_postgres != nullptr; }

private:
    std::shared_ptr<DbCursor> runNative(const QString &sql, const QStringList &parameters, int &affected,
                                        QString &error) override;
    QString placeholder(int) const override { return QStringLiteral("?"); }
    bool endTransaction(bool commit, QString &error);

    void *m_env = nullptr; // SQLHENV
    void *m_dbc = nullptr; // SQLHDBC
    bool m_connected = false;
    std::unique_ptr<PostgresDialect> m_postgres;
};

} // namespace pacs::db
