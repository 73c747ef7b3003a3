#pragma once

#include <QString>

namespace pacs {

class ServerOptions;

// The operator's verification of a remote node; each returns the text of
// the message box that answers the click.
namespace EchoCommands {

// "Test": the configured storage node ("Send To" address, StoragePort,
// AEName, StorageAE).
QString testStorageNode(const ServerOptions &options, const QString &address);
// "Echo": any node as typed in.
QString echo(const QString &address, const QString &portText, const QString &callingTitle, const QString &calledTitle);

} // namespace EchoCommands
} // namespace pacs
