#include "tests/toolkit/ToolkitTestSupport.h"

#include "dicom/toolkit/ToolkitUtility.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTcpServer>

namespace pacs::toolkit::test {

struct ToolProcess::Impl
{
    QProcess process;
};

ToolProcess::ToolProcess(const QString &program, const QStringList &arguments) : m_impl(std::make_unique<Impl>())
{
    m_impl->process.setProcessChannelMode(QProcess::MergedChannels);
    m_impl->process.start(program, arguments);
}

ToolProcess::~ToolProcess()
{
    if (m_impl->process.state() != QProcess::NotRunning) {
        m_impl->process.kill();
        m_impl->process.waitForFinished(5000);
    }
}

bool ToolProcess::finished() const { return m_impl->process.state() == QProcess::NotRunning; }

ToolResult ToolProcess::result() const
{
    ToolResult r;
    r.finished = finished();
    r.exitCode = r.finished && m_impl->process.exitStatus() == QProcess::NormalExit ? m_impl->process.exitCode() : -1;
    r.output = QString::fromLocal8Bit(m_impl->process.readAll());
    return r;
}

ToolResult runTool(const QString &program, const QStringList &arguments, int timeoutMs)
{
    ToolProcess process(program, arguments);
    pacs::test::waitUntil([&] { return process.finished(); }, timeoutMs);
    return process.result();
}

void Recorder::checkThread()
{
    if (QThread::currentThread() != QCoreApplication::instance()->thread())
        offMainThread = true;
}

void Recorder::associationRequest(ToolkitConnection &connection, bool &isOK)
{
    checkThread();
    callingTitles << connection.callingTitle();
    calledTitles << connection.calledTitle();
    offered << connection.offeredContexts();
    if (onAssociation)
        onAssociation(connection, isOK);
    else if (!connection.offeredContexts().isEmpty())
        isOK = true;
}

void Recorder::verifyReceived(ToolkitConnection &connection, int &status)
{
    checkThread();
    ++echoes;
    status = 0;
    if (onVerify)
        onVerify(connection, status);
}

void Recorder::imageReceived(ToolkitConnection &connection, ToolkitImage &image)
{
    checkThread();
    receivedUids << image.instanceUid();
    if (onImage) {
        onImage(connection, image);
        return;
    }
    const QString path = storeDir + QLatin1Char('/') + image.instanceUid() + QStringLiteral(".dcm");
    connection.setUserTag(image.instanceUid());
    connection.saveImageAsync(image, path, true, QStringLiteral("1.2.840.10008.1.2.4.57"));
}

void Recorder::queryRequest(ToolkitConnection &connection)
{
    checkThread();
    commands << connection.commandName();
    roots << connection.queryRoot();
    levels << connection.requestIdentifier().findAttribute(0x0008, 0x0052).attributeText();
    moveDestinations << connection.moveDestination();
    if (onQuery)
        onQuery(connection);
}

void Recorder::actionUpdate(ToolkitConnection &, const QString &, const QString &, int, int)
{
    checkThread();
    ++updates;
}

void Recorder::actionComplete(ToolkitConnection &connection, const QString &action, const QString &tag, bool success,
                              const QString &errorMessage)
{
    checkThread();
    completions << Completion{action, tag, success, errorMessage};
    if (onComplete) {
        onComplete(connection, action, success, errorMessage);
        return;
    }
    if (action == QLatin1String("SaveImage") && success) {
        savedPaths << storeDir + QLatin1Char('/') + connection.userTag() + QStringLiteral(".dcm");
        connection.setStatus(0);
    }
}

void Recorder::outgoingActionComplete(ToolkitConnection &connection, const QString &action, const QString &tag,
                                      bool success, const QString &errorMessage)
{
    checkThread();
    outgoingCompletions << Completion{action, tag, success, errorMessage};
    if (onOutgoingComplete)
        onOutgoingComplete(connection, action, success, errorMessage);
}

void Recorder::outgoingActionUpdate(ToolkitConnection &, const QString &, const QString &, int, int)
{
    checkThread();
    ++updates;
}

void Recorder::outgoingAssociationClosed(ToolkitConnection &)
{
    checkThread();
    ++outgoingClosed;
}

ListenerFixture::ListenerFixture()
{
    events.storeDir = dir.path() + QStringLiteral("/store");
    listener.startListening(0);
}

int freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

StoreScp::StoreScp(const QString &dir, const QString &aeTitle, const QStringList &extra) : port(freePort()), folder(dir)
{
    QDir().mkpath(dir);
    process = std::make_unique<ToolProcess>(QStringLiteral("storescp"),
                                            QStringList{QStringLiteral("-od"), dir, QStringLiteral("-aet"), aeTitle} + extra
                                                << QString::number(port));
    ready = pacs::test::waitUntil([&] {
        return ToolkitUtility::echoTest(QStringLiteral("127.0.0.1"), port, QStringLiteral("PROBE"), aeTitle) == 0;
    }, 15000);
}

QStringList StoreScp::receivedFiles() const
{
    QStringList files;
    for (const QString &name : QDir(folder).entryList(QDir::Files))
        files << folder + QLatin1Char('/') + name;
    return files;
}

} // namespace pacs::toolkit::test
