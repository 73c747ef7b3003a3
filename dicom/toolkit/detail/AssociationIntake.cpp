#include "dicom/toolkit/detail/AssociationIntake.h"

#include "dicom/toolkit/detail/IntakeTransportLayer.h"

#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dul.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pacs::toolkit::detail {

namespace {
using Clock = std::chrono::steady_clock;
constexpr size_t kPduHeader = 6;
constexpr unsigned char kAssociateRqType = 0x01;
constexpr size_t kReadChunk = 64 * 1024;

// dcmExternalSocketHandle is one value for the whole process.
std::mutex &dcmtkIntakeMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Appends exactly `count` bytes to `out` unless the deadline passes, the peer
// closes or errs first (a cancel shuts the socket down, which reads as a close).
bool readExactly(int socket, std::string &out, size_t count, Clock::time_point deadline)
{
    const size_t target = out.size() + count;
    char buffer[kReadChunk];
    while (out.size() < target) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{socket, POLLIN, 0};
        const int r = ::poll(&p, 1, int(std::min<long long>(left, 1000LL * 3600)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || (p.revents & (POLLERR | POLLNVAL)))
            return false;
        const ssize_t n = ::recv(socket, buffer, std::min(sizeof(buffer), target - out.size()), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n <= 0)
            return false;
        out.append(buffer, size_t(n));
    }
    return true;
}
} // namespace

std::string readAssociateRequest(int socket, int seconds)
{
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    std::string pdu;
    if (!readExactly(socket, pdu, kPduHeader, deadline))
        return {};
    const auto byte = [&pdu](size_t i) { return uint32_t(static_cast<unsigned char>(pdu[i])); };
    const uint32_t length = (byte(2) << 24) | (byte(3) << 16) | (byte(4) << 8) | byte(5);
    if (byte(0) != kAssociateRqType || length > kMaxAssociateRequest)
        return {};
    if (!readExactly(socket, pdu, length, deadline))
        return {};
    return pdu;
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

    T_ASC_Association *assoc = nullptr;
    std::string request = readAssociateRequest(socket, seconds);
    if (!request.empty()) {
        // DCMTK gets its own descriptor: whatever it does with it on failure,
        // ours is closed below exactly once. Above 0, as DCMTK requires.
        const int handle = ::fcntl(socket, F_DUPFD_CLOEXEC, 3);
        sockaddr_storage peer{};
        socklen_t length = sizeof(peer);
        if (handle >= 0 && ::getpeername(handle, reinterpret_cast<sockaddr *>(&peer), &length) == 0) {
            std::lock_guard global(dcmtkIntakeMutex());
            IntakeTransportLayer::setPrefetched(std::move(request));
            dcmExternalSocketHandle.set(handle);
            const OFCondition cond = ASC_receiveAssociation(network, &assoc, maxReceivePdu, nullptr, nullptr, OFFalse,
                                                            DUL_NOBLOCK, seconds);
            dcmExternalSocketHandle.set(-1);
            IntakeTransportLayer::setPrefetched({}); // unused when DCMTK failed before creating the connection
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
