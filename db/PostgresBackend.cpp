#include "db/PostgresBackend.h"

#include <QFile>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>
#include <libpq-fe.h>
#include <vector>

namespace pacs::db {

namespace {

// The server's own words, on one line: the primary message of a failed
// statement (without the context PL/pgSQL adds), or libpq's of the connection.
QString serverMessage(pg_conn *conn, pg_result *result)
{
    QString text;
    if (result)
        text = QString::fromUtf8(PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY)).trimmed();
    if (text.isEmpty())
        text = QString::fromUtf8(PQerrorMessage(conn)).simplified();
    return text.isEmpty() ? QStringLiteral("The database server gave no answer.") : text;
}

} // namespace

PostgresBackend::PostgresBackend() = default;

PostgresBackend::~PostgresBackend()
{
    close();
}

QString PostgresBackend::connectionInfo(const ConnectionString &connection)
{
    auto quoted = [](QString v) {
        v.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\''), QLatin1String("\\'"));
        return QLatin1Char('\'') + v + QLatin1Char('\'');
    };
    QStringList parts;
    const QString server = connection.value(QStringLiteral("Server"));
    if (server.startsWith(QLatin1String("postgresql://")) || server.startsWith(QLatin1String("postgres://"))) {
        QUrl url(server);
        QUrlQuery query(url);
        if (!query.hasQueryItem(QStringLiteral("connect_timeout")))
            query.addQueryItem(QStringLiteral("connect_timeout"), QStringLiteral("10"));
        url.setQuery(query);
        return url.toString(QUrl::FullyEncoded);
    }
    auto add = [&](const char *key, const QStringList &names) {
        for (const QString &n : names)
            if (connection.has(n)) {
                parts << QLatin1String(key) + QLatin1Char('=') + quoted(connection.value(n));
                return;
            }
    };
    add("host", {QStringLiteral("Server"), QStringLiteral("Host")});
    add("port", {QStringLiteral("Port")});
    add("dbname", {QStringLiteral("Database"), QStringLiteral("Initial Catalog")});
    add("user", {QStringLiteral("Uid"), QStringLiteral("User ID"), QStringLiteral("User")});
    add("password", {QStringLiteral("Pwd"), QStringLiteral("Password")});
    add("sslmode", {QStringLiteral("SslMode")});
    // A server that does not answer must not hold the start-up for minutes.
    parts << (QStringLiteral("connect_timeout=") + (connection.has(QStringLiteral("Timeout"))
                                                        ? connection.value(QStringLiteral("Timeout"))
                                                        : QStringLiteral("10")));
    parts << QStringLiteral("application_name='talmir-pacs'");
    return parts.join(QLatin1Char(' '));
}

QString PostgresBackend::siteProfileConnection(const ConnectionString &connection, const QString &catalog)
{
    QUrl url;
    url.setScheme(QStringLiteral("postgresql"));
    url.setHost(connection.value(QStringLiteral("Server")));
    if (connection.has(QStringLiteral("Port")))
        url.setPort(connection.value(QStringLiteral("Port")).toInt());
    url.setUserName(connection.value(QStringLiteral("Uid")));
    url.setPassword(connection.value(QStringLiteral("Pwd")));
    url.setPath(QLatin1Char('/') + connection.value(QStringLiteral("Database")));
    return QStringLiteral("Driver=PostgreSQL;Server=") + url.toString(QUrl::FullyEncoded)
           + QStringLiteral(";Uid=;Pwd=;Catalog=") + catalog;
}

bool PostgresBackend::open(const ConnectionString &connection, const QString &, QString &error)
{
    close();
    m_conn = PQconnectdb(connectionInfo(connection).toUtf8().constData());
    if (!m_conn || PQstatus(m_conn) != CONNECTION_OK) {
        error = serverMessage(m_conn, nullptr);
        close();
        return false;
    }
    const QString setup = m_dialect.sessionSetup(connection);
    if (!executeNative(setup, error)) {
        close();
        return false;
    }
    m_dialect.readColumnTypes();
    return true;
}

void PostgresBackend::close()
{
    if (m_conn) {
        PQfinish(m_conn);
        m_conn = nullptr;
    }
}

bool PostgresBackend::isOpen() const
{
    return m_conn && PQstatus(m_conn) == CONNECTION_OK;
}

std::shared_ptr<PostgresCursor> PostgresBackend::run(const QString &sql, const QStringList &parameters, QString &error)
{
    if (!m_conn) {
        error = QStringLiteral("Not connected to the database.");
        return nullptr;
    }
    pg_result *result = nullptr;
    const QByteArray text = sql.toUtf8();
    if (parameters.isEmpty()) {
        result = PQexec(m_conn, text.constData());
    } else {
        std::vector<QByteArray> values;
        std::vector<const char *> pointers;
        for (const QString &p : parameters)
            values.push_back(p.toUtf8());
        for (const QByteArray &v : values)
            pointers.push_back(v.isNull() ? nullptr : v.constData());
        result = PQexecParams(m_conn, text.constData(), int(pointers.size()), nullptr, pointers.data(), nullptr, nullptr, 0);
    }
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_EMPTY_QUERY) {
        error = serverMessage(m_conn, result);
        if (result)
            PQclear(result);
        return nullptr;
    }
    return std::make_shared<PostgresCursor>(result, PostgresDialect::columnNames(sql));
}

std::shared_ptr<DbCursor> PostgresBackend::runNative(const QString &sql, const QStringList &parameters, int &affected, QString &error)
{
    if (sql.trimmed().isEmpty())
        return std::make_shared<PostgresCursor>();
    auto cursor = run(sql, parameters, error);
    affected = cursor ? cursor->affected() : 0;
    return cursor;
}

std::shared_ptr<DbCursor> PostgresBackend::execute(const QString &statement, QString &error)
{
    return m_dialect.execute(statement, error);
}

bool PostgresBackend::fetchForUpdate(const QString &selectStatement, UpdatableRow &row, QString &error)
{
    return m_dialect.fetchForUpdate(selectStatement, row, error);
}

bool PostgresBackend::saveRow(UpdatableRow &row, QString &error)
{
    return m_dialect.saveRow(row, error);
}

std::shared_ptr<PostgresCursor> PostgresBackend::executeNative(const QString &sql, QString &error)
{
    return run(sql, {}, error);
}

std::shared_ptr<PostgresCursor> PostgresBackend::executeNative(const QString &sql, const QStringList &parameters, QString &error)
{
    return run(sql, parameters, error);
}

bool PostgresBackend::beginTransaction(QString &error)
{
    return executeNative(QStringLiteral("BEGIN"), error) != nullptr;
}

bool PostgresBackend::commitTransaction(QString &error)
{
    // COMMIT of a transaction that failed rolls it back and says so only as
    // its command tag.
    if (!m_conn) {
        error = QStringLiteral("Not connected to the database.");
        return false;
    }
    pg_result *result = PQexec(m_conn, "COMMIT");
    const bool ok = result && PQresultStatus(result) == PGRES_COMMAND_OK && qstrcmp(PQcmdStatus(result), "COMMIT") == 0;
    if (!ok)
        error = result && PQresultStatus(result) == PGRES_COMMAND_OK
                    ? QStringLiteral("The transaction was rolled back: a statement in it had failed.")
                    : serverMessage(m_conn, result);
    if (result)
        PQclear(result);
    return ok;
}

bool PostgresBackend::rollbackTransaction(QString &error)
{
    if (m_conn && PQtransactionStatus(m_conn) == PQTRANS_IDLE)
        return true;
    return executeNative(QStringLiteral("ROLLBACK"), error) != nullptr;
}

} // namespace pacs::db
