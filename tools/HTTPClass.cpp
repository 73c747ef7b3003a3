#include "tools/HTTPClass.h"

#include <QEventLoop>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace pacs::tools {

namespace {

bool unchanged(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// Path characters that may stand in a request line as they are.
bool plainPathByte(unsigned char c)
{
    return c > 0x20 && c < 0x7F && c != '#' && c != '?' && c != '%';
}

QByteArray encodedPath(const QString &path)
{
    QByteArray out;
    const QByteArray utf8 = path.toUtf8();
    for (char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (plainPathByte(c))
            out += char(c);
        else
            out += '%' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
    }
    return out;
}

} // namespace

// The answer as it comes in: status line and headers first, then the body
// by Content-Length, in chunks, or until the server closes.
struct HTTPClass::Response
{
    enum class State { More, Done, Bad };
    enum class Body { None, Length, Chunked, UntilClose };

    bool headOnly = false;
    QByteArray raw;
    bool headersDone = false;
    int status = 0;
    QString reason;
    QList<QPair<QByteArray, QByteArray>> headers;
    Body bodyMode = Body::None;
    qint64 length = 0;
    qsizetype pos = 0; // next unread byte of raw once the headers are done
    QByteArray body;
    QString error;

    QByteArray header(const char *name) const
    {
        for (const auto &h : headers)
            if (h.first.compare(name, Qt::CaseInsensitive) == 0)
                return h.second;
        return {};
    }

    State fail(const QString &why)
    {
        error = why;
        return State::Bad;
    }

    State parseHeaders()
    {
        for (;;) {
            const qsizetype end = raw.indexOf("\r\n\r\n", pos);
            if (end < 0)
                return raw.size() - pos > 64 * 1024 ? fail(QStringLiteral("the answer's headers are too long")) : State::More;
            const QList<QByteArray> lines = raw.mid(pos, end - pos).split('\n');
            pos = end + 4;
            const QByteArray statusLine = lines.value(0).trimmed();
            if (!statusLine.startsWith("HTTP/1."))
                return fail(QStringLiteral("the server did not answer in HTTP"));
            const QList<QByteArray> parts = statusLine.split(' ');
            bool ok = false;
            status = parts.value(1).toInt(&ok);
            if (!ok || status < 100 || status > 999)
                return fail(QStringLiteral("the server's status line is not understood"));
            reason = QString::fromLatin1(parts.mid(2).join(' ')).trimmed();
            if (status < 200)
                continue; // an interim answer; the real one follows
            headers.clear();
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    headers.append({lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
            }
            break;
        }
        headersDone = true;
        if (headOnly || status == 204 || status == 304) {
            bodyMode = Body::None;
        } else if (header("Transfer-Encoding").toLower().contains("chunked")) {
            bodyMode = Body::Chunked;
        } else if (!header("Content-Length").isEmpty()) {
            bool ok = false;
            length = header("Content-Length").toLongLong(&ok);
            if (!ok || length < 0)
                return fail(QStringLiteral("the answer's length is not understood"));
            if (length > MaxBodyBytes)
                return fail(QStringLiteral("the answer is too large (%1 bytes)").arg(length));
            bodyMode = Body::Length;
        } else {
            bodyMode = Body::UntilClose;
        }
        return State::More;
    }

    State parseChunks()
    {
        for (;;) {
            const qsizetype lineEnd = raw.indexOf("\r\n", pos);
            if (lineEnd < 0)
                return State::More;
            QByteArray sizeText = raw.mid(pos, lineEnd - pos);
            const qsizetype ext = sizeText.indexOf(';');
            if (ext >= 0)
                sizeText.truncate(ext);
            bool ok = false;
            const qint64 size = sizeText.trimmed().toLongLong(&ok, 16);
            if (!ok || size < 0)
                return fail(QStringLiteral("a chunk of the answer is not understood"));
            if (size == 0) {
                // The last chunk: an empty line ends the trailers.
                if (raw.size() >= lineEnd + 4 && raw.mid(lineEnd + 2, 2) == "\r\n")
                    return State::Done;
                return raw.indexOf("\r\n\r\n", lineEnd) >= 0 ? State::Done : State::More;
            }
            if (body.size() + size > MaxBodyBytes)
                return fail(QStringLiteral("the answer is too large"));
            if (raw.size() < lineEnd + 2 + size + 2)
                return State::More;
            body += raw.mid(lineEnd + 2, size);
            pos = lineEnd + 2 + size + 2;
            // What is decoded need not be kept twice.
            if (pos > 1024 * 1024) {
                raw.remove(0, pos);
                pos = 0;
            }
        }
    }

    State feed(const QByteArray &data, bool closed)
    {
        raw += data;
        if (!headersDone) {
            const State s = parseHeaders();
            if (s != State::More || !headersDone)
                return s == State::More && closed ? fail(QStringLiteral("the server closed the connection without an answer")) : s;
        }
        switch (bodyMode) {
        case Body::None:
            return State::Done;
        case Body::Length:
            if (raw.size() - pos >= length) {
                body = raw.mid(pos, length);
                return State::Done;
            }
            return closed ? fail(QStringLiteral("the server closed the connection after %1 of %2 bytes")
                                     .arg(raw.size() - pos)
                                     .arg(length))
                          : State::More;
        case Body::Chunked: {
            const State s = parseChunks();
            return s == State::More && closed ? fail(QStringLiteral("the server closed the connection in the middle of the answer")) : s;
        }
        case Body::UntilClose:
            if (raw.size() - pos > MaxBodyBytes)
                return fail(QStringLiteral("the answer is too large"));
            if (closed) {
                body = raw.mid(pos);
                return State::Done;
            }
            return State::More;
        }
        return State::Bad;
    }
};

HTTPClass::HTTPClass(int timeoutMs) : m_timeoutMs(timeoutMs)
{
}

HTTPClass::~HTTPClass()
{
    CloseHTTP();
}

QString HTTPClass::Fields(const QString &name) const
{
    for (const auto &f : m_fields)
        if (f.first.compare(name, Qt::CaseInsensitive) == 0)
            return f.second;
    return {};
}

void HTTPClass::Fields(const QString &name, const QString &value)
{
    for (auto &f : m_fields) {
        if (f.first.compare(name, Qt::CaseInsensitive) == 0) {
            f.second = value;
            return;
        }
    }
    m_fields.append({name, value});
}

QString HTTPClass::URLEncode(const QString &text)
{
    static const char hex[] = "0123456789ABCDEF";
    QString out;
    out.reserve(text.size() * 3);
    for (QChar ch : text) {
        const char16_t c = ch.unicode();
        if (unchanged(c)) {
            out += ch;
        } else {
            const unsigned low = c & 0xFF;
            out += QLatin1Char('%');
            out += QLatin1Char(hex[low >> 4]);
            out += QLatin1Char(hex[low & 0xF]);
        }
    }
    return out;
}

QString HTTPClass::formData() const
{
    QStringList pairs;
    for (const auto &f : m_fields)
        pairs << URLEncode(f.first) + QLatin1Char('=') + URLEncode(f.second);
    return pairs.join(QLatin1Char('&'));
}

bool HTTPClass::parseServer(const QString &server, QString &host, int &port, QString &basePath, QString &error)
{
    QString text = server.trimmed();
    if (text.isEmpty()) {
        error = QStringLiteral("no server address");
        return false;
    }
    if (!text.contains(QLatin1String("://")))
        text.prepend(QLatin1String("http://"));
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        error = QStringLiteral("\"%1\" is not a server address (http://host:port)").arg(server);
        return false;
    }
    if (url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0) {
        error = QStringLiteral("\"%1\": only http:// addresses are served").arg(server);
        return false;
    }
    host = url.host();
    port = url.port(DefaultPort);
    basePath = url.path();
    while (basePath.endsWith(QLatin1Char('/')))
        basePath.chop(1);
    return true;
}

QString HTTPClass::serverUrl() const
{
    const QString h = m_host.contains(QLatin1Char(':')) ? QLatin1Char('[') + m_host + QLatin1Char(']') : m_host;
    return QStringLiteral("http://%1:%2").arg(h).arg(m_port);
}

bool HTTPClass::OpenHTTP(const QString &server, int port, const QString &userName, const QString &password)
{
    Q_UNUSED(port); // the address names the port
    CloseHTTP();
    m_error.clear();
    if (!parseServer(server, m_host, m_port, m_basePath, m_error))
        return false;
    m_userName = userName;
    m_password = password;
    m_open = connectSocket();
    if (!m_open)
        CloseHTTP();
    return m_open;
}

void HTTPClass::CloseHTTP()
{
    if (m_socket) {
        m_socket->abort();
        m_socket.reset();
    }
    m_open = false;
}

bool HTTPClass::connectSocket()
{
    if (m_socket)
        m_socket->abort();
    m_socket = std::make_unique<QTcpSocket>();
    m_socket->setProxy(QNetworkProxy::NoProxy);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    bool timedOut = false;
    QObject::connect(m_socket.get(), &QTcpSocket::connected, &loop, &QEventLoop::quit);
    QObject::connect(m_socket.get(), &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    m_socket->connectToHost(m_host, quint16(m_port));
    timer.start(m_timeoutMs);
    if (m_socket->state() != QAbstractSocket::ConnectedState && m_socket->state() != QAbstractSocket::UnconnectedState)
        loop.exec();
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        return true;
    m_error = timedOut ? QStringLiteral("no connection to %1 within %2 s").arg(serverUrl()).arg(m_timeoutMs / 1000.0)
                       : QStringLiteral("cannot connect to %1: %2").arg(serverUrl(), m_socket->errorString());
    m_socket->abort();
    return false;
}

QByteArray HTTPClass::buildRequest(const QString &method, const QByteArray &target, const QByteArray &body, bool reload,
                                   bool withCredentials) const
{
    QByteArray r = method.toLatin1() + ' ' + target + " HTTP/1.1\r\n";
    QByteArray host = QUrl::toAce(m_host);
    if (host.isEmpty())
        host = m_host.toLatin1();
    if (m_host.contains(QLatin1Char(':')))
        host = '[' + host + ']';
    if (m_port != DefaultPort)
        host += ':' + QByteArray::number(m_port);
    r += "Host: " + host + "\r\n";
    r += QByteArray("User-Agent: ") + AgentName + "\r\n";
    if (reload)
        r += "Cache-Control: no-cache\r\nPragma: no-cache\r\n";
    if (withCredentials)
        r += "Authorization: Basic " + (m_userName + QLatin1Char(':') + m_password).toUtf8().toBase64() + "\r\n";
    if (method == QLatin1String("POST") && !body.isEmpty())
        r += "Content-Type: application/x-www-form-urlencoded\r\n";
    if (!body.isEmpty() || method == QLatin1String("POST") || method == QLatin1String("PUT"))
        r += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    r += "Connection: close\r\n\r\n";
    return r + body;
}

bool HTTPClass::exchange(const QByteArray &request, Response &response)
{
    // The connection of OpenHTTP is used first; later requests, and one the
    // server closed while idle, get a fresh one.
    const bool reused = m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
    if (!reused && !connectSocket())
        return false;

    QTcpSocket *socket = m_socket.get();
    QEventLoop loop;
    QTimer idle;
    idle.setSingleShot(true);
    bool timedOut = false;
    bool closed = false;
    bool anyByte = false;
    Response::State state = Response::State::More;
    const auto readSome = [&] {
        const QByteArray data = socket->readAll();
        anyByte = anyByte || !data.isEmpty();
        if (state == Response::State::More)
            state = response.feed(data, closed);
    };
    QObject::connect(socket, &QTcpSocket::readyRead, &loop, [&] {
        idle.start(m_timeoutMs);
        readSome();
        if (state != Response::State::More)
            loop.quit();
    });
    QObject::connect(socket, &QTcpSocket::bytesWritten, &loop, [&] { idle.start(m_timeoutMs); });
    QObject::connect(socket, &QTcpSocket::disconnected, &loop, [&] {
        closed = true;
        loop.quit();
    });
    QObject::connect(socket, &QTcpSocket::errorOccurred, &loop, [&](QAbstractSocket::SocketError e) {
        if (e == QAbstractSocket::RemoteHostClosedError)
            closed = true;
        else
            m_error = socket->errorString();
        loop.quit();
    });
    QObject::connect(&idle, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });

    socket->write(request);
    idle.start(m_timeoutMs);
    while (state == Response::State::More && !closed && !timedOut && m_error.isEmpty()
           && socket->state() == QAbstractSocket::ConnectedState)
        loop.exec();
    if (state == Response::State::More) {
        closed = closed || socket->state() != QAbstractSocket::ConnectedState;
        readSome(); // what came with the close
    }
    socket->disconnect(&loop);
    socket->abort();

    if (state == Response::State::Done)
        return true;
    if (reused && !anyByte && closed && !timedOut) {
        // The idle connection had been dropped by the server: once more anew.
        m_error.clear();
        const bool headOnly = response.headOnly;
        response = Response();
        response.headOnly = headOnly;
        return exchange(request, response);
    }
    if (timedOut)
        m_error = QStringLiteral("no answer from %1 within %2 s").arg(serverUrl()).arg(m_timeoutMs / 1000.0);
    else if (m_error.isEmpty())
        m_error = response.error.isEmpty() ? QStringLiteral("the connection to %1 was lost").arg(serverUrl()) : response.error;
    return false;
}

QByteArray HTTPClass::SendRequest(const QString &file, const QString &method, const QString &referer, bool reload)
{
    Q_UNUSED(referer); // requests go without a referrer
    m_status = 0;
    m_reason.clear();
    m_error.clear();
    if (!m_open) {
        m_error = QStringLiteral("no connection is open");
        return {};
    }
    const QString verb = method.toUpper();
    if (verb.isEmpty() || !std::all_of(verb.begin(), verb.end(), [](QChar c) { return c >= u'A' && c <= u'Z'; })) {
        m_error = QStringLiteral("\"%1\" is not a request method").arg(method);
        return {};
    }
    const QString data = formData();
    QString path = m_basePath + (file.startsWith(QLatin1Char('/')) ? file : QLatin1Char('/') + file);
    QByteArray target = encodedPath(path);
    QByteArray body;
    if (!data.isEmpty()) {
        if (verb == QLatin1String("POST"))
            body = data.toLatin1();
        else
            target += '?' + data.toLatin1();
    }

    Response response;
    response.headOnly = verb == QLatin1String("HEAD");
    if (!exchange(buildRequest(verb, target, body, reload, false), response))
        return {};
    if (response.status == 401 && !m_userName.isEmpty()
        && response.header("WWW-Authenticate").trimmed().toLower().startsWith("basic")) {
        Response again;
        again.headOnly = response.headOnly;
        if (!exchange(buildRequest(verb, target, body, reload, true), again))
            return {};
        response = again;
    }
    m_status = response.status;
    m_reason = response.reason;
    return response.body;
}

} // namespace pacs::tools
