#include "db/PostgresBackend.h"

#include <QFile>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>
#include <libpq-fe.h>
#include <vector>

namespace pacs::db {

namespace {

// The case in which the schema scripts write every name, so that
// "SELECT * FROM PatientTable" answers "PatientID", not "patientid".
const PostgresCursor::Names &schemaNames()
{
    static const PostgresCursor::Names names = [] {
        PostgresCursor::Names all;
        static const QRegularExpression word(QStringLiteral(R"([A-Za-z_][A-Za-z0-9_]*)"));
        for (const char *script : {":/schema/postgresql/archive.sql", ":/schema/postgresql/patient_data.sql",
                                   ":/schema/postgresql/build_file.sql", ":/schema/postgresql/his.sql"}) {
            QFile file(QString::fromLatin1(script));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QString text = QString::fromUtf8(file.readAll());
            for (auto it = word.globalMatch(text); it.hasNext();) {
                const QString w = it.next().captured();
                // Mixed case only: an all-lower-case word tells nothing. The
                // first spelling is the table's; views may alias it later.
                if (w != w.toLower() && !all.contains(w.toLower()))
                    all.insert(w.toLower(), w);
            }
        }
        return all;
    }();
    return names;
}

// Names as one statement writes them, bracketed, quoted or plain.
PostgresCursor::Names statementNames(const QString &statement)
{
    PostgresCursor::Names names = schemaNames();
    // SELECT * answers the table's own names, whatever case the rest of the
    // statement writes them in.
    static const QRegularExpression star(QStringLiteral(R"(^\s*SELECT\s+(DISTINCT\s+)?\*\s)"), QRegularExpression::CaseInsensitiveOption);
    if (star.match(statement).hasMatch())
        return names;
    static const QRegularExpression name(QStringLiteral(R"re(\[([^\]]+)\]|"([^"]+)"|([A-Za-z_][A-Za-z0-9_]*))re"));
    for (auto it = name.globalMatch(statement); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const QString w = m.captured(1) + m.captured(2) + m.captured(3);
        if (w != w.toLower())
            names.insert(w.toLower(), w);
    }
    return names;
}

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

QString quotedName(const QString &name)
{
    return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
}

// A value as libpq's text parameter: dates in the stored ISO form.
QByteArray parameterText(const DbValue &v)
{
    if (v.isDateTime())
        return DbValue::isoText(v.toDateTime()).toUtf8();
    if (v.type() == DbValue::Type::Real && v.toReal() == double(qint64(v.toReal())))
        return QByteArray::number(qint64(v.toReal())); // 5.0 into an int column
    return v.toText().toUtf8();
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
    // The archive's schema first, the types of the extensions after it;
    // dates in and out as the program writes them (M/D/YYYY, ISO).
    // Statements name their own database by its catalog name (DICOM for the
    // archive, HIS for a site profile's connection): its schema comes first.
    QString catalog = connection.value(QStringLiteral("Catalog"));
    if (catalog.isEmpty())
        catalog = QStringLiteral("DICOM");
    m_translator = TsqlTranslator(SqlDialect::PostgreSQL, catalog);
    static const QRegularExpression plain(QStringLiteral(R"(^[A-Za-z_][A-Za-z0-9_]*$)"));
    const QString own = catalog.toLower();
    const QString path = own == QLatin1String("dicom") || !plain.match(own).hasMatch() ? QStringLiteral("dicom, public")
                                                                                        : own + QStringLiteral(", dicom, public");
    if (!executeNative(QStringLiteral("SET search_path = ") + path + QStringLiteral("; SET DateStyle = 'ISO, MDY'; "
                                      "SET client_encoding = 'UTF8'; SET standard_conforming_strings = on; "
                                      "SET client_min_messages = warning"),
                       error)) {
        close();
        return false;
    }
    readColumnTypes();
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

void PostgresBackend::readColumnTypes()
{
    QString ignored;
    auto rows = executeNative(QStringLiteral("SELECT lower(table_name), lower(column_name), udt_name FROM information_schema.columns "
                                             "WHERE table_schema NOT IN ('pg_catalog', 'information_schema')"),
                              ignored);
    if (!rows)
        return;
    ColumnTypes types;
    for (; !rows->atEnd(); rows->moveNext()) {
        const QString udt = rows->value(2).toText();
        QString type = udt;
        if (udt == QLatin1String("citext") || udt == QLatin1String("varchar") || udt == QLatin1String("text")
            || udt == QLatin1String("bpchar"))
            type = QStringLiteral("varchar");
        else if (udt.startsWith(QLatin1String("timestamp")) || udt == QLatin1String("date") || udt == QLatin1String("time"))
            type = QStringLiteral("datetime");
        else if (udt.startsWith(QLatin1String("int")))
            type = QStringLiteral("int");
        types[rows->value(0).toText()][rows->value(1).toText()] = type;
    }
    if (!types.isEmpty())
        m_translator.setColumnTypes(types);
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
    return std::make_shared<PostgresCursor>(result, statementNames(sql));
}

std::shared_ptr<PostgresCursor> PostgresBackend::executeNative(const QString &sql, QString &error)
{
    return run(sql, {}, error);
}

std::shared_ptr<PostgresCursor> PostgresBackend::executeNative(const QString &sql, const QStringList &parameters, QString &error)
{
    return run(sql, parameters, error);
}

std::shared_ptr<DbCursor> PostgresBackend::execute(const QString &statement, QString &error)
{
    if (statement.contains(QChar(0))) {
        error = QStringLiteral("The statement holds a NUL character.");
        return nullptr;
    }
    const TranslatedStatement translated = m_translator.translate(statement);
    QString sql = translated.sql;
    if (!translated.guardQuery.isEmpty()) {
        auto guard = executeNative(translated.guardQuery, error);
        if (!guard)
            return nullptr;
        const bool exists = !guard->atEnd();
        if (exists == translated.guardNegated)
            return std::make_shared<PostgresCursor>();
        // "IF NOT EXISTS (...) INSERT": another node may insert the same row
        // between the test and the insert; its row is the one the test
        // would have found, so the insert then does nothing.
        static const QRegularExpression insert(QStringLiteral(R"(^\s*INSERT\s)"), QRegularExpression::CaseInsensitiveOption);
        if (translated.guardNegated && insert.match(sql).hasMatch())
            sql = sql.trimmed() + QStringLiteral(" ON CONFLICT DO NOTHING");
    }
    if (sql.trimmed().isEmpty())
        return std::make_shared<PostgresCursor>();
    // The cursor names its columns as the caller wrote them.
    auto cursor = run(sql, {}, error);
    if (cursor) {
        static const QRegularExpression ddl(QStringLiteral(R"(^\s*(CREATE|ALTER|DROP)\s)"), QRegularExpression::CaseInsensitiveOption);
        if (ddl.match(sql).hasMatch())
            readColumnTypes();
    }
    return cursor;
}

bool PostgresBackend::fetchForUpdate(const QString &selectStatement, UpdatableRow &row, QString &error)
{
    static const QRegularExpression shape(QStringLiteral(R"(^\s*SELECT\s+\*\s+FROM\s+((?:"[^"]+"|[\w$]+)(?:\.(?:"[^"]+"|[\w$]+))?)(.*)$)"),
                                          QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    const QString sql = m_translator.translateBody(selectStatement);
    const QRegularExpressionMatch m = shape.match(sql);
    if (!m.hasMatch()) {
        error = QStringLiteral("Only SELECT * FROM <table> can be opened for update: ") + selectStatement;
        return false;
    }
    row = UpdatableRow{};
    row.table = m.captured(1);
    // The primary key, in key order, by the name the statement used for the table.
    QString literal = row.table;
    literal.replace(QLatin1Char('\''), QLatin1String("''"));
    auto key = run(QStringLiteral("SELECT a.attname FROM pg_index i JOIN pg_attribute a ON a.attrelid = i.indrelid "
                                  "AND a.attnum = ANY(i.indkey) WHERE i.indisprimary AND i.indrelid = to_regclass($1) "
                                  "ORDER BY array_position(i.indkey, a.attnum)"),
                   {literal}, error);
    if (!key)
        return false;
    QStringList keyNames;
    for (; !key->atEnd(); key->moveNext())
        keyNames << key->value(0).toText();
    auto cursor = run(QStringLiteral("SELECT * FROM ") + row.table + m.captured(2), {}, error);
    if (!cursor)
        return false;
    for (int i = 0; i < cursor->columnCount(); ++i) {
        row.columns << cursor->columnName(i);
        row.changed << false;
        row.values << (cursor->atEnd() ? DbValue() : cursor->value(i));
    }
    row.found = !cursor->atEnd();
    for (const QString &k : keyNames)
        for (const QString &c : row.columns)
            if (c.compare(k, Qt::CaseInsensitive) == 0)
                row.keyColumns << c;
    if (row.keyColumns.isEmpty())
        row.keyColumns = row.columns;
    if (row.found)
        for (const QString &k : row.keyColumns)
            row.keyValues << row.values.value(row.columns.indexOf(k));
    return true;
}

bool PostgresBackend::saveRow(UpdatableRow &row, QString &error)
{
    QStringList names;
    for (qsizetype i = 0; i < row.columns.size(); ++i)
        if (row.changed.value(i))
            names << quotedName(row.columns[i].toLower());
    if (names.isEmpty())
        return true;
    QStringList parameters;
    auto mark = [&](const DbValue &v) {
        if (v.isNull())
            return QStringLiteral("NULL");
        parameters << QString::fromUtf8(parameterText(v));
        return QStringLiteral("$") + QString::number(parameters.size());
    };
    QString sql;
    const bool insert = row.isNew || !row.found;
    QStringList marks;
    for (qsizetype i = 0; i < row.columns.size(); ++i)
        if (row.changed.value(i))
            marks << mark(row.values[i]);
    if (insert) {
        sql = QStringLiteral("INSERT INTO ") + row.table + QStringLiteral(" (") + names.join(QLatin1Char(',')) +
              QStringLiteral(") VALUES (") + marks.join(QLatin1Char(',')) + QLatin1Char(')');
        QStringList keys;
        for (const QString &k : row.keyColumns)
            keys << quotedName(k.toLower());
        sql += QStringLiteral(" RETURNING ") + keys.join(QLatin1Char(','));
    } else {
        QStringList sets;
        for (qsizetype i = 0; i < names.size(); ++i)
            sets << names[i] + QLatin1Char('=') + marks[i];
        QStringList match;
        for (qsizetype i = 0; i < row.keyColumns.size(); ++i) {
            const DbValue key = row.keyValues.value(i);
            const QString column = quotedName(row.keyColumns[i].toLower());
            match << (key.isNull() ? column + QStringLiteral(" IS NULL") : column + QLatin1Char('=') + mark(key));
        }
        sql = QStringLiteral("UPDATE ") + row.table + QStringLiteral(" SET ") + sets.join(QLatin1Char(',')) +
              QStringLiteral(" WHERE ") + match.join(QStringLiteral(" AND "));
    }
    auto done = run(sql, parameters, error);
    if (!done)
        return false;
    if (!insert && done->affected() == 0) {
        error = QStringLiteral("The row of ") + row.table + QStringLiteral(" was changed or removed meanwhile.");
        return false;
    }
    // The key as it now stands, with what the server gave a key left out (an identity).
    row.keyValues.clear();
    for (qsizetype k = 0; k < row.keyColumns.size(); ++k) {
        const qsizetype i = row.columns.indexOf(row.keyColumns[k]);
        DbValue value = row.values.value(i);
        if (insert && value.isNull() && !done->atEnd()) {
            value = done->value(int(k));
            if (i >= 0)
                row.values[i] = value;
        }
        row.keyValues << value;
    }
    row.found = true;
    row.isNew = false;
    for (auto &c : row.changed)
        c = false;
    return true;
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
