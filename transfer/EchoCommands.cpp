#include "transfer/EchoCommands.h"

#include "core/ServerOptions.h"
#include "core/TextValues.h"
#include "dicom/toolkit/ToolkitUtility.h"

namespace pacs::EchoCommands {

namespace {
QString outcome(int status)
{
    return status == 0 ? QStringLiteral("OK") : QStringLiteral("fail");
}
} // namespace

QString testStorageNode(const ServerOptions &options, const QString &address)
{
    const int port = roundedValue(options.storagePort());
    if (port < 0 || port > 65535)
        return QStringLiteral("Invalid port number") + QLatin1Char(' ') + address + QLatin1Char(' ') + QString::number(port)
               + QLatin1Char(' ') + options.aeName() + QLatin1Char(' ') + options.storageAE();
    return outcome(toolkit::ToolkitUtility::echoTest(address, port, options.aeName(), options.storageAE()));
}

QString echo(const QString &address, const QString &portText, const QString &callingTitle, const QString &calledTitle)
{
    bool ok = false;
    const int port = portText.trimmed().toInt(&ok);
    if (!ok || port < 0 || port > 65535)
        return QStringLiteral("Type mismatch: \"") + portText + QStringLiteral("\" is not a port number");
    return outcome(toolkit::ToolkitUtility::echoTest(address, port, callingTitle, calledTitle));
}

} // namespace pacs::EchoCommands
