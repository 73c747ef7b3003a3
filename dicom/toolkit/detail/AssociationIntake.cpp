#include "dicom/toolkit/detail/AssociationIntake.h"

#include "dicom/toolkit/detail/GuardedConnection.h"
#include "dicom/toolkit/detail/GuardedTransportLayer.h"

#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <memory>
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

int millisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::clamp<long long>(left, 0, 1000LL * 3600));
}

// Appends exactly `count` bytes to `out` unless the deadline passes, the peer
// closes or errs first (a cancel shuts the socket down, which reads as a close).
bool readExactly(const PeerReader &read, std::string &out, size_t count, Clock::time_point deadline)
{
    const size_t target = out.size() + count;
    char buffer[kReadChunk];
    while (out.size() < target) {
        const int left = millisecondsLeft(deadline);
        if (left <= 0)
            return false;
        const long n = read(buffer, std::min(sizeof(buffer), target - out.size()), left);
        if (n <= 0)
            return false;
        out.append(buffer, size_t(n));
    }
    return true;
}

PeerReader socketReader(int socket)
{
    return [socket](char *buffer, size_t count, int milliseconds) -> long {
        const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            const int left = millisecondsLeft(deadline);
            if (left <= 0)
                return -1;
            pollfd p{socket, POLLIN, 0};
            const int r = ::poll(&p, 1, left);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0 || (p.revents & (POLLERR | POLLNVAL)))
                return -1;
            const ssize_t n = ::recv(socket, buffer, count, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
            return long(n);
        }
    };
}

// A TLS connection reads on a blocking socket: the socket's time-out bounds each read.
PeerReader secureReader(DcmTransportConnection &connection, int socket)
{
    return [&connection, socket](char *buffer, size_t count, int milliseconds) -> long {
        setBlockingTimeouts(socket, std::max(milliseconds, 1));
        const ssize_t n = connection.read(buffer, count);
        return n < 0 ? -1 : long(n);
    };
}
} // namespace

std::string readAssociateRequest(const PeerReader &read, int seconds)
{
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    std::string pdu;
    if (!readExactly(read, pdu, kPduHeader, deadline))
        return {};
    const auto byte = [&pdu](size_t i) { return uint32_t(static_cast<unsigned char>(pdu[i])); };
    const uint32_t length = (byte(2) << 24) | (byte(3) << 16) | (byte(4) << 8) | byte(5);
    if (byte(0) != kAssociateRqType || length > kMaxAssociateRequest)
        return {};
    if (!readExactly(read, pdu, length, deadline))
        return {};
    return pdu;
}

std::string readAssociateRequest(int socket, int seconds)
{
    return readAssociateRequest(socketReader(socket), seconds);
}

void Intake::cancel()
{
    std::lock_guard lock(m_mutex);
    m_cancelled = true;
    if (m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR);
}

T_ASC_Association *Intake::receive(T_ASC_Network *network, int socket, int seconds, long maxReceivePdu,
                                   DcmTLSTransportLayer *tls)
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
    // DCMTK gets its own descriptor: whatever it does with it on failure, ours
    // is closed below exactly once. Above 0, as DCMTK requires. A TLS
    // connection is made on it, as DCMTK keeps using that connection.
    int handle = ::fcntl(socket, F_DUPFD_CLOEXEC, 3);
    std::unique_ptr<DcmTransportConnection> secure;
    std::string request;
    if (handle >= 0 && tls) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        secure.reset(tls->createConnection(handle, OFTrue));
        if (secure) {
            setBlockingTimeouts(handle, std::max(millisecondsLeft(deadline), 1));
            if (secure->serverSideHandshake().good())
                request = readAssociateRequest(secureReader(*secure, handle), std::max(1, millisecondsLeft(deadline) / 1000));
            setBlockingTimeouts(handle, 0);
        }
        if (request.empty()) {
            secure.reset(); // closes `handle`
            handle = -1;
        }
    } else if (handle >= 0) {
        request = readAssociateRequest(socket, seconds);
    }
    sockaddr_storage peer{};
    socklen_t length = sizeof(peer);
    if (!request.empty() && ::getpeername(handle, reinterpret_cast<sockaddr *>(&peer), &length) == 0) {
        const bool useTls = secure != nullptr;
        std::lock_guard global(dcmtkIntakeMutex());
        GuardedTransportLayer::setPrefetched(std::move(request), std::move(secure));
        dcmExternalSocketHandle.set(handle);
        const OFCondition cond = ASC_receiveAssociation(network, &assoc, maxReceivePdu, nullptr, nullptr,
                                                        useTls ? OFTrue : OFFalse, DUL_NOBLOCK, seconds);
        dcmExternalSocketHandle.set(-1);
        GuardedTransportLayer::setPrefetched({}); // unused when DCMTK failed before creating the connection
        if (cond.bad() && assoc) {
            // Not DICOM or cut off: drop it (closes DCMTK's descriptor).
            ASC_dropAssociation(assoc);
            ASC_destroyAssociation(&assoc);
        }
        if (cond.bad())
            assoc = nullptr;
    } else if (secure) {
        secure.reset(); // closes `handle`
    } else if (handle >= 0) {
        ::close(handle);
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
