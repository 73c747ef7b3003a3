#include "tests/support/ServerDatabase.h"

#include "db/ConnectionString.h"
#include "db/PostgresBackend.h"
#include "core/HomeFolder.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QRandomGenerator>

namespace pacs::test {

namespace {

QString maintenance()
{
    return qEnvironmentVariable("PACS_TEST_SERVER");
}

// The maintenance string with another database.
QString withDatabase(const QString &connection, const QString &database)
{
    QStringList parts;
    for (const QString &part : connection.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        if (!part.trimmed().startsWith(QLatin1String("Database="), Qt::CaseInsensitive))
            parts << part;
    parts << QStringLiteral("Database=") + database;
    return parts.join(QLatin1Char(';'));
}

bool runOnServer(const QString &sql, QString &error)
{
    db::PostgresBackend server;
    if (!server.open(db::ConnectionString(maintenance()), QString(), error))
        return false;
    return server.executeNative(sql, error) != nullptr;
}

} // namespace

bool ServerDatabase::enabled()
{
    return !maintenance().isEmpty();
}

QString ServerDatabase::create(QString &error)
{
    static QAtomicInt counter;
    const QString name = QStringLiteral("pacs_test_%1_%2_%3")
                             .arg(QCoreApplication::applicationPid())
                             .arg(counter.fetchAndAddRelaxed(1))
                             .arg(QRandomGenerator::global()->bounded(1000000));
    if (!runOnServer(QStringLiteral("CREATE DATABASE ") + name, error))
        return QString();
    return withDatabase(maintenance(), name);
}

void ServerDatabase::drop(const QString &connectionString)
{
    const QString name = db::ConnectionString(connectionString).value(QStringLiteral("Database"));
    QString ignored;
    if (name.startsWith(QLatin1String("pacs_test_")))
        runOnServer(QStringLiteral("DROP DATABASE IF EXISTS ") + name + QStringLiteral(" WITH (FORCE)"), ignored);
}

bool ServerDatabase::executeNative(const QString &homeFolder, const QString &sql, QString &error)
{
    QString line;
    if (!HomeFolder(homeFolder).readFirstLine(QStringLiteral("DBServer.txt"), line, error))
        return false;
    db::PostgresBackend server;
    if (!server.open(db::ConnectionString(line), homeFolder, error))
        return false;
    return server.executeNative(sql, error) != nullptr;
}

std::unique_ptr<db::DbBackend> openHomeArchive(const QString &homeFolder, QString &error)
{
    QString line;
    if (!HomeFolder(homeFolder).readFirstLine(QStringLiteral("DBServer.txt"), line, error))
        return nullptr;
    const db::ConnectionString connection(line);
    auto backend = db::DbBackend::create(connection, error);
    if (!backend || !backend->open(connection, homeFolder, error))
        return nullptr;
    return backend;
}

} // namespace pacs::test
