#pragma once

// A peer at socket level, for the bytes no DICOM tool sends: random and cut
// off PDUs, absurd declared lengths, requests that stall half-way, idle
// connections; from any address of 127.0.0.0/8.

#include <QByteArray>
#include <QString>
#include <QTcpSocket>

#include <memory>

namespace pacs::test {

class RawPeer
{
public:
    // Connects from `from` (port chosen by the system) to 127.0.0.1:port.
    RawPeer(int port, const QString &from = QStringLiteral("127.0.0.1"));
    bool isConnected() const;
    void send(const QByteArray &bytes); // and waits until written (or the peer closed)
    bool waitClosed(int timeoutMs);     // true once the server closed the connection
    void close();

    // A well-formed A-ASSOCIATE-RQ proposing Verification.
    static QByteArray associateRequest(const QByteArray &calling = "RAWPEER", const QByteArray &called = "TALMIR");

private:
    std::unique_ptr<QTcpSocket> m_socket;
};

} // namespace pacs::test
