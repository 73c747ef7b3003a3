#include "dicom/toolkit/detail/DescriptorConsumer.h"

#include <dcmtk/dcmdata/dcerror.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <sys/uio.h>
#include <unistd.h>

namespace pacs::toolkit::detail {

namespace {
constexpr size_t kGathered = 64 * 1024; // pieces up to this size are gathered
}

DescriptorConsumer::DescriptorConsumer(int fd) : m_fd(fd)
{
    m_gathered.reserve(kGathered);
}

OFCondition DescriptorConsumer::status() const
{
    if (m_error == 0)
        return EC_Normal;
    return makeOFCondition(OFM_dcmdata, 19, OF_error, std::strerror(m_error));
}

offile_off_t DescriptorConsumer::avail() const
{
    // Everything is taken at once: DCMTK then writes each value in one call.
    return m_error == 0 ? offile_off_t(std::numeric_limits<int32_t>::max()) : 0;
}

offile_off_t DescriptorConsumer::write(const void *buf, offile_off_t buflen)
{
    if (m_error != 0 || buflen <= 0)
        return 0;
    const char *data = static_cast<const char *>(buf);
    const size_t length = size_t(buflen);
    if (m_gathered.size() + length <= kGathered) {
        m_gathered.insert(m_gathered.end(), data, data + length);
        return buflen;
    }
    if (!writeOut(m_gathered.data(), m_gathered.size(), data, length))
        return 0;
    m_gathered.clear();
    return buflen;
}

void DescriptorConsumer::flush()
{
    if (m_error == 0 && !m_gathered.empty() && writeOut(m_gathered.data(), m_gathered.size(), nullptr, 0))
        m_gathered.clear();
}

bool DescriptorConsumer::writeOut(const char *first, size_t firstLength, const char *second, size_t secondLength)
{
    iovec parts[2] = {{const_cast<char *>(first), firstLength}, {const_cast<char *>(second), secondLength}};
    int at = firstLength > 0 ? 0 : 1;
    const int count = secondLength > 0 ? 2 : 1;
    while (at < count) {
        const ssize_t n = ::writev(m_fd, parts + at, count - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_error = n < 0 ? errno : EIO;
            return false;
        }
        m_written += n;
        // What the call took, from the parts in order; a short write goes on from there.
        size_t taken = size_t(n);
        while (at < count && taken >= parts[at].iov_len) {
            taken -= parts[at].iov_len;
            ++at;
        }
        if (at < count) {
            parts[at].iov_base = static_cast<char *>(parts[at].iov_base) + taken;
            parts[at].iov_len -= taken;
        }
    }
    return true;
}

} // namespace pacs::toolkit::detail
