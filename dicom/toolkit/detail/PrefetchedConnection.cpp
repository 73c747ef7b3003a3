#include "dicom/toolkit/detail/PrefetchedConnection.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace pacs::toolkit::detail {

PrefetchedConnection::PrefetchedConnection(DcmNativeSocketType socket, std::string prefetched)
    : DcmTCPConnection(socket), m_prefetched(std::move(prefetched))
{
}

ssize_t PrefetchedConnection::read(void *buf, size_t nbyte)
{
    const size_t left = m_prefetched.size() - m_offset;
    if (left == 0)
        return DcmTCPConnection::read(buf, nbyte);
    const size_t n = std::min(left, nbyte);
    std::memcpy(buf, m_prefetched.data() + m_offset, n);
    m_offset += n;
    if (m_offset == m_prefetched.size()) {
        m_prefetched = std::string(); // the request is parsed; give its memory back
        m_offset = 0;
    }
    return ssize_t(n);
}

OFBool PrefetchedConnection::networkDataAvailable(int timeout)
{
    if (m_offset < m_prefetched.size())
        return OFTrue;
    return DcmTCPConnection::networkDataAvailable(timeout);
}

} // namespace pacs::toolkit::detail
