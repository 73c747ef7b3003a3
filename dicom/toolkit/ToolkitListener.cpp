#include "ToolkitListener.h"

#include "ToolkitConnection.h"
#include "detail/EventSink.h"
#include "detail/Runtime.h"

#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dul.h>

#include <netinet/in.h>
#include <sys/socket.h>

namespace pacs::toolkit {

namespace {
// Seconds a new connection gets to deliver its A-ASSOCIATE-RQ; while it is read
// no other association is accepted, so a silent peer must not hold it long.
constexpr int kFirstPduSeconds = 5;
constexpr long kMaxReceivePdu = 65536;
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
        for (Session &session : m_sessions)
            session.connection->stopFromListener();
    }
    reapSessions(true);
    m_sink->alive = false;
}

void ToolkitListener::setEvents(ToolkitEvents *events) { m_sink->events = events; }
ToolkitEvents *ToolkitListener::events() const { return m_sink->events; }

bool ToolkitListener::startListening(int port)
{
    if (m_network) {
        if (port == m_port)
            return true;
        stopListening();
    }
    T_ASC_Network *network = nullptr;
    const OFCondition cond = ASC_initializeNetwork(NET_ACCEPTOR, port, kFirstPduSeconds, &network);
    if (cond.bad()) {
        m_lastError = detail::conditionText(cond, QString(), QStringLiteral("listen on port %1").arg(port));
        return false;
    }
    const int socket = int(DUL_networkSocket(network->network));
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (::getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ASC_dropNetwork(&network);
        m_lastError = QStringLiteral("listen on port %1: cannot read the bound port").arg(port);
        return false;
    }
    // Accepted sockets inherit this: a peer that stops in the middle of a PDU
    // cannot block the accepting thread for longer.
    const timeval stalled{kFirstPduSeconds, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &stalled, sizeof(stalled));

    m_network = network;
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
    ASC_dropNetwork(&m_network);
    m_network = nullptr;
    m_listenSocket = -1;
    m_port = 0;
}

void ToolkitListener::acceptLoop(T_ASC_Network *network)
{
    while (!m_stop) {
        if (!ASC_associationWaiting(network, 1))
            continue;
        if (m_stop)
            break;
        T_ASC_Association *assoc = nullptr;
        const OFCondition cond = ASC_receiveAssociation(network, &assoc, kMaxReceivePdu, nullptr, nullptr, OFFalse,
                                                        DUL_NOBLOCK, 1);
        if (cond.bad()) {
            // Not DICOM, cut off, or too slow: drop it and keep serving the others.
            if (assoc) {
                ASC_dropAssociation(assoc);
                ASC_destroyAssociation(&assoc);
            }
            continue;
        }
        startSession(assoc);
    }
}

void ToolkitListener::startSession(T_ASC_Association *assoc)
{
    reapSessions(false);
    std::shared_ptr<ToolkitConnection> connection(new ToolkitConnection(false, m_sink));
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(m_sessionsMutex);
    m_sessions.push_back({connection, std::thread([connection, assoc, finished] {
                              try {
                                  connection->serve(assoc);
                              } catch (...) {
                              }
                              finished->store(true);
                          }),
                          finished});
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
