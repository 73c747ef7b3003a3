#pragma once

#include "tests/support/Peers.h"
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
    // The service program under test (it runs the operator commands too).
    static QString program();
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

} // namespace pacs::test
