#include "db/OdbcBackend.h"

#include "db/OdbcCursor.h"

#include <QRegularExpression>
#include <sql.h>
#include <sqlext.h>
#include <vector>

namespace pacs::db {

namespace {

// SQLWCHAR is 16 bits in unixODBC, as QString's code units are.
static_assert(sizeof(SQLWCHAR) == sizeof(char16_t));

const SQLWCHAR *wide(const QString &text)
{
    return reinterpret_cast<const SQLWCHAR *>(text.utf16());
}

// The driver's diagnostics of a handle, on one line.
QString diagnostics(SQLSMALLINT type, SQLHANDLE handle)
{
    QStringList messages;
    for (SQLSMALLINT i = 1; i < 10; ++i) {
        SQLWCHAR state[6] = {};
        SQLWCHAR text[1024] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        if (!SQL_SUCCEEDED(SQLGetDiagRecW(type, handle, i, state, &native, text, SQLSMALLINT(std::size(text)), &length)))
            break;
        messages << QString::fromUtf16(reinterpret_cast<const char16_t *>(text)).simplified();
    }
    return messages.isEmpty() ? QStringLiteral("The ODBC driver gave no message.") : messages.join(QLatin1Char(' '));
}

bool isNumberType(SQLSMALLINT type)
{
    return type == SQL_INTEGER || type == SQL_SMALLINT || type == SQL_TINYINT || type == SQL_BIGINT || type == SQL_BIT;
}

bool isRealType(SQLSMALLINT type)
{
    return type == SQL_REAL || type == SQL_FLOAT || type == SQL_DOUBLE || type == SQL_NUMERIC || type == SQL_DECIMAL;
}

bool isDateType(SQLSMALLINT type)
{
    return type == SQL_TYPE_TIMESTAMP || type == SQL_TYPE_DATE || type == SQL_TYPE_TIME || type == SQL_TIMESTAMP
           || type == SQL_DATE || type == SQL_TIME;
}

// One field as text, read in pieces as long as the driver has more.
bool readText(SQLHSTMT stmt, SQLUSMALLINT column, QString &text, bool &null)
{
    text.clear();
    null = false;
    std::vector<SQLWCHAR> buffer(4096);
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(stmt, column, SQL_C_WCHAR, buffer.data(), SQLLEN(buffer.size() * sizeof(SQLWCHAR)), &indicator);
        if (rc == SQL_NO_DATA)
            return true;
        if (!SQL_SUCCEEDED(rc))
            return false;
        if (indicator == SQL_NULL_DATA) {
            null = true;
            return true;
        }
        text += QString::fromUtf16(reinterpret_cast<const char16_t *>(buffer.data()));
        if (rc == SQL_SUCCESS)
            return true;
    }
}

// Whether the driver manager has a driver of that name installed (or the
// name is the driver library's own path).
bool knownDriver(SQLHENV env, QString name)
{
    if (name.startsWith(QLatin1Char('{')) && name.endsWith(QLatin1Char('}')))
        name = name.mid(1, name.size() - 2);
    if (name.contains(QLatin1Char('/')))
        return true;
    SQLWCHAR description[256];
    SQLWCHAR attributes[1024];
    SQLSMALLINT descriptionLength = 0, attributesLength = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (SQL_SUCCEEDED(SQLDriversW(env, direction, description, SQLSMALLINT(std::size(description)), &descriptionLength,
                                     attributes, SQLSMALLINT(std::size(attributes)), &attributesLength))) {
        if (QString::fromUtf16(reinterpret_cast<const char16_t *>(description)).compare(name, Qt::CaseInsensitive) == 0)
            return true;
        direction = SQL_FETCH_NEXT;
    }
    return false;
}

QString bracketed(const QString &name)
{
    return QLatin1Char('[') + QString(name).replace(QLatin1Char(']'), QLatin1String("]]")) + QLatin1Char(']');
}

} // namespace

OdbcBackend::OdbcBackend() = default;

OdbcBackend::~OdbcBackend()
{
    close();
    if (m_env)
        SQLFreeHandle(SQL_HANDLE_ENV, m_env);
}

bool OdbcBackend::isOdbcDriver(const QString &driver)
{
    // Anything an ODBC driver manager knows: {braced names}, FreeTDS, "SQL Server", a DSN.
    return !driver.isEmpty() && driver.compare(QLatin1String("SQLite"), Qt::CaseInsensitive) != 0
           && driver.compare(QLatin1String("SQLite3"), Qt::CaseInsensitive) != 0
           && driver.compare(QLatin1String("PostgreSQL"), Qt::CaseInsensitive) != 0;
}

bool OdbcBackend::open(const ConnectionString &connection, const QString &, QString &error)
{
    close();
    if (!m_env) {
        SQLHENV env = nullptr;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
            error = QStringLiteral("The ODBC driver manager cannot be used.");
            return false;
        }
        SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        m_env = env;
    }
    SQLHDBC dbc = nullptr;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, m_env, &dbc))) {
        error = diagnostics(SQL_HANDLE_ENV, m_env);
        return false;
    }
    m_dbc = dbc;
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(10), 0);
    const QString text = connection.text();
    SQLWCHAR completed[1024];
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(SQLDriverConnectW(dbc, nullptr, const_cast<SQLWCHAR *>(wide(text)), SQL_NTS, completed,
                                         SQLSMALLINT(std::size(completed)), &length, SQL_DRIVER_NOPROMPT))) {
        error = diagnostics(SQL_HANDLE_DBC, dbc);
        if (!knownDriver(m_env, connection.driver()))
            error = QStringLiteral("Unknown database driver: ") + connection.driver() + QStringLiteral(" (") + error + QLatin1Char(')');
        close();
        return false;
    }
    m_connected = true;
    if (connection.driver().contains(QLatin1String("PostgreSQL"), Qt::CaseInsensitive)) {
        m_postgres = std::make_unique<PostgresDialect>(static_cast<NativeRunner &>(*this));
        int affected = 0;
        if (!runNative(m_postgres->sessionSetup(connection), {}, affected, error)) {
            close();
            return false;
        }
        m_postgres->readColumnTypes();
    }
    return true;
}

void OdbcBackend::close()
{
    if (m_dbc) {
        if (m_connected)
            SQLDisconnect(m_dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
    }
    m_dbc = nullptr;
    m_connected = false;
    m_postgres.reset();
}

bool OdbcBackend::isOpen() const
{
    if (!m_connected)
        return false;
    SQLUINTEGER dead = SQL_CD_FALSE;
    SQLGetConnectAttr(m_dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
    return dead != SQL_CD_TRUE;
}

std::shared_ptr<DbCursor> OdbcBackend::runNative(const QString &sql, const QStringList &parameters, int &affected, QString &error)
{
    affected = 0;
    if (!m_connected) {
        error = QStringLiteral("Not connected to the database.");
        return nullptr;
    }
    if (sql.trimmed().isEmpty())
        return std::make_shared<OdbcCursor>();
    SQLHSTMT stmt = nullptr;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, m_dbc, &stmt))) {
        error = diagnostics(SQL_HANDLE_DBC, m_dbc);
        return nullptr;
    }
    std::unique_ptr<void, void (*)(void *)> guard(stmt, [](void *h) { SQLFreeHandle(SQL_HANDLE_STMT, h); });
    std::vector<QString> values(parameters.begin(), parameters.end());
    std::vector<SQLLEN> lengths(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        const bool null = values[i].isNull();
        lengths[i] = null ? SQL_NULL_DATA : SQLLEN(values[i].size() * sizeof(SQLWCHAR));
        const SQLULEN size = SQLULEN(qMax<qsizetype>(values[i].size(), 1));
        if (!SQL_SUCCEEDED(SQLBindParameter(stmt, SQLUSMALLINT(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, size, 0,
                                            null ? nullptr : const_cast<SQLWCHAR *>(wide(values[i])), lengths[i], &lengths[i]))) {
            error = diagnostics(SQL_HANDLE_STMT, stmt);
            return nullptr;
        }
    }
    const SQLRETURN rc = SQLExecDirectW(stmt, const_cast<SQLWCHAR *>(wide(sql)), SQL_NTS);
    if (rc != SQL_NO_DATA && !SQL_SUCCEEDED(rc)) {
        error = diagnostics(SQL_HANDLE_STMT, stmt);
        return nullptr;
    }
    // The first result that has columns; a batch's counts before it are skipped.
    for (;;) {
        SQLSMALLINT columns = 0;
        SQLNumResultCols(stmt, &columns);
        if (columns > 0) {
            const PostgresDialect::Names names = m_postgres ? PostgresDialect::columnNames(sql) : PostgresDialect::Names();
            QStringList columnNames;
            QList<SQLSMALLINT> types;
            for (SQLUSMALLINT c = 1; c <= SQLUSMALLINT(columns); ++c) {
                SQLWCHAR name[256] = {};
                SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
                SQLULEN size = 0;
                SQLDescribeColW(stmt, c, name, SQLSMALLINT(std::size(name)), &nameLength, &type, &size, &digits, &nullable);
                const QString n = QString::fromUtf16(reinterpret_cast<const char16_t *>(name));
                columnNames << names.value(n.toLower(), n);
                types << type;
            }
            QList<QList<DbValue>> rows;
            SQLRETURN fetched;
            while ((fetched = SQLFetch(stmt)) != SQL_NO_DATA) {
                if (!SQL_SUCCEEDED(fetched)) {
                    error = diagnostics(SQL_HANDLE_STMT, stmt);
                    return nullptr;
                }
                QList<DbValue> row;
                for (SQLUSMALLINT c = 1; c <= SQLUSMALLINT(columns); ++c) {
                    QString text;
                    bool null = false;
                    if (!readText(stmt, c, text, null)) {
                        error = diagnostics(SQL_HANDLE_STMT, stmt);
                        return nullptr;
                    }
                    const SQLSMALLINT type = types[c - 1];
                    if (null)
                        row << DbValue();
                    else if (isNumberType(type))
                        row << DbValue::fromInteger(text.toLongLong());
                    else if (isRealType(type))
                        row << DbValue::fromReal(text.toDouble());
                    else if (isDateType(type) && DbValue::fromIsoText(text.left(19)).isValid())
                        row << DbValue::fromDateTime(DbValue::fromIsoText(text.left(19)));
                    else
                        row << DbValue::fromText(text);
                }
                rows << row;
            }
            return std::make_shared<OdbcCursor>(columnNames, rows);
        }
        SQLLEN count = 0;
        if (SQL_SUCCEEDED(SQLRowCount(stmt, &count)) && count > 0)
            affected += int(count);
        const SQLRETURN more = SQLMoreResults(stmt);
        if (more == SQL_NO_DATA)
            return std::make_shared<OdbcCursor>();
        if (!SQL_SUCCEEDED(more)) {
            error = diagnostics(SQL_HANDLE_STMT, stmt);
            return nullptr;
        }
    }
}

std::shared_ptr<DbCursor> OdbcBackend::execute(const QString &statement, QString &error)
{
    if (m_postgres)
        return m_postgres->execute(statement, error);
    int affected = 0;
    return runNative(statement, {}, affected, error);
}

bool OdbcBackend::fetchForUpdate(const QString &selectStatement, UpdatableRow &row, QString &error)
{
    if (m_postgres)
        return m_postgres->fetchForUpdate(selectStatement, row, error);
    // SQL Server: the row found again by its primary key where the driver
    // names one, otherwise by the whole row as read.
    QString table, rest;
    if (!splitSelectStar(selectStatement, table, rest)) {
        error = QStringLiteral("Only SELECT * FROM <table> can be opened for update: ") + selectStatement;
        return false;
    }
    int affected = 0;
    auto cursor = runNative(selectStatement, {}, affected, error);
    if (!cursor)
        return false;
    row = UpdatableRow{};
    row.table = table;
    QString name = table.section(QLatin1Char('.'), -1);
    name.remove(QLatin1Char('[')).remove(QLatin1Char(']'));
    SQLHSTMT stmt = nullptr;
    if (SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, m_dbc, &stmt))) {
        if (SQL_SUCCEEDED(SQLPrimaryKeysW(stmt, nullptr, 0, nullptr, 0, const_cast<SQLWCHAR *>(wide(name)), SQL_NTS))) {
            while (SQL_SUCCEEDED(SQLFetch(stmt))) {
                QString column;
                bool null = false;
                if (readText(stmt, 4, column, null) && !null)
                    row.keyColumns << column;
            }
        }
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    }
    takeOpenedRow(*cursor, row);
    return true;
}

bool OdbcBackend::saveRow(UpdatableRow &row, QString &error)
{
    if (m_postgres)
        return m_postgres->saveRow(row, error);
    auto text = [](const DbValue &v) {
        return v.isNull() ? QString() : v.isDateTime() ? DbValue::isoText(v.toDateTime()) : v.toText();
    };
    QStringList names, parameters, marks;
    for (qsizetype i = 0; i < row.columns.size(); ++i)
        if (row.changed.value(i)) {
            names << bracketed(row.columns[i]);
            parameters << text(row.values[i]);
            marks << QStringLiteral("?");
        }
    if (names.isEmpty())
        return true;
    const bool insert = row.isNew || !row.found;
    QString sql;
    if (insert) {
        sql = QStringLiteral("INSERT INTO ") + row.table + QStringLiteral(" (") + names.join(QLatin1Char(',')) + QStringLiteral(") VALUES (")
              + marks.join(QLatin1Char(',')) + QLatin1Char(')');
    } else {
        QStringList sets, match;
        for (const QString &n : names)
            sets << n + QStringLiteral("=?");
        for (qsizetype i = 0; i < row.keyColumns.size(); ++i) {
            const DbValue key = row.keyValues.value(i);
            if (key.isNull()) {
                match << bracketed(row.keyColumns[i]) + QStringLiteral(" IS NULL");
            } else {
                match << bracketed(row.keyColumns[i]) + QStringLiteral("=?");
                parameters << text(key);
            }
        }
        sql = QStringLiteral("UPDATE ") + row.table + QStringLiteral(" SET ") + sets.join(QLatin1Char(',')) + QStringLiteral(" WHERE ")
              + match.join(QStringLiteral(" AND "));
    }
    int affected = 0;
    if (!runNative(sql, parameters, affected, error))
        return false;
    if (!insert && affected == 0) {
        error = QStringLiteral("The row of ") + row.table + QStringLiteral(" was changed or removed meanwhile.");
        return false;
    }
    row.keyValues.clear();
    for (const QString &k : row.keyColumns)
        row.keyValues << row.values.value(row.columns.indexOf(k));
    markRowSaved(row);
    return true;
}

bool OdbcBackend::beginTransaction(QString &error)
{
    if (!m_connected) {
        error = QStringLiteral("Not connected to the database.");
        return false;
    }
    if (!SQL_SUCCEEDED(SQLSetConnectAttr(m_dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0))) {
        error = diagnostics(SQL_HANDLE_DBC, m_dbc);
        return false;
    }
    return true;
}

bool OdbcBackend::endTransaction(bool commit, QString &error)
{
    if (!m_connected) {
        error = QStringLiteral("Not connected to the database.");
        return false;
    }
    const bool ended = SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, m_dbc, commit ? SQL_COMMIT : SQL_ROLLBACK));
    if (!ended)
        error = diagnostics(SQL_HANDLE_DBC, m_dbc);
    SQLSetConnectAttr(m_dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    return ended;
}

bool OdbcBackend::commitTransaction(QString &error)
{
    return endTransaction(true, error);
}

bool OdbcBackend::rollbackTransaction(QString &error)
{
    return endTransaction(false, error);
}

} // namespace pacs::db
