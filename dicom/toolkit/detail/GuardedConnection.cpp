#include "dicom/toolkit/detail/GuardedConnection.h"

#include "dicom/toolkit/detail/TlsLayers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/time.h>
#include <utility>

namespace pacs::toolkit::detail {

void setBlockingTimeouts(int socket, int milliseconds)
{
    timeval limit{};
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

GuardedConnection::GuardedConnection(DcmNativeSocketType socket, std::unique_ptr<DcmTransportConnection> inner,
                                           std::string prefetched, bool handshakeDone, bool plainTcp)
    : DcmTransportConnection(socket), m_inner(std::move(inner)), m_plainTcp(plainTcp),
      m_prefetched(std::move(prefetched)), m_handshakeDone(handshakeDone)
{
}

GuardedConnection::~GuardedConnection() = default; // the inner connection closes what is still open

OFCondition GuardedConnection::serverSideHandshake()
{
    if (m_handshakeDone)
        return EC_Normal;
    setBlockingTimeouts(int(getSocket()), kTlsHandshakeSeconds * 1000);
    const OFCondition cond = m_inner->serverSideHandshake();
    setBlockingTimeouts(int(getSocket()), 0);
    m_handshakeDone = cond.good();
    return cond;
}

OFCondition GuardedConnection::clientSideHandshake()
{
    setBlockingTimeouts(int(getSocket()), kTlsHandshakeSeconds * 1000);
    const OFCondition cond = m_inner->clientSideHandshake();
    setBlockingTimeouts(int(getSocket()), 0);
    m_handshakeDone = cond.good();
    return cond;
}

OFCondition GuardedConnection::renegotiate(const char *newSuite)
{
    return m_inner->renegotiate(newSuite);
}

ssize_t GuardedConnection::read(void *buf, size_t nbyte)
{
    const size_t left = m_prefetched.size() - m_offset;
    if (left == 0) {
        m_readable = false;
        const ssize_t n = m_inner->read(buf, nbyte);
#ifdef TCP_QUICKACK
        // A sender with Nagle on holds the data set behind its command until
        // that is acknowledged; a delayed acknowledgement would make every
        // small image wait 40 ms. Linux falls back to delaying after a while,
        // so the request is made again after each read.
        if (n > 0) {
            const int on = 1;
            ::setsockopt(int(getSocket()), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on));
        }
#endif
        return n;
    }
    const size_t n = std::min(left, nbyte);
    std::memcpy(buf, m_prefetched.data() + m_offset, n);
    m_offset += n;
    if (m_offset == m_prefetched.size()) {
        m_prefetched = std::string(); // the request is parsed; give its memory back
        m_offset = 0;
    }
    return ssize_t(n);
}

bool GuardedConnection::pduContinuesAfter(const uint8_t *bytes, size_t count)
{
    size_t at = 0;
    while (at < count) {
        if (m_pduLeft == 0) {
            // A PDU header: type, reserved, 4-byte length.
            const size_t take = std::min(count - at, sizeof(m_header) - m_headerHave);
            std::memcpy(m_header + m_headerHave, bytes + at, take);
            m_headerHave += take;
            at += take;
            if (m_headerHave < sizeof(m_header))
                return true;
            m_headerHave = 0;
            if (m_header[0] < 0x01 || m_header[0] > 0x07) {
                m_trackingPdus = false;
                return false;
            }
            m_pduLeft = uint64_t(m_header[2]) << 24 | uint64_t(m_header[3]) << 16 | uint64_t(m_header[4]) << 8
                        | m_header[5];
            m_pduLength = m_pduLeft;
            m_pdata = m_header[0] == 0x04;
            m_pdvHave = 0;
            if (m_pduLeft == 0)
                m_lastEndedMessage = true;
            continue;
        }
        const size_t take = size_t(std::min<uint64_t>(m_pduLeft, count - at));
        if (m_pdata && m_pdvHave < sizeof(m_pdvHeader)) {
            const size_t header = std::min(take, sizeof(m_pdvHeader) - m_pdvHave);
            std::memcpy(m_pdvHeader + m_pdvHave, bytes + at, header);
            m_pdvHave += header;
        }
        m_pduLeft -= take;
        at += take;
        if (m_pduLeft == 0) {
            // An inner fragment: a P-DATA PDU of one value whose control
            // byte does not mark the message's last fragment. The next PDU
            // of the same message follows at once.
            const uint64_t valueLength = uint64_t(m_pdvHeader[0]) << 24 | uint64_t(m_pdvHeader[1]) << 16
                                         | uint64_t(m_pdvHeader[2]) << 8 | m_pdvHeader[3];
            const bool innerFragment = m_pdata && m_pdvHave == sizeof(m_pdvHeader) && valueLength + 4 == m_pduLength
                                       && (m_pdvHeader[5] & 0x02) == 0;
            m_lastEndedMessage = !innerFragment;
        }
    }
    return m_pduLeft > 0 || m_headerHave > 0;
}

ssize_t GuardedConnection::write(void *buf, size_t nbyte)
{
    if (!m_plainTcp)
        return m_inner->write(buf, nbyte);
    // Counting may find that the stream is not PDUs after all; it then stops for good.
    const bool unfinished = m_trackingPdus && pduContinuesAfter(static_cast<const uint8_t *>(buf), nbyte);
    const bool held = unfinished && m_trackingPdus;
    // The kernel sends full segments of a message's inner fragments and
    // pushes at the message's end: the peer then reads whole PDUs where it
    // would wake for each (a 512 KB image is 32 PDUs to a peer taking 16 KB).
    const bool more = held || (m_trackingPdus && !m_lastEndedMessage);
    if (held && m_heldSize + nbyte <= sizeof(m_held)) {
        std::memcpy(m_held + m_heldSize, buf, nbyte); // the PDU's next piece follows at once
        m_heldSize += nbyte;
        return ssize_t(nbyte);
    }
    // As DCMTK's own connection writes: all of it on the blocking socket, or an error.
    iovec pieces[2] = {{m_held, m_heldSize}, {buf, nbyte}};
    msghdr message{};
    message.msg_iov = m_heldSize ? pieces : pieces + 1;
    message.msg_iovlen = m_heldSize ? 2 : 1;
    const size_t total = m_heldSize + nbyte;
    size_t sent = 0;
    while (sent < total) {
        const ssize_t n = ::sendmsg(int(getSocket()), &message, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // Where the stream stands is unknown now: nothing more is held or counted.
            m_heldSize = 0;
            m_trackingPdus = false;
            return -1;
        }
        sent += size_t(n);
        // A partial write: go on from where it stopped.
        size_t skip = size_t(n);
        while (message.msg_iovlen > 0 && skip >= message.msg_iov->iov_len) {
            skip -= message.msg_iov->iov_len;
            ++message.msg_iov;
            --message.msg_iovlen;
        }
        if (message.msg_iovlen > 0) {
            message.msg_iov->iov_base = static_cast<uint8_t *>(message.msg_iov->iov_base) + skip;
            message.msg_iov->iov_len -= skip;
        }
    }
    m_heldSize = 0;
    return ssize_t(nbyte);
}

void GuardedConnection::close()
{
    m_inner->close();
}

void GuardedConnection::closeTransportConnection()
{
    m_inner->closeTransportConnection();
}

unsigned long GuardedConnection::getPeerCertificateLength()
{
    return m_inner->getPeerCertificateLength();
}

unsigned long GuardedConnection::getPeerCertificate(void *buf, unsigned long bufLen)
{
    return m_inner->getPeerCertificate(buf, bufLen);
}

OFBool GuardedConnection::networkDataAvailable(int timeout)
{
    if (m_offset < m_prefetched.size())
        return OFTrue;
    // DCMTK asks twice before each PDU it reads (its message layer, then its
    // PDU layer); what a wait found readable stays so until the next read.
    if (m_readable)
        return OFTrue;
    m_readable = m_inner->networkDataAvailable(timeout);
    return m_readable;
}

OFBool GuardedConnection::isTransparentConnection()
{
    return m_inner->isTransparentConnection();
}

OFString &GuardedConnection::dumpConnectionParameters(OFString &str)
{
    return m_inner->dumpConnectionParameters(str);
}

} // namespace pacs::toolkit::detail
