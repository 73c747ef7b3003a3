#include "tests/reliability/StoreRun.h"

#include "tests/support/TestSupport.h"

#include <QRegularExpression>

namespace pacs::test {

StoreRun::StoreRun(int port, const SendBatch &batch, const QString &callingTitle, const QStringList &files) : m_batch(batch)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(QStringLiteral("storescu"),
                    QStringList{QStringLiteral("-v"), QStringLiteral("--no-halt"), QStringLiteral("-aet"), callingTitle,
                                QStringLiteral("-aec"), QStringLiteral("TALMIR"), QStringLiteral("127.0.0.1"),
                                QString::number(port)}
                        + (files.isEmpty() ? batch.files() : files));
    m_process.waitForStarted(10000);
}

StoreRun::~StoreRun()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void StoreRun::wait(int timeoutMs)
{
    if (!waitUntil([this] { return finished(); }, timeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString StoreRun::output()
{
    m_output += QString::fromLocal8Bit(m_process.readAll());
    return m_output;
}

void StoreRun::parse()
{
    // storescu names each file as it starts it, then logs the response.
    static const QRegularExpression line(QStringLiteral("(Sending file: (.*)|Received Store Response \\(([^)]*)\\))$"),
                                         QRegularExpression::MultilineOption);
    m_acknowledged.clear();
    m_failures = 0;
    QString current;
    auto it = line.globalMatch(output());
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        if (m.capturedLength(2) > 0) {
            current = m.captured(2).trimmed();
            continue;
        }
        if (m.captured(3).startsWith(QLatin1String("Success")))
            m_acknowledged.insert(m_batch.uidOf(current));
        else
            ++m_failures;
        current.clear();
    }
    m_acknowledged.remove(QString());
}

QSet<QString> StoreRun::acknowledged()
{
    parse();
    return m_acknowledged;
}

int StoreRun::failures()
{
    parse();
    return m_failures;
}

} // namespace pacs::test
