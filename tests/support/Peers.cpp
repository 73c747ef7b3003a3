#include "tests/support/Peers.h"

#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pacs::test {

ToolProcess::ToolProcess(const QString &program, const QStringList &arguments) : m_process(std::make_unique<QProcess>())
{
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(program, arguments);
}

ToolProcess::~ToolProcess()
{
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

bool ToolProcess::finished() const
{
    return m_process->state() == QProcess::NotRunning;
}

ToolResult ToolProcess::result() const
{
    ToolResult r;
    r.finished = finished();
    r.exitCode = r.finished && m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
    r.output = QString::fromLocal8Bit(m_process->readAll());
    if (m_process->error() == QProcess::FailedToStart)
        r.output += m_process->program() + QStringLiteral(": ") + m_process->errorString() + QLatin1Char('\n');
    return r;
}

ToolResult runTool(const QString &program, const QStringList &arguments, int timeoutMs)
{
    ToolProcess process(program, arguments);
    if (waitUntil([&] { return process.finished(); }, timeoutMs))
        return process.result();
    ToolResult r = process.result();
    r.output.prepend(QStringLiteral("timed out\n"));
    return r;
}

namespace {

// The system's ephemeral range: where outgoing connections get their ports.
std::pair<int, int> ephemeralRange()
{
    QFile file(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    if (file.open(QIODevice::ReadOnly)) {
        const QStringList parts = QString::fromLatin1(file.readAll()).split(QRegularExpression(QStringLiteral("\\s+")),
                                                                             Qt::SkipEmptyParts);
        if (parts.size() == 2)
            return {parts.at(0).toInt(), parts.at(1).toInt()};
    }
    return {32768, 60999};
}

} // namespace

int portOutsideEphemeralRange()
{
    const auto [low, high] = ephemeralRange();
    // Below the range by preference, clear of the well-known ports.
    if (low > 2048)
        return QRandomGenerator::global()->bounded(qMax(1024, low - 12768), low);
    return QRandomGenerator::global()->bounded(high + 1, 65536);
}

HeldPort::HeldPort()
{
    for (int attempt = 0; attempt < 50 && m_socket < 0; ++attempt) {
        // No SO_REUSEADDR: storescp and listeners set it, and would share the
        // port with a socket that had it too. CLOEXEC: a peer started while
        // the port is held must not inherit it.
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            break;
        const int port = portOutsideEphemeralRange();
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
            m_socket = fd;
            m_port = port;
        } else {
            ::close(fd);
        }
    }
    if (m_socket < 0)
        ADD_FAILURE() << "no port of 127.0.0.1 could be held";
}

HeldPort::~HeldPort()
{
    release();
}

void HeldPort::release()
{
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
}

bool processListensOn(qint64 pid, int port)
{
    if (pid <= 0)
        return false;
    // Inodes of the sockets listening on the port ("0A" is LISTEN).
    QSet<QByteArray> listening;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        file.readLine(); // header
        for (QByteArray line = file.readLine(); !line.isEmpty(); line = file.readLine()) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() < 10 || fields.at(3) != "0A")
                continue;
            const QByteArray local = fields.at(1);
            bool ok = false;
            if (local.mid(local.lastIndexOf(':') + 1).toInt(&ok, 16) == port && ok)
                listening.insert(fields.at(9));
        }
    }
    if (listening.isEmpty())
        return false;
    const QString fdDir = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString &name : QDir(fdDir).entryList(QDir::System | QDir::NoDotAndDotDot)) {
        char target[128];
        const QByteArray link = (fdDir + QLatin1Char('/') + name).toLocal8Bit();
        const ssize_t size = ::readlink(link.constData(), target, sizeof target - 1);
        if (size <= 0)
            continue;
        const QByteArray text(target, size); // "socket:[inode]"
        if (text.startsWith("socket:[") && listening.contains(text.mid(8, text.size() - 9)))
            return true;
    }
    return false;
}

StoreScpProcess::StoreScpProcess(const QString &folder, const QString &aeTitle, const QStringList &extraArguments)
    : m_folder(folder), m_aeTitle(aeTitle), m_extraArguments(extraArguments)
{
    m_ready = start(nullptr);
}

StoreScpProcess::StoreScpProcess(const QString &folder, const QString &aeTitle, const QStringList &extraArguments,
                                 HeldPort &port)
    : m_folder(folder), m_aeTitle(aeTitle), m_extraArguments(extraArguments)
{
    m_ready = start(&port);
}

StoreScpProcess::~StoreScpProcess()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

bool StoreScpProcess::start(HeldPort *held)
{
    QDir().mkpath(m_folder);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&m_process, &QProcess::readyRead, [this] { m_output += QString::fromLocal8Bit(m_process.readAll()); });
    constexpr int attempts = 20;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        const int port = held ? held->port() : portOutsideEphemeralRange();
        if (held) {
            if (!held->isHeld()) {
                ADD_FAILURE() << "storescp: the port to start on was not held";
                return false;
            }
            held->release();
        }
        switch (startOn(port)) {
        case Start::Listening:
            m_port = port;
            return true;
        case Start::PortTaken:
            if (held) {
                ADD_FAILURE() << "storescp: port " << port << " taken between its release and the start:\n"
                              << m_output.toStdString();
                return false;
            }
            continue; // another process holds it: try a fresh one
        case Start::Failed:
            ADD_FAILURE() << "storescp on port " << port << " did not start:\n" << m_output.toStdString();
            return false;
        }
    }
    ADD_FAILURE() << "storescp: every one of " << attempts << " ports was taken";
    return false;
}

StoreScpProcess::Start StoreScpProcess::startOn(int port)
{
    m_output.clear();
    m_process.start(QStringLiteral("storescp"), QStringList{QStringLiteral("-v"), QStringLiteral("-od"), m_folder,
                                                            QStringLiteral("-aet"), m_aeTitle}
                                                    + m_extraArguments + QStringList{QString::number(port)});
    if (!m_process.waitForStarted(10000)) {
        m_output += m_process.errorString();
        return Start::Failed;
    }
    // Ready once this very process listens: another node already on the
    // port would answer an echo just as well.
    const qint64 pid = m_process.processId();
    const bool settled = waitUntil([&] {
        return m_process.state() == QProcess::NotRunning || processListensOn(pid, port);
    }, 15000);
    if (m_process.state() == QProcess::NotRunning) {
        m_output += QString::fromLocal8Bit(m_process.readAll());
        return m_output.contains(QStringLiteral("Address already in use")) ? Start::PortTaken : Start::Failed;
    }
    if (settled)
        return Start::Listening;
    m_process.kill();
    m_process.waitForFinished(5000);
    m_output += QString::fromLocal8Bit(m_process.readAll())
                + QStringLiteral("\n(running but not listening after 15 s; killed)");
    return Start::Failed;
}

QStringList StoreScpProcess::receivedFiles() const
{
    QStringList files;
    for (const QString &name : QDir(m_folder).entryList(QDir::Files, QDir::Name))
        files << m_folder + QLatin1Char('/') + name;
    return files;
}

QString StoreScpProcess::output()
{
    m_output += QString::fromLocal8Bit(m_process.readAll());
    return m_output;
}

QStringList StoreScpProcess::receivedOrder()
{
    QStringList order;
    static const QRegularExpression stored(QStringLiteral("storing DICOM file: .*/[A-Za-z]+\\.([0-9.]+)"));
    auto it = stored.globalMatch(output());
    while (it.hasNext())
        order << it.next().captured(1);
    return order;
}

} // namespace pacs::test
