#include "dicom/toolkit/detail/GuardedTransportLayer.h"

#include "dicom/toolkit/detail/GuardedConnection.h"

#include <dcmtk/dcmtls/tlslayer.h>

#include <utility>

namespace pacs::toolkit::detail {

namespace {
// Handed over on the intake's own thread, inside its ASC_receiveAssociation call.
thread_local std::string t_prefetched;
thread_local std::unique_ptr<DcmTransportConnection> t_secure;
} // namespace

GuardedTransportLayer::GuardedTransportLayer(std::shared_ptr<DcmTLSTransportLayer> tls) : m_tls(std::move(tls)) {}

GuardedTransportLayer::~GuardedTransportLayer() = default;

void GuardedTransportLayer::setPrefetched(std::string bytes, std::unique_ptr<DcmTransportConnection> secure)
{
    t_prefetched = std::move(bytes);
    t_secure = std::move(secure);
}

DcmTransportConnection *GuardedTransportLayer::createConnection(DcmNativeSocketType openSocket, OFBool useSecureLayer)
{
    std::unique_ptr<DcmTransportConnection> inner = std::exchange(t_secure, nullptr);
    const bool handshakeDone = inner != nullptr;
    if (!inner && useSecureLayer) {
        if (!m_tls)
            return nullptr; // DCMTK reports that no secure layer exists
        inner.reset(m_tls->createConnection(openSocket, OFTrue));
        if (!inner)
            return nullptr;
    }
    const bool plainTcp = !inner;
    if (plainTcp)
        inner = std::make_unique<DcmTCPConnection>(openSocket);
    return new GuardedConnection(openSocket, std::move(inner), std::exchange(t_prefetched, std::string()),
                                 handshakeDone, plainTcp);
}

} // namespace pacs::toolkit::detail
