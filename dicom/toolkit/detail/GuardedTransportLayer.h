#pragma once

// The transport layer of every network of ours, incoming and outgoing: each
// connection DCMTK creates is a GuardedConnection. On the listener's network
// it carries the request bytes (and the TLS connection, handshake done) that
// the intake has prepared on the same thread; elsewhere it is a new plain or
// TLS connection whose handshake is bounded in time.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmlayer.h>

#include <memory>
#include <string>

class DcmTLSTransportLayer;
class DcmTransportConnection;

namespace pacs::toolkit::detail {

class GuardedTransportLayer : public DcmTransportLayer
{
public:
    // `tls` null: plain TCP only.
    explicit GuardedTransportLayer(std::shared_ptr<DcmTLSTransportLayer> tls = nullptr);
    ~GuardedTransportLayer() override;

    // What the next connection created on this thread starts from: the bytes
    // already read and, for TLS, the connection they were read through.
    static void setPrefetched(std::string bytes, std::unique_ptr<DcmTransportConnection> secure = nullptr);

    DcmTransportConnection *createConnection(DcmNativeSocketType openSocket, OFBool useSecureLayer) override;

    DcmTLSTransportLayer *tls() const { return m_tls.get(); }

private:
    std::shared_ptr<DcmTLSTransportLayer> m_tls;
};

} // namespace pacs::toolkit::detail
