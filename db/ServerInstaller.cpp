#include "db/ServerInstaller.h"

#include "core/HomeFolder.h"
#include "db/ConnectionString.h"
#include "db/PostgresBackend.h"

#include <QFile>

namespace pacs::db {

namespace {

bool readScript(const QString &name, QString &sql, QString &error)
{
    QFile resource(QStringLiteral(":/schema/postgresql/") + name);
    if (!resource.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("Installation script missing: ") + name;
        return false;
    }
    sql = QString::fromUtf8(resource.readAll());
    return true;
}

} // namespace

ServerInstaller::ServerInstaller(const HomeFolder &home) : m_home(home)
{
}

bool ServerInstaller::createSchema(PostgresBackend &db, const QString &schema, const QString &script, QString &error)
{
    auto found = db.executeNative(QStringLiteral("SELECT 1 FROM pg_namespace WHERE nspname = '") + schema + QLatin1Char('\''), error);
    if (!found)
        return false;
    if (!found->atEnd()) {
        m_actions << QStringLiteral("Kept the existing schema ") + schema;
        return true;
    }
    QString sql;
    if (!readScript(script, sql, error))
        return false;
    // All of a schema or nothing of it: a failed installation can run again.
    if (!db.executeNative(QStringLiteral("BEGIN; ") + sql + QStringLiteral("; COMMIT"), error)) {
        QString ignored;
        db.executeNative(QStringLiteral("ROLLBACK"), ignored);
        error = QStringLiteral("Cannot create the schema ") + schema + QStringLiteral(": ") + error;
        return false;
    }
    m_actions << QStringLiteral("Created the schema ") + schema;
    return true;
}

bool ServerInstaller::createObjects(const ConnectionString &connection, QString &error)
{
    if (connection.driver().compare(QLatin1String("PostgreSQL"), Qt::CaseInsensitive) != 0) {
        error = QStringLiteral("Only a PostgreSQL database can be installed here: ") + connection.text();
        return false;
    }
    PostgresBackend db;
    if (!db.open(connection, m_home.path(), error))
        return false;
    // citext (texts that compare without regard to case) is a trusted
    // extension: the database's owner may create it.
    QString functions;
    if (!db.executeNative(QStringLiteral("CREATE EXTENSION IF NOT EXISTS citext"), error)
        || !createSchema(db, QStringLiteral("dicom"), QStringLiteral("archive.sql"), error)
        || !readScript(QStringLiteral("functions.sql"), functions, error) || !db.executeNative(functions, error)
        || !createSchema(db, QStringLiteral("patient_data"), QStringLiteral("patient_data.sql"), error)
        || !createSchema(db, QStringLiteral("build_file"), QStringLiteral("build_file.sql"), error)
        || !createSchema(db, QStringLiteral("his"), QStringLiteral("his.sql"), error))
        return false;
    return true;
}

bool ServerInstaller::install(const QString &connectionString, QString &error)
{
    m_actions.clear();
    const ConnectionString connection(connectionString);
    if (!createObjects(connection, error))
        return false;
    // The site profiles reach the HIS schema through their own connection.
    const QString his = PostgresBackend::siteProfileConnection(connection, QStringLiteral("HIS"));
    const QStringList files{QStringLiteral("DBServer.txt"), QStringLiteral("ORVIK.txt"), QStringLiteral("BRACKMOOR.txt"),
                            QStringLiteral("TESSMARK.txt")};
    for (const QString &name : files) {
        if (m_home.exists(name))
            continue;
        if (!m_home.writeText(name, (name == files.first() ? connectionString : his) + QStringLiteral("\n"), error))
            return false;
        m_actions << QStringLiteral("Created ") + m_home.filePath(name);
    }
    return true;
}

} // namespace pacs::db
