#pragma once

#include "tests/support/TestSupport.h"

#include <QProcess>
#include <QString>
#include <QStringList>

namespace pacs::test {

// The real program started headless on a scratch home folder, as a service
// would run it; its standard output is the activity log.
class ServerProcess
{
public:
    explicit ServerProcess(ScratchHome &scratch);
    ~ServerProcess();

    // Settings written before the start ([SERVER] PORT=0 unless given).
    void setSetting(const QString &section, const QString &key, const QString &value);
    void setEnvironment(const QString &name, const QString &value);
    bool start(const QStringList &arguments = {});
    bool waitForOutput(const QString &text, int timeoutMs = 20000);
    // The port read back from "Listening on port N".
    int port();
    QString output() const;
    bool isRunning() const;
    void stop();
    // SIGKILL: the process ends at once, as in a power cut.
    void kill();

private:
    ScratchHome &m_scratch;
    QProcess m_process;
    QProcessEnvironment m_environment;
    QString m_output;
};

struct ToolResult
{
    int exitCode = -1;
    QString output;
};

// Runs one of DCMTK's command-line tools (echoscu, storescu, ...).
ToolResult runTool(const QString &program, const QStringList &arguments, int timeoutMs = 30000);

// A free TCP port of 127.0.0.1, as the system hands it out.
int freePort();

// DCMTK's storescp as a storage node or move destination, writing what it
// receives into a folder, in the order received (its log tells the order).
class StoreScpProcess
{
public:
    explicit StoreScpProcess(const QString &folder, const QString &aeTitle = QStringLiteral("DEST"),
                             const QStringList &extraArguments = {}, int port = 0);
    ~StoreScpProcess();
    bool isReady() const { return m_ready; }
    int port() const { return m_port; }
    QStringList receivedFiles() const;
    // SOP Instance UIDs in the order they arrived.
    QStringList receivedOrder();

private:
    QProcess m_process;
    QString m_folder;
    QString m_output;
    int m_port = 0;
    bool m_ready = false;
};

} // namespace pacs::test
