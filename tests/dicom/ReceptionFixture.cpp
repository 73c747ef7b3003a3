#include "tests/dicom/ReceptionFixture.h"

#include "dicom/ImagePath.h"
#include "dicom/toolkit/ToolkitEncodeQueue.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>

namespace pacs::test {

StoreOutcome storeFiles(int port, const QStringList &files, const QStringList &extraArguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("storescu"),
                  QStringList{QStringLiteral("-v"), QStringLiteral("--no-halt"), QStringLiteral("-aet"), QStringLiteral("MODALITY"), QStringLiteral("-aec"),
                              QStringLiteral("TALMIR")}
                      + extraArguments + QStringList{QStringLiteral("127.0.0.1"), QString::number(port)} + files);
    StoreOutcome outcome;
    if (!process.waitForStarted(10000))
        return outcome;
    waitUntil([&] { return process.state() == QProcess::NotRunning; }, 120000);
    outcome.output = QString::fromLocal8Bit(process.readAll());
    outcome.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    static const QRegularExpression response(QStringLiteral("Received Store Response \\(([A-Za-z]+)"));
    auto it = response.globalMatch(outcome.output);
    while (it.hasNext()) {
        const QString kind = it.next().captured(1);
        if (kind == QLatin1String("Success"))
            ++outcome.success;
        else if (kind.startsWith(QLatin1String("Warning")))
            ++outcome.warning;
        else
            ++outcome.failure;
    }
    return outcome;
}

void ReceptionFixture::SetUp()
{
    m_controller = std::make_unique<ServerController>(scratch.home(), QString());
    m_controller->setPrompter(&m_prompter);
    setSetting(QStringLiteral("SERVER"), QStringLiteral("PORT"), QStringLiteral("0"));
}

void ReceptionFixture::TearDown()
{
    m_controller.reset();
}

void ReceptionFixture::setSetting(const QString &section, const QString &key, const QString &value)
{
    m_controller->settings().write(section, key, value);
}

void ReceptionFixture::start()
{
    m_controller->load();
    ASSERT_TRUE(m_controller->server().listener().isListening()) << logText().toStdString();
}

void ReceptionFixture::restart()
{
    m_controller.reset();
    m_controller = std::make_unique<ServerController>(scratch.home(), QString());
    m_controller->setPrompter(&m_prompter);
    start();
}

int ReceptionFixture::port() const
{
    return m_controller->server().listener().listeningPort();
}

QString ReceptionFixture::scalar(const QString &sql)
{
    db::ResultSet rows = m_controller->connection().ExecuteSQL(sql);
    return rows.atEnd() ? QStringLiteral("<none>") : rows.text(0);
}

QString ReceptionFixture::sample(const QString &name, const SampleSpec &spec)
{
    const QString path = scratch.path(QStringLiteral("in-") + name);
    EXPECT_FALSE(writeSample(path, spec).isEmpty()) << name.toStdString();
    return path;
}

} // namespace pacs::test

namespace pacs::test {

bool ReceptionFixture::waitForStoredForm()
{
    const QString folder = encodeQueueFolder(m_controller->options().storageRoot());
    return waitUntil([&] {
        return toolkit::ToolkitEncodeQueue::instance().pending() == 0
               && QDir(folder).entryList({QStringLiteral("*.encode")}, QDir::Files).isEmpty();
    }, 60000);
}

} // namespace pacs::test
