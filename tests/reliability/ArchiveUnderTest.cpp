#include "tests/reliability/ArchiveUnderTest.h"

#include "core/SettingsStore.h"
#include "db/SqliteBackend.h"
#include "tests/support/Peers.h"

namespace pacs::test {

ArchiveUnderTest::ArchiveUnderTest() = default;

ArchiveUnderTest::~ArchiveUnderTest()
{
    m_runs.clear();
    m_server.reset();
}

bool ArchiveUnderTest::start()
{
    m_server = std::make_unique<ServerProcess>(m_scratch);
    if (!m_server->start())
        return false;
    m_port = m_server->port();
    return m_port > 0;
}

void ArchiveUnderTest::kill()
{
    if (m_server)
        m_server->kill();
}

StoreRun &ArchiveUnderTest::send(const SendBatch &batch, const QStringList &files)
{
    m_runs.push_back(std::make_unique<StoreRun>(m_port, batch, QStringLiteral("MODALITY"), files));
    StoreRun &run = *m_runs.back();
    run.wait();
    keep(run.acknowledged());
    return run;
}

bool ArchiveUnderTest::echo(int timeoutSeconds)
{
    const QString seconds = QString::number(timeoutSeconds);
    return runTool(QStringLiteral("echoscu"),
                   {QStringLiteral("-aec"), QStringLiteral("TALMIR"), QStringLiteral("-to"), seconds, QStringLiteral("-ta"),
                    seconds, QStringLiteral("127.0.0.1"), QString::number(m_port)},
                   (timeoutSeconds + 10) * 1000)
               .exitCode
           == 0;
}

void ArchiveUnderTest::useStorageRoot(const QString &folder)
{
    m_storageRoot = folder;
    SettingsStore().write(QString::fromLatin1(SettingsStore::Server), QStringLiteral("ServerDrive"), folder + QLatin1Char('/'));
}

bool ArchiveUnderTest::execute(const QString &sql, QString &error) const
{
    db::SqliteBackend archive;
    return archive.openFile(home() + QStringLiteral("/archive.db"), false, error) && archive.executeScript(sql, error);
}

bool longRun()
{
    const QByteArray value = qgetenv("TALMIR_RELIABILITY_LONG");
    return !value.isEmpty() && value != "0";
}

} // namespace pacs::test
