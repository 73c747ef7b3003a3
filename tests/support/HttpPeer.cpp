#include "tests/support/HttpPeer.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace pacs::test {

QByteArray HttpRequestSeen::header(const char *name) const
{
    for (const auto &h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return {};
}

bool HttpRequestSeen::hasHeader(const char *name) const
{
    for (const auto &h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

CannedResponse CannedResponse::ok(const QByteArray &body, Framing framing)
{
    CannedResponse r;
    r.body = body;
    r.framing = framing;
    return r;
}

CannedResponse CannedResponse::withStatus(int code, const QByteArray &reason, const QByteArray &body)
{
    CannedResponse r;
    r.status = code;
    r.reason = reason;
    r.body = body;
    return r;
}

HttpPeer::HttpPeer()
{
    connect(&m_server, &QTcpServer::newConnection, this, &HttpPeer::onConnection);
    m_server.listen(QHostAddress::LocalHost, 0);
}

HttpPeer::~HttpPeer()
{
    m_server.close();
    for (QTcpSocket *s : m_buffers.keys())
        s->abort();
}

void HttpPeer::onConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        ++m_connections;
        m_buffers.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onData(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void HttpPeer::onData(QTcpSocket *socket)
{
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    HttpRequestSeen request;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    request.requestLine = lines.value(0).trimmed();
    const QList<QByteArray> parts = request.requestLine.split(' ');
    request.method = parts.value(0);
    request.target = parts.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.append({lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
    }
    const qsizetype length = request.header("Content-Length").toLongLong();
    if (buffer.size() < end + 4 + length)
        return;
    request.body = buffer.mid(end + 4, length);
    buffer.clear();
    m_requests.append(request);
    CannedResponse response = m_fallback;
    if (!m_queue.empty()) {
        response = m_queue.front();
        m_queue.pop_front();
    }
    answer(socket, response);
}

void HttpPeer::answer(QTcpSocket *socket, const CannedResponse &response)
{
    if (response.silent)
        return;
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + response.reason + "\r\n";
    for (const auto &h : response.headers)
        out += h.first + ": " + h.second + "\r\n";
    out += "Connection: close\r\n";
    switch (response.framing) {
    case CannedResponse::Framing::Length:
        out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n\r\n" + response.body;
        break;
    case CannedResponse::Framing::Chunked:
        out += "Transfer-Encoding: chunked\r\n\r\n";
        for (qsizetype at = 0; at < response.body.size(); at += 1000) {
            const QByteArray chunk = response.body.mid(at, 1000);
            out += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
        }
        out += "0\r\n\r\n";
        break;
    case CannedResponse::Framing::UntilClose:
        out += "\r\n" + response.body;
        break;
    }
    socket->write(out);
    socket->disconnectFromHost(); // after what is written has gone
}

} // namespace pacs::test
