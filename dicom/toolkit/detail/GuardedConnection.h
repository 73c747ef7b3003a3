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
//
// On plain TCP it also keeps the pieces of one PDU together: DCMTK writes a
// P-DATA PDU's header (12 bytes) and its data in two calls, and with Nagle
// off each would be a system call and a segment of its own. A short write
// that leaves its PDU unfinished is held and goes out with the next one in
// one call; a longer one goes with MSG_MORE, so the kernel sends it with the
// rest.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmtrans.h>

#include <cstdint>
#include <memory>
#include <string>

namespace pacs::toolkit::detail {

class GuardedConnection : public DcmTransportConnection
{
public:
    // `inner` is the connection on `socket`; `prefetched` the bytes the intake
    // has read through it; `handshakeDone` true when the intake has already
    // done the server side of its TLS handshake.
    // `plainTcp`: `inner` is DCMTK's own connection on the bare socket.
    GuardedConnection(DcmNativeSocketType socket, std::unique_ptr<DcmTransportConnection> inner,
                         std::string prefetched, bool handshakeDone, bool plainTcp = false);
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
    // Counts the write through the PDUs it covers; true when the PDU it ends in is unfinished.
    bool pduContinuesAfter(const uint8_t *bytes, size_t count);

    std::unique_ptr<DcmTransportConnection> m_inner;
    bool m_plainTcp;
    bool m_trackingPdus = true; // off for good once the stream does not look like PDUs
    uint64_t m_pduLeft = 0;     // bytes of the current PDU not yet written
    uint8_t m_header[6] = {};   // a PDU header split over writes, as far as it came
    size_t m_headerHave = 0;
    // A P-DATA PDU's first value header (length, context, control byte), as far as it came.
    uint8_t m_pdvHeader[6] = {};
    size_t m_pdvHave = 0;
    uint64_t m_pduLength = 0;     // of the current PDU
    bool m_pdata = false;         // the current PDU is P-DATA
    bool m_lastEndedMessage = true; // the last PDU finished was not a message's inner fragment
    uint8_t m_held[64] = {};    // a short write held for the next one
    size_t m_heldSize = 0;
    std::string m_prefetched;
    size_t m_offset = 0;
    bool m_readable = false; // a wait found data that no read has taken yet
    bool m_handshakeDone;
};

// Sets the send and receive time-outs of a blocking socket (0: none), so a
// blocking call such as OpenSSL's handshake ends when the peer goes quiet.
void setBlockingTimeouts(int socket, int milliseconds);

} // namespace pacs::toolkit::detail
