#include "tests/support/ServerProcess.h"

#include "core/SettingsStore.h"

#include <QDir>
#include <QRegularExpression>

namespace pacs::test {

QString ServerProcess::program()
{
    return QStringLiteral(TALMIR_PACS_BINARY);
}

ServerProcess::ServerProcess(ScratchHome &scratch) : m_scratch(scratch)
{
    m_environment = QProcessEnvironment::systemEnvironment();
    m_environment.insert(QStringLiteral("XDG_CONFIG_HOME"), scratch.configDir());
    m_environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&m_process, &QProcess::readyRead, [this] { m_output += QString::fromLocal8Bit(m_process.readAll()); });
    SettingsStore store(scratch.settingsFile());
    if (!store.contains(QStringLiteral("SERVER"), QStringLiteral("PORT")))
        store.write(QStringLiteral("SERVER"), QStringLiteral("PORT"), QStringLiteral("0"));
}

ServerProcess::~ServerProcess()
{
    stop();
}

void ServerProcess::setSetting(const QString &section, const QString &key, const QString &value)
{
    SettingsStore(m_scratch.settingsFile()).write(section, key, value);
}

void ServerProcess::setEnvironment(const QString &name, const QString &value)
{
    m_environment.insert(name, value);
}

bool ServerProcess::start(const QStringList &arguments)
{
    m_process.setProcessEnvironment(m_environment);
    m_process.start(program(),
                    QStringList{QStringLiteral("--headless"), QStringLiteral("--home"), m_scratch.home()} + arguments);
    return m_process.waitForStarted(10000);
}

bool ServerProcess::waitForOutput(const QString &text, int timeoutMs)
{
    return waitUntil([&] { return m_output.contains(text) || m_process.state() == QProcess::NotRunning; }, timeoutMs)
           && m_output.contains(text);
}

int ServerProcess::port()
{
    if (!waitForOutput(QStringLiteral("Listening on port ")))
        return -1;
    static const QRegularExpression line(QStringLiteral("Listening on port (\\d+)"));
    return line.match(m_output).captured(1).toInt();
}

QString ServerProcess::output() const
{
    return m_output;
}

bool ServerProcess::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

void ServerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void ServerProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

} // namespace pacs::test
