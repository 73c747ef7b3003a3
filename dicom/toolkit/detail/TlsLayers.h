#pragma once

// The DCMTK transport layers behind ToolkitTls: one per network role, built
// once per configuration and shared by every association (OpenSSL makes each
// connection from the shared context safely on any thread).

#include <QString>

#include <memory>

class DcmTLSTransportLayer;

namespace pacs::toolkit::detail {

struct TlsLayers
{
    std::shared_ptr<DcmTLSTransportLayer> acceptor;  // null: the listener speaks plain TCP
    std::shared_ptr<DcmTLSTransportLayer> requestor; // null: outgoing associations are plain
    QString failure;                                 // set: the configuration could not be loaded
};

// The configuration in force (never null).
std::shared_ptr<const TlsLayers> currentTlsLayers();

// How long a TLS handshake may take, either side.
constexpr int kTlsHandshakeSeconds = 10;

} // namespace pacs::toolkit::detail
