#pragma once

// The transport connection DCMTK gets for every association of ours: the
// connection on the socket itself (plain TCP or TLS) behind two guards.
//
// - The intake reads a peer's whole A-ASSOCIATE-RQ itself (and does the TLS
//   handshake first), bounded by its own deadline and under no lock; DCMTK
//   then parses the request from memory through this connection, and
//   everything after comes from the socket as usual.
// - A TLS handshake DCMTK runs itself (the outgoing side) is bounded in time:
//   OpenSSL's handshake on a blocking socket would wait for ever on a peer
//   that accepts the connection and then says nothing.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmtrans.h>

#include <memory>
#include <string>

namespace pacs::toolkit::detail {

class GuardedConnection : public DcmTransportConnection
{
public:
    // `inner` is the connection on `socket`; `prefetched` the bytes the intake
    // has read through it; `handshakeDone` true when the intake has already
    // done the server side of its TLS handshake.
    GuardedConnection(DcmNativeSocketType socket, std::unique_ptr<DcmTransportConnection> inner,
                         std::string prefetched, bool handshakeDone);
    ~GuardedConnection() override;

    OFCondition serverSideHandshake() override;
    OFCondition clientSideHandshake() override;
    OFCondition renegotiate(const char *newSuite) override;
    ssize_t read(void *buf, size_t nbyte) override;
    ssize_t write(void *buf, size_t nbyte) override;
    void close() override;
    void closeTransportConnection() override;
    unsigned long getPeerCertificateLength() override;
    unsigned long getPeerCertificate(void *buf, unsigned long bufLen) override;
    OFBool networkDataAvailable(int timeout) override;
    OFBool isTransparentConnection() override;
    OFString &dumpConnectionParameters(OFString &str) override;

private:
    std::unique_ptr<DcmTransportConnection> m_inner;
    std::string m_prefetched;
    size_t m_offset = 0;
    bool m_handshakeDone;
};

// Sets the send and receive time-outs of a blocking socket (0: none), so a
// blocking call such as OpenSSL's handshake ends when the peer goes quiet.
void setBlockingTimeouts(int socket, int milliseconds);

} // namespace pacs::toolkit::detail
