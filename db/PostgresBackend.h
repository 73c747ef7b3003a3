#pragma once

#include "db/DbBackend.h"
#include "db/NativeRunner.h"
#include "db/PostgresCursor.h"
#include "db/PostgresDialect.h"

#include <QString>
#include <memory>

struct pg_conn;

namespace pacs::db {

// An archive on a PostgreSQL server, through libpq:
//   Driver=PostgreSQL;Server=host;Uid=pacs;Pwd=secret;Port=5432;Database=dicom
// The archive's tables live in the schema "dicom" and the hospital
// information system's databases in schemas of their own (patient_data,
// build_file, his), so three-part names reach them on the one connection.
// Statements arrive as T-SQL and go through the PostgreSQL dialect.
class PostgresBackend : public DbBackend, private NativeRunner
{
public:
    PostgresBackend();
    ~PostgresBackend() override;

    bool open(const ConnectionString &connection, const QString &homeFolder, QString &error) override;
    void close() override;
    bool isOpen() const override;

    std::shared_ptr<DbCursor> execute(const QString &statement, QString &error) override;
    bool fetchForUpdate(const QString &selectStatement, UpdatableRow &row, QString &error) override;
    bool saveRow(UpdatableRow &row, QString &error) override;
    bool beginTransaction(QString &error) override;
    bool commitTransaction(QString &error) override;
    bool rollbackTransaction(QString &error) override;

    // Runs PostgreSQL's own text, untranslated (several statements may follow
    // one another); null with the server's message on failure.
    std::shared_ptr<PostgresCursor> executeNative(const QString &sql, QString &error);
    // One statement with $1, $2... bound to texts (a null QString is NULL).
    std::shared_ptr<PostgresCursor> executeNative(const QString &sql, const QStringList &parameters, QString &error);

    // libpq's "key=value" form of a connection string. A Server given as a
    // postgresql:// address carries host, port, database and logon itself.
    static QString connectionInfo(const ConnectionString &connection);
    // The same database for a site profile's own connection, in the five
    // items such a file holds, the catalog last:
    //   Driver=PostgreSQL;Server=postgresql://u:p@host:port/db;Uid=;Pwd=;Catalog=HIS
    static QString siteProfileConnection(const ConnectionString &connection, const QString &catalog);

private:
    std::shared_ptr<DbCursor> runNative(const QString &sql, const QStringList &parameters, int &affected,
                                        QString &error) override;
    QString placeholder(int n) const override { return QStringLiteral("$") + QString::number(n); }
    std::shared_ptr<PostgresCursor> run(const QString &sql, const QStringList &parameters, QString &error);

    pg_conn *m_conn = nullptr;
    PostgresDialect m_dialect{*this};
};

} // namespace pacs::db
