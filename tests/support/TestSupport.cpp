#include "tests/support/TestSupport.h"

#include "core/HomeFolder.h"
#include "db/ServerInstaller.h"
#include "tests/support/ServerDatabase.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <gtest/gtest.h>

namespace pacs::test {

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        // Events queued behind the one being handled: a nested wait under
        // the glib dispatcher delivers only events posted after it began.
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

ScratchHome::ScratchHome(Archive archive) : m_oldXdg(qgetenv("XDG_CONFIG_HOME"))
{
    QDir().mkpath(home());
    QDir().mkpath(configDir());
    qputenv("XDG_CONFIG_HOME", configDir().toUtf8());
    if (!ServerDatabase::enabled() || archive == Archive::Embedded)
        return;
    // The archive of this home on its own server database: every test that
    // installs or starts the archive here runs on that back end.
    QString error;
    m_serverDatabase = ServerDatabase::create(error);
    HomeFolder folder(home());
    db::ServerInstaller installer(folder);
    if (m_serverDatabase.isEmpty() || !installer.install(m_serverDatabase, error))
        ADD_FAILURE() << "No server database for the test: " << error.toStdString();
    // PACS_TEST_ODBC names the ODBC driver that reaches the same server.
    const QString odbc = qEnvironmentVariable("PACS_TEST_ODBC");
    if (!odbc.isEmpty()) {
        QString line = m_serverDatabase;
        line.replace(QStringLiteral("Driver=PostgreSQL"), QStringLiteral("Driver=") + odbc);
        writeFile(QStringLiteral("DBServer.txt"), line.toUtf8() + "\n");
    }
}

ScratchHome::~ScratchHome()
{
    if (!m_serverDatabase.isEmpty())
        ServerDatabase::drop(m_serverDatabase);
    if (m_oldXdg.isEmpty())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", m_oldXdg);
}

QString ScratchHome::settingsFile() const
{
    return configDir() + QStringLiteral("/PACS/PACS.ini");
}

void ScratchHome::writeFile(const QString &name, const QByteArray &content) const
{
    QFile f(path(name));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(content);
}

} // namespace pacs::test
