#pragma once

#include "db/ColumnNameCase.h"
#include "db/ConnectionString.h"
#include "db/NativeRunner.h"
#include "db/TsqlTranslator.h"
#include "db/UpdatableRow.h"

#include <QHash>
#include <QString>
#include <memory>

namespace pacs::db {

// The program's T-SQL on a PostgreSQL server, whatever carries it (libpq or
// ODBC): the translator, the session's settings, the guard of
// "IF [NOT] EXISTS ... BEGIN ... END", rows opened for editing, and result
// columns named as the statement or the schema wrote them (PostgreSQL keeps
// unquoted names in lower case).
class PostgresDialect
{
public:
    using Names = ColumnNameCase;

    explicit PostgresDialect(NativeRunner &runner);

    // The session settings for a connection; its Catalog (DICOM unless
    // given) is the database statements call their own.
    QString sessionSetup(const ConnectionString &connection);
    // Reads the columns the database holds, for the translator.
    void readColumnTypes();

    std::shared_ptr<DbCursor> execute(const QString &statement, QString &error);
    bool fetchForUpdate(const QString &selectStatement, UpdatableRow &row, QString &error);
    bool saveRow(UpdatableRow &row, QString &error);

    // The names a statement's result columns are given back under.
    static Names columnNames(const QString &sql);

private:
    std::shared_ptr<DbCursor> run(const QString &sql, QString &error);

    NativeRunner &m_runner;
    TsqlTranslator m_translator{SqlDialect::PostgreSQL};
};

} // namespace pacs::db
