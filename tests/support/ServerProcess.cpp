#include "tests/support/ServerProcess.h"

#include "core/SettingsStore.h"

#include <QDir>
#include <QRegularExpression>
#include <QTcpServer>

namespace pacs::test {

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
    m_process.start(QStringLiteral(TALMIR_PACS_BINARY),
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

ToolResult runTool(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    ToolResult result;
    if (!process.waitForStarted(10000))
        return result;
    waitUntil([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(3000);
        result.output = QStringLiteral("timed out\n");
    }
    result.output += QString::fromLocal8Bit(process.readAll());
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

} // namespace pacs::test

namespace pacs::test {

void ServerProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

} // namespace pacs::test

namespace pacs::test {

int freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

StoreScpProcess::StoreScpProcess(const QString &folder, const QString &aeTitle, const QStringList &extraArguments, int port)
    : m_folder(folder), m_port(port > 0 ? port : freePort())
{
    QDir().mkpath(folder);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&m_process, &QProcess::readyRead, [this] { m_output += QString::fromLocal8Bit(m_process.readAll()); });
    m_process.start(QStringLiteral("storescp"), QStringList{QStringLiteral("-v"), QStringLiteral("-od"), folder,
                                                            QStringLiteral("-aet"), aeTitle}
                                                    + extraArguments + QStringList{QString::number(m_port)});
    m_ready = m_process.waitForStarted(10000) && waitUntil([&] {
        return runTool(QStringLiteral("echoscu"), {QStringLiteral("-aec"), aeTitle, QStringLiteral("127.0.0.1"),
                                                   QString::number(m_port)}).exitCode == 0;
    }, 15000);
}

StoreScpProcess::~StoreScpProcess()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

QStringList StoreScpProcess::receivedFiles() const
{
    QStringList files;
    for (const QString &name : QDir(m_folder).entryList(QDir::Files, QDir::Name))
        files << m_folder + QLatin1Char('/') + name;
    return files;
}

QStringList StoreScpProcess::receivedOrder()
{
    m_output += QString::fromLocal8Bit(m_process.readAll());
    QStringList order;
    static const QRegularExpression stored(QStringLiteral("storing DICOM file: .*/[A-Za-z]+\\.([0-9.]+)"));
    auto it = stored.globalMatch(m_output);
    while (it.hasNext())
        order << it.next().captured(1);
    return order;
}

} // namespace pacs::test
