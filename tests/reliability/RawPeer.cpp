#include "tests/reliability/RawPeer.h"

#include "tests/support/TestSupport.h"

#include <QHostAddress>

namespace pacs::test {

namespace {

QByteArray be16(int value)
{
    return QByteArray(1, char((value >> 8) & 0xff)) + char(value & 0xff);
}

QByteArray be32(quint32 value)
{
    return be16(int(value >> 16)) + be16(int(value & 0xffff));
}

QByteArray item(int type, const QByteArray &body)
{
    return QByteArray(1, char(type)) + '\0' + be16(int(body.size())) + body;
}

QByteArray title(QByteArray text)
{
    return text.leftJustified(16, ' ', true);
}

} // namespace

RawPeer::RawPeer(int port, const QString &from) : m_socket(std::make_unique<QTcpSocket>())
{
    if (!m_socket->bind(QHostAddress(from), 0))
        return;
    m_socket->connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    m_socket->waitForConnected(10000);
}

bool RawPeer::isConnected() const
{
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

void RawPeer::send(const QByteArray &bytes)
{
    m_socket->write(bytes);
    waitUntil([this] { return m_socket->bytesToWrite() == 0 || !isConnected(); }, 10000);
}

bool RawPeer::waitClosed(int timeoutMs)
{
    return waitUntil([this] {
        m_socket->readAll();
        return m_socket->state() == QAbstractSocket::UnconnectedState;
    }, timeoutMs);
}

void RawPeer::close()
{
    m_socket->abort();
}

QByteArray RawPeer::associateRequest(const QByteArray &calling, const QByteArray &called)
{
    const QByteArray context = item(0x10, "1.2.840.10008.3.1.1.1");
    const QByteArray presentation =
        item(0x20, QByteArray("\x01\0\0\0", 4) + item(0x30, "1.2.840.10008.1.1") + item(0x40, "1.2.840.10008.1.2"));
    const QByteArray user = item(0x50, item(0x51, be32(16384)) + item(0x52, "1.2.826.0.1.3680043.10.99"));
    const QByteArray body = be16(1) + be16(0) + title(called) + title(calling) + QByteArray(32, '\0') + context
                            + presentation + user;
    return QByteArray(1, '\x01') + '\0' + be32(quint32(body.size())) + body;
}

} // namespace pacs::test
