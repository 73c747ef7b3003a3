#pragma once

// The peers tests talk to: DCMTK's command-line tools, storescp as a storage
// node, and ports that refuse, as a node that is down. Every peer holds its
// port from the moment its number is known, so parallel tests and outgoing
// connections cannot take it in between.

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace pacs::test {

struct ToolResult
{
    int exitCode = -1;
    bool finished = false;
    QString output; // stdout and stderr
};

// Starts a tool and returns at once; wait with waitUntil on finished().
class ToolProcess
{
public:
    ToolProcess(const QString &program, const QStringList &arguments);
    ~ToolProcess();
    bool finished() const;
    ToolResult result() const;

private:
    std::unique_ptr<QProcess> m_process;
};

// Runs a DCMTK tool (echoscu, storescu, ...) while this thread keeps
// delivering its events; a tool still running at the deadline is killed.
ToolResult runTool(const QString &program, const QStringList &arguments, int timeoutMs = 60000);

// A port of 127.0.0.1 the test holds bound but never listening: connections
// to it are refused, as by a node that is down, and no one else can bind it
// until it is released. Chosen outside the range the system hands out to
// outgoing connections, so only a peer binding on purpose competes for it.
class HeldPort
{
public:
    HeldPort();
    ~HeldPort();
    HeldPort(const HeldPort &) = delete;
    HeldPort &operator=(const HeldPort &) = delete;
    int port() const { return m_port; }
    bool isHeld() const { return m_socket >= 0; }
    void release();

private:
    int m_socket = -1;
    int m_port = 0;
};

// A port number outside the system's ephemeral range, at random.
int portOutsideEphemeralRange();

// DCMTK's storescp as a storage node or move destination, writing what it
// receives into a folder, in the order received (its log tells the order).
// storescp cannot be given port 0, so it gets a port from outside the
// ephemeral range and is ready once its own process holds the listening
// socket; a port another process took first is replaced by a fresh one.
class StoreScpProcess
{
public:
    explicit StoreScpProcess(const QString &folder, const QString &aeTitle = QStringLiteral("DEST"),
                             const QStringList &extraArguments = {});
    // On the port the test held so far (a node that comes back up): released
    // right before storescp binds it.
    StoreScpProcess(const QString &folder, const QString &aeTitle, const QStringList &extraArguments, HeldPort &port);
    ~StoreScpProcess();
    bool isReady() const { return m_ready; }
    int port() const { return m_port; }
    QStringList receivedFiles() const;
    // SOP Instance UIDs in the order they arrived.
    QStringList receivedOrder();
    QString output();

private:
    enum class Start { Listening, PortTaken, Failed };
    Start startOn(int port);
    bool start(HeldPort *held);

    QProcess m_process;
    QString m_folder;
    QString m_aeTitle;
    QStringList m_extraArguments;
    QString m_output;
    int m_port = 0;
    bool m_ready = false;
};

// Whether process pid holds a listening TCP socket on port.
bool processListensOn(qint64 pid, int port);

} // namespace pacs::test
