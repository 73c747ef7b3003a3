#include "dicom/toolkit/detail/GuardedConnection.h"

#include "dicom/toolkit/detail/TlsLayers.h"

#include <algorithm>
#include <cstring>
#include <sys/socket.h>
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
                                           std::string prefetched, bool handshakeDone)
    : DcmTransportConnection(socket), m_inner(std::move(inner)), m_prefetched(std::move(prefetched)),
      m_handshakeDone(handshakeDone)
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
    if (left == 0)
        return m_inner->read(buf, nbyte);
    const size_t n = std::min(left, nbyte);
    std::memcpy(buf, m_prefetched.data() + m_offset, n);
    m_offset += n;
    if (m_offset == m_prefetched.size()) {
        m_prefetched = std::string(); // the request is parsed; give its memory back
        m_offset = 0;
    }
    return ssize_t(n);
}

ssize_t GuardedConnection::write(void *buf, size_t nbyte)
{
    return m_inner->write(buf, nbyte);
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
    return m_inner->networkDataAvailable(timeout);
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
