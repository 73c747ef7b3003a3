#include "db/ArchiveMigration.h"

#include "core/HomeFolder.h"
#include "db/ConnectionString.h"
#include "db/PostgresBackend.h"
#include "db/ServerInstaller.h"
#include "db/SqliteBackend.h"

#include <QHash>

namespace pacs::db {

namespace {

struct TargetColumn
{
    QString name; // lower case, as the server keeps it
    QString type; // udt_name
};

// A value of the embedded archive as the server column takes it. SQLite keeps
// what it was given; the server is strict: '' in a number column is 0 (as
// SQL Server reads it), other text that is no number or date is NULL.
QString serverValue(const DbValue &v, const QString &type)
{
    if (v.isNull())
        return QString();
    if (v.isDateTime())
        return DbValue::isoText(v.toDateTime());
    const QString text = v.toText();
    const bool number = type.startsWith(QLatin1String("int")) || type.startsWith(QLatin1String("float"))
                        || type == QLatin1String("numeric");
    if (number) {
        if (v.type() == DbValue::Type::Integer)
            return QString::number(v.toInteger());
        if (v.type() == DbValue::Type::Real)
            return type.startsWith(QLatin1String("int")) ? QString::number(qint64(v.toReal())) : QString::number(v.toReal(), 'g', 17);
        if (text.trimmed().isEmpty())
            return QStringLiteral("0");
        bool ok = false;
        text.trimmed().toDouble(&ok);
        return ok ? text.trimmed() : QString();
    }
    if (type.startsWith(QLatin1String("timestamp"))) {
        const QDateTime when = DbValue::fromIsoText(text);
        return when.isValid() ? DbValue::isoText(when) : QString();
    }
    return text;
}

} // namespace

ArchiveMigration::ArchiveMigration(const HomeFolder &home) : m_home(home)
{
}

bool ArchiveMigration::migrate(const QString &targetConnection, QString &error)
{
    m_report.clear();
    QString sourceText;
    if (!m_home.readFirstLine(QStringLiteral("DBServer.txt"), sourceText, error))
        return false;
    const ConnectionString source(sourceText);
    if (source.driver().compare(QLatin1String("SQLite"), Qt::CaseInsensitive) != 0) {
        error = QStringLiteral("The archive is not the embedded one: ") + sourceText;
        return false;
    }
    const ConnectionString target(targetConnection);
    ServerInstaller installer(m_home);
    if (!installer.createObjects(target, error))
        return false;
    m_report << installer.actions();

    SqliteBackend from;
    if (!from.open(source, m_home.path(), error))
        return false;
    PostgresBackend to;
    if (!to.open(target, m_home.path(), error))
        return false;
    // Only into an empty archive: what a server database holds already is
    // never mixed with or replaced by the embedded one.
    auto held = to.executeNative(QStringLiteral("SELECT (SELECT count(*) FROM dicom.ImageTable) + (SELECT count(*) FROM dicom.StudyTable) "
                                                "+ (SELECT count(*) FROM dicom.PatientTable)"),
                                 error);
    if (!held)
        return false;
    if (held->value(0).toInteger() != 0) {
        error = QStringLiteral("The server database holds an archive already: nothing copied.");
        return false;
    }

    // The server's columns of each table, by schema.
    auto columns = to.executeNative(QStringLiteral("SELECT table_schema, lower(table_name), lower(column_name), udt_name "
                                                   "FROM information_schema.columns c WHERE table_schema IN "
                                                   "('dicom', 'patient_data', 'build_file', 'his') AND EXISTS (SELECT 1 FROM "
                                                   "information_schema.tables t WHERE t.table_schema = c.table_schema AND "
                                                   "t.table_name = c.table_name AND t.table_type = 'BASE TABLE') "
                                                   "ORDER BY ordinal_position"),
                                    error);
    if (!columns)
        return false;
    QHash<QString, QList<TargetColumn>> targetColumns; // "schema.table"
    for (; !columns->atEnd(); columns->moveNext())
        targetColumns[columns->value(0).toText() + QLatin1Char('.') + columns->value(1).toText()]
            << TargetColumn{columns->value(2).toText(), columns->value(3).toText()};

    // The embedded databases: the archive itself, then each attached one.
    struct Database
    {
        QString sqliteSchema;
        QString serverSchema;
    };
    QList<Database> databases{{QStringLiteral("main"), QStringLiteral("dicom")}};
    for (const QString &file : SqliteBackend::attachedFiles(source)) {
        const QString name = file.section(QLatin1Char('/'), -1).section(QLatin1Char('.'), 0, 0);
        databases << Database{name, name.toLower()};
    }

    if (!to.executeNative(QStringLiteral("BEGIN"), error))
        return false;
    auto fail = [&](const QString &what) {
        QString ignored;
        to.executeNative(QStringLiteral("ROLLBACK"), ignored);
        error = what;
        return false;
    };
    struct Count
    {
        QString table;
        qint64 rows;
    };
    QList<Count> counts;
    for (const Database &database : databases) {
        auto tables = from.execute(QStringLiteral("SELECT name FROM ") + database.sqliteSchema
                                       + QStringLiteral(".sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY name"),
                                   error);
        if (!tables)
            return fail(error);
        QStringList names;
        for (; !tables->atEnd(); tables->moveNext())
            names << tables->value(0).toText();
        for (const QString &table : names) {
            const QString key = database.serverSchema + QLatin1Char('.') + table.toLower();
            if (!targetColumns.contains(key)) {
                m_report << QStringLiteral("%1.%2: not on the server, not copied").arg(database.sqliteSchema, table);
                continue;
            }
            const QString qualified = database.serverSchema + QLatin1Char('.') + table.toLower();
            // The installation's demo rows give way to the archive's own.
            if (!to.executeNative(QStringLiteral("DELETE FROM ") + qualified, error))
                return fail(error);
            auto rows = from.execute(QStringLiteral("SELECT * FROM ") + database.sqliteSchema + QStringLiteral(".\"")
                                         + table + QStringLiteral("\""),
                                     error);
            if (!rows)
                return fail(error);
            QHash<QString, QString> typeOf;
            for (const TargetColumn &c : targetColumns.value(key))
                typeOf.insert(c.name, c.type);
            QList<int> sourceIndex;
            QStringList names, marks;
            for (int i = 0; i < rows->columnCount(); ++i) {
                const QString column = rows->columnName(i).toLower();
                if (!typeOf.contains(column))
                    continue;
                sourceIndex << i;
                names << QLatin1Char('"') + column + QLatin1Char('"');
                marks << QStringLiteral("$") + QString::number(names.size());
            }
            const QString insert = QStringLiteral("INSERT INTO ") + qualified + QStringLiteral(" (") + names.join(QLatin1Char(','))
                                   + QStringLiteral(") OVERRIDING SYSTEM VALUE VALUES (") + marks.join(QLatin1Char(',')) + QLatin1Char(')');
            qint64 copied = 0;
            for (; !rows->atEnd(); rows->moveNext()) {
                QStringList values;
                for (int i : sourceIndex)
                    values << serverValue(rows->value(i), typeOf.value(rows->columnName(i).toLower()));
                if (!to.executeNative(insert, values, error))
                    return fail(QStringLiteral("%1: %2").arg(table, error));
                ++copied;
            }
            if (!rows->error().isEmpty())
                return fail(rows->error());
            // Identity columns go on after the highest number copied.
            auto identities = to.executeNative(QStringLiteral("SELECT attname FROM pg_attribute WHERE attrelid = '%1'::regclass "
                                                              "AND attidentity <> ''").arg(qualified),
                                               error);
            if (!identities)
                return fail(error);
            for (; !identities->atEnd(); identities->moveNext()) {
                const QString column = identities->value(0).toText();
                if (!to.executeNative(QStringLiteral("SELECT setval(pg_get_serial_sequence('%1', '%2'), "
                                                     "COALESCE((SELECT max(\"%2\") FROM %1), 0) + 1, false)")
                                          .arg(qualified, column),
                                      error))
                    return fail(error);
            }
            counts << Count{qualified, copied};
        }
    }
    // Both sides must hold the same number of rows before anything switches.
    for (const Count &c : counts) {
        auto n = to.executeNative(QStringLiteral("SELECT count(*) FROM ") + c.table, error);
        if (!n)
            return fail(error);
        if (n->value(0).toInteger() != c.rows)
            return fail(QStringLiteral("%1: %2 rows copied, %3 on the server").arg(c.table).arg(c.rows).arg(n->value(0).toInteger()));
        m_report << QStringLiteral("%1: %2 rows").arg(c.table).arg(c.rows);
    }
    if (!to.commitTransaction(error))
        return fail(error);
    return switchConnectionFiles(targetConnection, error);
}

bool ArchiveMigration::switchConnectionFiles(const QString &targetConnection, QString &error)
{
    QString old;
    m_home.readFirstLine(QStringLiteral("DBServer.txt"), old, error);
    if (!m_home.writeText(QStringLiteral("DBServer.txt.embedded"), old + QLatin1Char('\n'), error)
        || !m_home.writeText(QStringLiteral("DBServer.txt"), targetConnection + QLatin1Char('\n'), error))
        return false;
    m_report << QStringLiteral("DBServer.txt names the server now (the embedded one is kept in DBServer.txt.embedded)");
    const QString his = PostgresBackend::siteProfileConnection(ConnectionString(targetConnection), QStringLiteral("HIS"));
    for (const QString &name : {QStringLiteral("ORVIK.txt"), QStringLiteral("BRACKMOOR.txt"), QStringLiteral("TESSMARK.txt")}) {
        QString line, ignored;
        if (!m_home.readFirstLine(name, line, ignored))
            continue;
        const ConnectionString profile(line);
        if (profile.driver().compare(QLatin1String("SQLite"), Qt::CaseInsensitive) != 0
            || profile.value(QStringLiteral("Database")).compare(QLatin1String("HIS.db"), Qt::CaseInsensitive) != 0)
            continue;
        if (!m_home.writeText(name, his + QLatin1Char('\n'), error))
            return false;
        m_report << name + QStringLiteral(" names the server's HIS schema now");
    }
    return true;
}

} // namespace pacs::db
