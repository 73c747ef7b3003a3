#include "dicom/toolkit/detail/AssociationIntake.h"

#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dul.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pacs::toolkit::detail {

namespace {
// A-ASSOCIATE-RQ PDUs are a few kilobytes; wait for at most this much of one
// (the kernel caps the low-water mark at half the receive buffer anyway).
constexpr int kLowWaterCap = 64 * 1024;
constexpr int kPduHeader = 6;

void setLowWater(int socket, int bytes)
{
    ::setsockopt(socket, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof(bytes));
}

// dcmExternalSocketHandle is one value for the whole process.
std::mutex &dcmtkIntakeMutex()
{
    static std::mutex mutex;
    return mutex;
}
} // namespace

bool awaitFirstPdu(int socket, int seconds)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    int needed = kPduHeader;
    bool ready = false;
    for (;;) {
        // poll() reports the socket readable only once `needed` bytes are there (or at EOF).
        setLowWater(socket, needed);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{socket, POLLIN, 0};
        const int r = ::poll(&p, 1, int(std::min<long long>(left, 1000LL * 3600)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || (p.revents & (POLLERR | POLLNVAL)))
            break;
        unsigned char header[kPduHeader];
        const ssize_t n = ::recv(socket, header, sizeof(header), MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            break; // gone without a word (or cancelled)
        if (n < kPduHeader) {
            ready = true; // stopped part-way: DCMTK sees the short PDU and fails at once
            break;
        }
        const uint32_t length = (uint32_t(header[2]) << 24) | (uint32_t(header[3]) << 16)
                                | (uint32_t(header[4]) << 8) | uint32_t(header[5]);
        const int total = int(std::min<uint64_t>(uint64_t(kPduHeader) + length, kLowWaterCap));
        int available = 0;
        if (::ioctl(socket, FIONREAD, &available) == 0 && available >= total) {
            ready = true;
            break;
        }
        if (needed >= total) {
            ready = true; // woken short of the whole PDU: end of stream, DCMTK reports it
            break;
        }
        needed = total;
    }
    setLowWater(socket, 1);
    return ready;
}

void Intake::cancel()
{
    std::lock_guard lock(m_mutex);
    m_cancelled = true;
    if (m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR);
}

T_ASC_Association *Intake::receive(T_ASC_Network *network, int socket, int seconds, long maxReceivePdu)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled) {
            ::close(socket);
            return nullptr;
        }
        m_socket = socket;
    }
    // Reads that stall part-way through a PDU are bounded too.
    const timeval stalled{seconds, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &stalled, sizeof(stalled));

    T_ASC_Association *assoc = nullptr;
    if (awaitFirstPdu(socket, seconds)) {
        // DCMTK gets its own descriptor: whatever it does with it on failure,
        // ours is closed below exactly once. Above 0, as DCMTK requires.
        const int handle = ::fcntl(socket, F_DUPFD_CLOEXEC, 3);
        sockaddr_storage peer{};
        socklen_t length = sizeof(peer);
        if (handle >= 0 && ::getpeername(handle, reinterpret_cast<sockaddr *>(&peer), &length) == 0) {
            std::lock_guard global(dcmtkIntakeMutex());
            dcmExternalSocketHandle.set(handle);
            const OFCondition cond = ASC_receiveAssociation(network, &assoc, maxReceivePdu, nullptr, nullptr, OFFalse,
                                                            DUL_NOBLOCK, seconds);
            dcmExternalSocketHandle.set(-1);
            if (cond.bad() && assoc) {
                // Not DICOM or cut off: drop it (closes DCMTK's descriptor).
                ASC_dropAssociation(assoc);
                ASC_destroyAssociation(&assoc);
            }
            if (cond.bad())
                assoc = nullptr;
        } else if (handle >= 0) {
            ::close(handle);
        }
    }
    {
        std::lock_guard lock(m_mutex);
        m_socket = -1;
    }
    if (!assoc)
        ::shutdown(socket, SHUT_RDWR); // the peer learns at once, whatever descriptors remain
    ::close(socket);
    return assoc;
}

} // namespace pacs::toolkit::detail
