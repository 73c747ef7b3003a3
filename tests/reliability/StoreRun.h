#pragma once

// One storescu sending a batch, in the background; from its verbose log, the
// images the server answered with success (the ones it must never lose).

#include "tests/reliability/SendBatch.h"

#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>

namespace pacs::test {

class StoreRun
{
public:
    StoreRun(int port, const SendBatch &batch, const QString &callingTitle = QStringLiteral("MODALITY"),
             const QStringList &files = {});
    ~StoreRun();
    bool finished() const { return m_process.state() == QProcess::NotRunning; }
    // Waits for the end (killing storescu at the deadline).
    void wait(int timeoutMs = 120000);
    QSet<QString> acknowledged(); // SOP Instance UIDs answered with success
    int successes() { return int(acknowledged().size()); }
    int failures(); // responses other than success
    QString output();

private:
    void parse();

    const SendBatch &m_batch;
    QProcess m_process;
    QString m_output;
    QSet<QString> m_acknowledged;
    int m_failures = 0;
};

} // namespace pacs::test
