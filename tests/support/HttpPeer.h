#pragma once

// A small HTTP server on 127.0.0.1 for the tests of the HTTP client and the
// program update: it listens on a port the system gives it, answers each
// request with the next canned response and keeps every request it read.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpServer>
#include <deque>

class QTcpSocket;

namespace pacs::test {

struct HttpRequestSeen
{
    QByteArray requestLine;
    QByteArray method;
    QByteArray target;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // The value of a header, empty when absent; names ignore case.
    QByteArray header(const char *name) const;
    bool hasHeader(const char *name) const;
};

struct CannedResponse
{
    int status = 200;
    QByteArray reason = "OK";
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    enum class Framing { Length, Chunked, UntilClose } framing = Framing::Length;
    bool silent = false; // reads the request and never answers

    static CannedResponse ok(const QByteArray &body, Framing framing = Framing::Length);
    static CannedResponse withStatus(int code, const QByteArray &reason, const QByteArray &body = {});
};

class HttpPeer : public QObject
{
    Q_OBJECT
public:
    HttpPeer();
    ~HttpPeer() override;

    bool isListening() const { return m_server.isListening(); }
    int port() const { return m_server.serverPort(); }
    QString address() const { return QStringLiteral("http://127.0.0.1:%1").arg(port()); }

    // Answered in order; once they are used up, the fallback (404).
    void enqueue(const CannedResponse &response) { m_queue.push_back(response); }
    void setFallback(const CannedResponse &response) { m_fallback = response; }

    const QList<HttpRequestSeen> &requests() const { return m_requests; }
    int connectionCount() const { return m_connections; }

private:
    void onConnection();
    void onData(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const CannedResponse &response);

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    std::deque<CannedResponse> m_queue;
    CannedResponse m_fallback = CannedResponse::withStatus(404, "Not Found", "<html>Not Found</html>");
    QList<HttpRequestSeen> m_requests;
    int m_connections = 0;
};

} // namespace pacs::test
