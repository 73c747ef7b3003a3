#pragma once

// The real talmir-pacsd on a scratch home, started, killed and started again
// as a scenario needs; the acknowledged images of all its runs are collected
// so the audit after each step checks every one of them.

#include "tests/reliability/ArchiveAudit.h"
#include "tests/reliability/StoreRun.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TestSupport.h"

#include <QSet>
#include <QString>

#include <list>
#include <memory>

namespace pacs::test {

class ArchiveUnderTest
{
public:
    ArchiveUnderTest();
    ~ArchiveUnderTest();

    bool start(); // the port is known once this is true
    void kill();  // SIGKILL
    int port() const { return m_port; }
    bool isRunning() const { return m_server && m_server->isRunning(); }
    QString output() const { return m_server ? m_server->output() : QString(); }
    QString home() const { return m_scratch.home(); }
    QString path(const QString &name) const { return m_scratch.path(name); }
    ServerProcess &server() { return *m_server; }

    // Sends the batch (or the given files of it) and waits; keeps the acknowledged images.
    StoreRun &send(const SendBatch &batch, const QStringList &files = {});
    void keep(const QSet<QString> &acknowledged) { m_acknowledged += acknowledged; }
    QSet<QString> acknowledged() const { return m_acknowledged; }
    // echoscu against the server: true when answered.
    bool echo(int timeoutSeconds = 10);
    ArchiveAudit audit() const { return auditArchive(home(), m_acknowledged, m_storageRoot); }
    // Keeps the images in `folder` instead of the home folder (before start()).
    void useStorageRoot(const QString &folder);
    QString storageRoot() const { return m_storageRoot.isEmpty() ? home() : m_storageRoot; }
    // Runs SQL on the archive as a second process would.
    bool execute(const QString &sql, QString &error) const;

private:
    ScratchHome m_scratch;
    std::unique_ptr<ServerProcess> m_server;
    std::list<std::unique_ptr<StoreRun>> m_runs;
    QSet<QString> m_acknowledged;
    int m_port = -1;
    QString m_storageRoot;
};

// Long variants when TALMIR_RELIABILITY_LONG is set (to anything but 0).
bool longRun();

} // namespace pacs::test
