#pragma once

// ToolkitListener: accepts DICOM associations on one TCP port and reports them
// through ToolkitEvents; also the source of outgoing connections
// (newConnection). Each association runs on a thread of its own, from the
// moment its TCP connection is accepted (so a peer that connects and stays
// silent, or stalls inside its request, delays nobody else; it is dropped
// after 5 s, and one address may keep only so many connections waiting);
// events reach the program on the application's main thread.
//
// Accepted on every association: Verification, every storage SOP class DCMTK
// knows, Patient and Study Root FIND/MOVE/GET; every transfer syntax DCMTK can
// read (JPEG Lossless preferred, as images are stored that way).
//
// Naming across dicom/toolkit: the operations of the original interface keep
// their names in lowerCamelCase (StartListening -> startListening,
// SetStatus -> setStatus, FindAttribute -> findAttribute, ListItem -> listItem);
// properties are getters with set... setters; 1-based where the original is
// (list and sequence items). Values travel as QVariant, see ToolkitAttribute.h.

#include <QString>

#include <atomic>
#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct T_ASC_Network;
struct T_ASC_Association;
class DcmTLSTransportLayer;

namespace pacs::toolkit {

namespace detail {
struct EventSink;
class Intake;
}

class ToolkitConnection;
class ToolkitEvents;

class ToolkitListener
{
public:
    explicit ToolkitListener(ToolkitEvents *events = nullptr);
    ~ToolkitListener(); // aborts the associations still open and waits for their threads
    ToolkitListener(const ToolkitListener &) = delete;
    ToolkitListener &operator=(const ToolkitListener &) = delete;

    void setEvents(ToolkitEvents *events);
    ToolkitEvents *events() const;

    // Port 0 picks a free port; listeningPort() tells which. False when the
    // port cannot be bound (lastError() says why).
    bool startListening(int port);
    // Stops accepting; associations already open carry on.
    void stopListening(int port = 0);
    bool isListening() const { return m_network != nullptr; }
    // Listening with DICOM TLS (ToolkitTls configured before the start).
    bool isSecure() const { return m_tls != nullptr; }
    int listeningPort() const { return m_port; }
    QString lastError() const { return m_lastError; }
    int activeAssociations() const;

    // An outgoing connection whose events arrive as outgoing* events of this listener.
    std::shared_ptr<ToolkitConnection> newConnection(const QString &kind = QStringLiteral("DicomConnection"));

    // Options of the original interface; kept, not otherwise used.
    void setListenerSettingA(bool value) { m_settingA = value; }
    bool listenerSettingA() const { return m_settingA; }
    void setListenerSettingB(int value) { m_settingB = value; }
    int listenerSettingB() const { return m_settingB; }

private:
    struct Session
    {
        std::shared_ptr<ToolkitConnection> connection;
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
        std::shared_ptr<detail::Intake> intake; // until the A-ASSOCIATE-RQ is read
    };
    void acceptLoop(T_ASC_Network *network);
    void startSession(T_ASC_Network *network, int socket, const std::string &address);
    void reapSessions(bool all);

    std::shared_ptr<detail::EventSink> m_sink;
    T_ASC_Network *m_network = nullptr;
    std::shared_ptr<DcmTLSTransportLayer> m_tls; // the network's TLS layer, while listening with TLS
    int m_listenSocket = -1;
    int m_port = 0;
    QString m_lastError;
    std::atomic<bool> m_stop{false};
    std::thread m_acceptThread;
    mutable std::mutex m_sessionsMutex;
    std::list<Session> m_sessions;
    int m_inIntake = 0; // sessions still reading their request through m_network
    std::map<std::string, int> m_waitingByAddress; // of those, by peer address
    std::condition_variable m_intakeDone;
    bool m_settingA = false;
    int m_settingB = 0;
};

} // namespace pacs::toolkit
