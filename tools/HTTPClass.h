#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <memory>

class QTcpSocket;

namespace pacs::tools {

// A small HTTP/1.1 client: named request fields that travel as the query of
// a GET or as the form body of a POST, one server per client. Calls block
// the caller, not the program: each runs a local event loop until the
// answer is in or nothing has moved for the timeout, so the DICOM services
// keep running meanwhile. Its own socket code and not a URL library,
// because those normalise percent-escapes and the query must leave exactly
// as URLEncode wrote it.
class HTTPClass
{
public:
    static constexpr const char *AgentName = "HTTP Client";
    static constexpr int DefaultPort = 80;
    static constexpr int DefaultTimeoutMs = 30000;
    // A body larger than this is refused rather than held in memory.
    static constexpr qint64 MaxBodyBytes = qint64(1) << 30;

    explicit HTTPClass(int timeoutMs = DefaultTimeoutMs);
    ~HTTPClass();
    HTTPClass(const HTTPClass &) = delete;
    HTTPClass &operator=(const HTTPClass &) = delete;

    // The value of a field, empty when there is none. Names ignore case.
    QString Fields(const QString &name) const;
    // Sets a field; a new one goes after those set before.
    void Fields(const QString &name, const QString &value);
    int fieldCount() const { return int(m_fields.size()); }

    // Connects to the server. The server is an address such as
    // "http://host:port" (or "host:port", "host"); its port is the one used,
    // 80 when it names none. The port argument is taken for the call's shape
    // only. User name and password answer a server that asks for them.
    bool OpenHTTP(const QString &server, int port, const QString &userName, const QString &password);
    void CloseHTTP();
    bool isOpen() const { return m_open; }

    // Sends a request and returns the body of the answer (empty when
    // anything failed). Fields go after "?" for methods other than POST, as
    // a form body for POST. reload asks every cache on the way for a fresh
    // copy. The request carries no referrer, whatever referer says.
    QByteArray SendRequest(const QString &file, const QString &method, const QString &referer, bool reload);

    // Letters and digits unchanged; every other character "%" and the two
    // upper-case hex digits of the low byte of its code.
    static QString URLEncode(const QString &text);
    // name=value pairs, URL-encoded, joined by "&", in the order of first
    // setting; empty without fields.
    QString formData() const;

    // What the last SendRequest got: the status code (0 when no answer came)
    // and, on failure, why.
    int statusCode() const { return m_status; }
    QString reasonPhrase() const { return m_reason; }
    QString lastError() const { return m_error; }
    QString host() const { return m_host; }
    int port() const { return m_port; }
    // "http://host:port" of the open connection.
    QString serverUrl() const;

    // Host and port of an address; false with the reason when it is not an
    // http address.
    static bool parseServer(const QString &server, QString &host, int &port, QString &basePath, QString &error);

private:
    struct Response;
    bool connectSocket();
    bool exchange(const QByteArray &request, Response &response);
    QByteArray buildRequest(const QString &method, const QByteArray &target, const QByteArray &body, bool reload,
                            bool withCredentials) const;

    int m_timeoutMs;
    QList<QPair<QString, QString>> m_fields;
    std::unique_ptr<QTcpSocket> m_socket;
    bool m_open = false;
    QString m_host;
    int m_port = DefaultPort;
    QString m_basePath;
    QString m_userName;
    QString m_password;
    int m_status = 0;
    QString m_reason;
    QString m_error;
};

} // namespace pacs::tools
