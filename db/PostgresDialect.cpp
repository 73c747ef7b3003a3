#include "db/PostgresDialect.h"

#include <QFile>
#include <QRegularExpression>

namespace pacs::db {

namespace {

// The case in which the schema scripts write every name, so that
// "SELECT * FROM PatientTable" answers "PatientID", not "patientid".
const std::shared_ptr<const ColumnNameCase::Map> &schemaNames()
{
    static const std::shared_ptr<const ColumnNameCase::Map> names = [] {
        auto all = std::make_shared<ColumnNameCase::Map>();
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
                if (w != w.toLower() && !all->contains(w.toLower()))
                    all->insert(w.toLower(), w);
            }
        }
        return std::shared_ptr<const ColumnNameCase::Map>(std::move(all));
    }();
    return names;
}

// Names as one statement writes them, bracketed, quoted or plain.
PostgresDialect::Names statementNames(const QString &statement)
{
    PostgresDialect::Names names(schemaNames());
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

PostgresDialect::PostgresDialect(NativeRunner &runner) : m_runner(runner)
{
}

PostgresDialect::Names PostgresDialect::columnNames(const QString &sql)
{
    return statementNames(sql);
}

std::shared_ptr<DbCursor> PostgresDialect::run(const QString &sql, QString &error)
{
    int affected = 0;
    return m_runner.runNative(sql, {}, affected, error);
}

QString PostgresDialect::sessionSetup(const ConnectionString &connection)
{
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
    return QStringLiteral("SET search_path = ") + path + QStringLiteral("; SET DateStyle = 'ISO, MDY'; "
                                                                     "SET client_encoding = 'UTF8'; SET standard_conforming_strings = on; "
                                                                     "SET client_min_messages = warning");
}

void PostgresDialect::readColumnTypes()
{
    QString ignored;
    auto rows = run(QStringLiteral("SELECT lower(table_name), lower(column_name), udt_name FROM information_schema.columns "
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

std::shared_ptr<DbCursor> PostgresDialect::execute(const QString &statement, QString &error)
{
    if (statement.contains(QChar(0))) {
        error = QStringLiteral("The statement holds a NUL character.");
        return nullptr;
    }
    const TranslatedStatement translated = m_translator.translate(statement);
    int affected = 0;
    QString sql = translated.sql;
    if (!translated.guardQuery.isEmpty()) {
        auto guard = run(translated.guardQuery, error);
        if (!guard)
            return nullptr;
        const bool exists = !guard->atEnd();
        if (exists == translated.guardNegated)
            return m_runner.runNative(QString(), {}, affected, error);
        // "IF NOT EXISTS (...) INSERT": another node may insert the same row
        // between the test and the insert; its row is the one the test
        // would have found, so the insert then does nothing.
        static const QRegularExpression insert(QStringLiteral(R"(^\s*INSERT\s)"), QRegularExpression::CaseInsensitiveOption);
        if (translated.guardNegated && insert.match(sql).hasMatch())
            sql = sql.trimmed() + QStringLiteral(" ON CONFLICT DO NOTHING");
    }
    if (sql.trimmed().isEmpty())
        return m_runner.runNative(QString(), {}, affected, error);
    // The cursor names its columns as the caller wrote them.
    auto cursor = m_runner.runNative(sql, {}, affected, error);
    if (cursor) {
        static const QRegularExpression ddl(QStringLiteral(R"(^\s*(CREATE|ALTER|DROP)\s)"), QRegularExpression::CaseInsensitiveOption);
        if (ddl.match(sql).hasMatch())
            readColumnTypes();
    }
    return cursor;
}

bool PostgresDialect::fetchForUpdate(const QString &selectStatement, UpdatableRow &row, QString &error)
{
    QString table, rest;
    if (!splitSelectStar(m_translator.translateBody(selectStatement), table, rest)) {
        error = QStringLiteral("Only SELECT * FROM <table> can be opened for update: ") + selectStatement;
        return false;
    }
    row = UpdatableRow{};
    row.table = table;
    // The primary key, in key order, by the name the statement used for the table.
    int affected = 0;
    auto key = m_runner.runNative(QStringLiteral("SELECT a.attname FROM pg_index i JOIN pg_attribute a ON a.attrelid = i.indrelid "
                                                 "AND a.attnum = ANY(i.indkey) WHERE i.indisprimary AND i.indrelid = to_regclass(")
                                      + m_runner.placeholder(1) + QStringLiteral(") ORDER BY array_position(i.indkey, a.attnum)"),
                                  {table}, affected, error);
    if (!key)
        return false;
    for (; !key->atEnd(); key->moveNext())
        row.keyColumns << key->value(0).toText();
    auto cursor = run(QStringLiteral("SELECT * FROM ") + table + rest, error);
    if (!cursor)
        return false;
    takeOpenedRow(*cursor, row);
    return true;
}

bool PostgresDialect::saveRow(UpdatableRow &row, QString &error)
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
        return m_runner.placeholder(int(parameters.size()));
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
    int affected = 0;
    auto done = m_runner.runNative(sql, parameters, affected, error);
    if (!done)
        return false;
    if (!insert && affected == 0) {
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
    markRowSaved(row);
    return true;
}

} // namespace pacs::db
