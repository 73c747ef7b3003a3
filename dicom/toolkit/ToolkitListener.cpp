#include "dicom/toolkit/ToolkitListener.h"

#include "dicom/toolkit/ToolkitConnection.h"
#include "dicom/toolkit/detail/AssociationIntake.h"
#include "dicom/toolkit/detail/EventSink.h"
#include "dicom/toolkit/detail/GuardedTransportLayer.h"
#include "dicom/toolkit/detail/Runtime.h"
#include "dicom/toolkit/detail/TlsLayers.h"

#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dul.h>

#include <cerrno>
#include <chrono>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pacs::toolkit {

namespace {
// Seconds a new connection gets to deliver its A-ASSOCIATE-RQ. The wait is on
// the connection's own thread; the listener goes on accepting meanwhile.
constexpr int kFirstPduSeconds = 5;
// The largest PDU the toolkit takes: an image arrives in half as many
// pieces as with 64 KB, each a header read, a body read and their acks.
constexpr long kMaxReceivePdu = ASC_MAXIMUMPDUSIZE;
// Connections that have not yet sent their association request each hold a
// thread for up to kFirstPduSeconds; beyond this many, new ones are closed at
// once, so a flood of silent peers cannot exhaust the process.
constexpr int kMaxWaitingPeers = 256;
// And no one address may take more than this many of those places: a flood
// of idle connections from one host is turned away while peers from other
// hosts are still taken in.
constexpr int kMaxWaitingPerAddress = 24;

std::string peerAddress(const sockaddr_storage &address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(address).sin_addr, text, sizeof(text));
    else if (address.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr, text, sizeof(text));
    return text;
}
} // namespace

ToolkitListener::ToolkitListener(ToolkitEvents *events) : m_sink(std::make_shared<detail::EventSink>())
{
    detail::initializeRuntime();
    m_sink->events = events;
}

ToolkitListener::~ToolkitListener()
{
    stopListening();
    {
        std::lock_guard lock(m_sessionsMutex);
        for (Session &session : m_sessions) {
            session.intake->cancel();
            session.connection->stopFromListener();
        }
    }
    reapSessions(true);
    m_sink->alive = false;
}

void ToolkitListener::setEvents(ToolkitEvents *events) { m_sink->events = events; }
ToolkitEvents *ToolkitListener::events() const { return m_sink->events; }

bool ToolkitListener::startListening(int port)
{
    // TLS as configured now; a configuration that failed to load leaves the
    // archive deaf rather than listening unprotected.
    const auto tls = detail::currentTlsLayers();
    if (m_network) {
        if (port == m_port && tls->acceptor == m_tls && tls->failure.isEmpty())
            return true;
        stopListening();
    }
    if (!tls->failure.isEmpty()) {
        m_lastError = tls->failure;
        return false;
    }
    T_ASC_Network *network = nullptr;
    const OFCondition cond = ASC_initializeNetwork(NET_ACCEPTOR, port, kFirstPduSeconds, &network);
    if (cond.bad()) {
        m_lastError = detail::conditionText(cond, QString(), QStringLiteral("listen on port %1").arg(port));
        return false;
    }
    // The intake reads each request itself and DCMTK parses it from memory.
    ASC_setTransportLayer(network, new detail::GuardedTransportLayer(tls->acceptor), 1);
    const int socket = int(DUL_networkSocket(network->network));
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (::getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ASC_dropNetwork(&network);
        m_lastError = QStringLiteral("listen on port %1: cannot read the bound port").arg(port);
        return false;
    }
    // The accepting thread polls and must never block in accept() itself.
    ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK);

    m_network = network;
    m_tls = tls->acceptor;
    m_listenSocket = socket;
    m_port = ntohs(address.sin_port);
    m_lastError.clear();
    m_stop = false;
    m_acceptThread = std::thread([this, network] { acceptLoop(network); });
    return true;
}

void ToolkitListener::stopListening(int)
{
    if (!m_network)
        return;
    m_stop = true;
    ::shutdown(m_listenSocket, SHUT_RDWR); // wakes the accepting thread at once
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    {
        // Connections still waiting for their request use the network: end
        // their wait and let them finish with it before it goes.
        std::unique_lock lock(m_sessionsMutex);
        for (Session &session : m_sessions)
            session.intake->cancel();
        m_intakeDone.wait(lock, [this] { return m_inIntake == 0; });
    }
    ASC_dropNetwork(&m_network);
    m_network = nullptr;
    m_tls.reset();
    m_listenSocket = -1;
    m_port = 0;
}

void ToolkitListener::acceptLoop(T_ASC_Network *network)
{
    const int listenSocket = m_listenSocket;
    while (!m_stop) {
        pollfd p{listenSocket, POLLIN, 0};
        const int r = ::poll(&p, 1, 1000);
        if (m_stop)
            break;
        if (r <= 0)
            continue;
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof(peer);
        const int socket = ::accept4(listenSocket, reinterpret_cast<sockaddr *>(&peer), &peerLength, SOCK_CLOEXEC);
        if (socket < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the pending peer stays queued; give the
                // sessions a moment to release some instead of spinning.
                pollfd none{-1, 0, 0};
                ::poll(&none, 1, 100);
            }
            continue;
        }
        const std::string address = peerAddress(peer);
        bool crowded = false;
        {
            std::lock_guard lock(m_sessionsMutex);
            const auto waiting = m_waitingByAddress.find(address);
            crowded = m_inIntake >= kMaxWaitingPeers
                      || (waiting != m_waitingByAddress.end() && waiting->second >= kMaxWaitingPerAddress);
        }
        if (crowded) {
            ::close(socket);
            continue;
        }
        startSession(network, socket, address);
    }
}

void ToolkitListener::startSession(T_ASC_Network *network, int socket, const std::string &address)
{
    reapSessions(false);
    std::shared_ptr<ToolkitConnection> connection(new ToolkitConnection(false, m_sink));
    auto finished = std::make_shared<std::atomic<bool>>(false);
    auto intake = std::make_shared<detail::Intake>();
    std::lock_guard lock(m_sessionsMutex);
    ++m_inIntake;
    ++m_waitingByAddress[address];
    m_sessions.push_back({connection, std::thread([this, connection, network, socket, finished, intake, address,
                                                   tls = m_tls] {
                              T_ASC_Association *assoc = nullptr;
                              try {
                                  assoc = intake->receive(network, socket, kFirstPduSeconds, kMaxReceivePdu,
                                                          tls.get());
                              } catch (...) {
                                  connection->reportError(detail::failureText(
                                      detail::currentExceptionText(), QString(), QStringLiteral("A-ASSOCIATE")));
                              }
                              {
                                  std::lock_guard lock(m_sessionsMutex);
                                  --m_inIntake;
                                  if (--m_waitingByAddress[address] <= 0)
                                      m_waitingByAddress.erase(address);
                              }
                              m_intakeDone.notify_all();
                              try {
                                  if (assoc)
                                      connection->serve(assoc);
                              } catch (...) {
                                  connection->reportError(detail::failureText(detail::currentExceptionText(),
                                                                              connection->callingTitle(),
                                                                              QStringLiteral("association")));
                              }
                              finished->store(true);
                          }),
                          finished, intake});
}

void ToolkitListener::reapSessions(bool all)
{
    std::list<Session> done;
    {
        std::lock_guard lock(m_sessionsMutex);
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            if (all || it->finished->load()) {
                done.splice(done.end(), m_sessions, it++);
            } else {
                ++it;
            }
        }
    }
    for (Session &session : done)
        if (session.thread.joinable())
            session.thread.join();
}

int ToolkitListener::activeAssociations() const
{
    std::lock_guard lock(m_sessionsMutex);
    int count = 0;
    for (const Session &session : m_sessions)
        count += session.finished->load() ? 0 : 1;
    return count;
}

std::shared_ptr<ToolkitConnection> ToolkitListener::newConnection(const QString &)
{
    return std::shared_ptr<ToolkitConnection>(new ToolkitConnection(true, m_sink));
}

} // namespace pacs::toolkit
