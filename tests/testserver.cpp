#include "testserver.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <optional>
#include <utility>

namespace {

bool sameName(const QByteArray &a, const QByteArray &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QByteArray headerValue(const RawHeaders &headers, const QByteArray &name)
{
    for (const auto &[key, value] : headers) {
        if (sameName(key, name))
            return value;
    }
    return {};
}

QByteArray reasonPhrase(int status)
{
    static const QHash<int, QByteArray> phrases = {
        {200, "OK"},
        {201, "Created"},
        {204, "No Content"},
        {206, "Partial Content"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "See Other"},
        {304, "Not Modified"},
        {307, "Temporary Redirect"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {409, "Conflict"},
        {413, "Content Too Large"},
        {429, "Too Many Requests"},
        {500, "Internal Server Error"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
    };
    return phrases.value(status, "Unknown");
}

// "Name: value" lines in their order; blank lines are skipped. False on a
// line that is no header.
bool parseHeaderLines(const QList<QByteArray> &lines, RawHeaders &headers)
{
    for (const QByteArray &line : lines) {
        if (line.trimmed().isEmpty())
            continue;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return false;
        headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    return true;
}

// A parameter after the first ';' of a header value, such as the boundary of a
// Content-Type. Quoted values may hold ';' and backslash escapes.
QByteArray headerParameter(const QByteArray &value, const QByteArray &wanted)
{
    qsizetype i = value.indexOf(';');
    while (i >= 0 && i < value.size()) {
        const qsizetype keyStart = ++i;
        while (i < value.size() && value[i] != '=' && value[i] != ';')
            ++i;
        const QByteArray key = value.mid(keyStart, i - keyStart).trimmed();
        if (i == value.size() || value[i] == ';')
            continue;
        ++i;
        while (i < value.size() && value[i] == ' ')
            ++i;
        QByteArray parameter;
        if (i < value.size() && value[i] == '"') {
            for (++i; i < value.size() && value[i] != '"'; ++i) {
                if (value[i] == '\\' && i + 1 < value.size())
                    ++i;
                parameter += value[i];
            }
            i = value.indexOf(';', i);
        } else {
            const qsizetype end = value.indexOf(';', i);
            parameter = value.mid(i, end < 0 ? -1 : end - i).trimmed();
            i = end;
        }
        if (sameName(key, wanted))
            return parameter;
    }
    return {};
}

// The part between two delimiters, from just after the first one to the CRLF
// that opens the next; nothing when it has no head.
std::optional<RecordedPart> parsePart(const QByteArray &body, qsizetype from, qsizetype to)
{
    const qsizetype headEnd = body.indexOf("\r\n\r\n", from);
    if (headEnd < 0 || headEnd + 4 > to)
        return std::nullopt;
    RecordedPart part;
    if (!parseHeaderLines(body.mid(from, headEnd - from).split('\n'), part.headers))
        return std::nullopt;
    const QByteArray disposition = part.header("Content-Disposition");
    part.name = headerParameter(disposition, "name");
    part.fileName = headerParameter(disposition, "filename");
    part.body = body.mid(headEnd + 4, to - headEnd - 4);
    return part;
}

QList<RecordedPart> parseMultipart(const RecordedRequest &request)
{
    const QByteArray contentType = request.header("Content-Type");
    if (!contentType.trimmed().toLower().startsWith("multipart/form-data"))
        return {};
    const QByteArray boundary = headerParameter(contentType, "boundary");
    if (boundary.isEmpty())
        return {};
    const QByteArray dashBoundary = "--" + boundary;
    const QByteArray delimiter = "\r\n" + dashBoundary;
    const QByteArray &body = request.body;

    // The first boundary may open the body; later ones follow a CRLF.
    qsizetype pos = -1;
    if (body.startsWith(dashBoundary))
        pos = dashBoundary.size();
    else if ((pos = body.indexOf(delimiter)) >= 0)
        pos += delimiter.size();

    QList<RecordedPart> parts;
    while (pos >= 0 && body.mid(pos, 2) != "--") {
        const qsizetype next = body.indexOf(delimiter, pos);
        if (next < 0)
            break;
        if (auto part = parsePart(body, pos, next))
            parts.append(std::move(*part));
        pos = next + delimiter.size();
    }
    return parts;
}

// The request line and headers; false when they are not an HTTP/1 request
// this server can read.
bool parseHead(const QByteArray &head, RecordedRequest &request, bool &keepAlive,
               qint64 &contentLength)
{
    QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.takeFirst().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/1."))
        return false;
    request.method = requestLine[0];
    request.target = requestLine[1];
    const qsizetype query = request.target.indexOf('?');
    request.path = query < 0 ? request.target : request.target.left(query);
    if (!parseHeaderLines(lines, request.headers))
        return false;

    const QByteArray connection = request.header("Connection").toLower();
    keepAlive = requestLine[2] == "HTTP/1.1" ? !connection.contains("close")
                                             : connection.contains("keep-alive");
    const QByteArray length = request.header("Content-Length");
    bool ok = true;
    contentLength = length.isEmpty() ? 0 : length.toLongLong(&ok);
    // Chunked bodies are not supported; better a 400 than a misread stream.
    return ok && contentLength >= 0 && request.header("Transfer-Encoding").isEmpty();
}

} // namespace

QByteArray RecordedPart::header(const QByteArray &name) const
{
    return headerValue(headers, name);
}

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    return headerValue(headers, name);
}

const RecordedPart *RecordedRequest::part(const QByteArray &name) const
{
    for (const RecordedPart &candidate : parts) {
        if (candidate.name == name)
            return &candidate;
    }
    return nullptr;
}

struct TestServer::Connection
{
    enum class Head { Incomplete, Complete, Malformed };

    QByteArray buffer;
    qsizetype scanned = 0;    // bytes already searched for the end of the head
    qsizetype bodyStart = -1; // known once the head is complete
    qint64 contentLength = 0;
    bool keepAlive = true;
    bool answering = false; // later requests wait until this one is answered
    RecordedRequest request;

    // Searches only bytes not searched before, so a large upload is not
    // rescanned on every read.
    Head readHead()
    {
        if (bodyStart >= 0)
            return Head::Complete;
        const qsizetype end = buffer.indexOf("\r\n\r\n", std::max<qsizetype>(0, scanned - 3));
        if (end < 0) {
            scanned = buffer.size();
            return Head::Incomplete;
        }
        if (!parseHead(buffer.left(end), request, keepAlive, contentLength))
            return Head::Malformed;
        bodyStart = end + 4;
        return Head::Complete;
    }

    bool hasBody() const { return buffer.size() - bodyStart >= contentLength; }

    RecordedRequest takeRequest()
    {
        request.body = buffer.mid(bodyStart, contentLength);
        buffer.remove(0, bodyStart + contentLength);
        scanned = 0;
        bodyStart = -1;
        return std::exchange(request, {});
    }
};

TestServer::TestServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &TestServer::onNewConnection);
}

TestServer::~TestServer()
{
    // Aborting emits disconnected, which must not reach a server being destroyed.
    for (const auto &entry : m_connections) {
        entry.first->disconnect(this);
        entry.first->abort();
    }
    m_server->close();
}

bool TestServer::listen(quint16 port)
{
    return m_server->listen(QHostAddress::LocalHost, port);
}

quint16 TestServer::port() const
{
    return m_server->serverPort();
}

QString TestServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void TestServer::setRoute(const QByteArray &targetOrPath, const TestResponse &response)
{
    m_routes.insert(targetOrPath, response);
}

void TestServer::removeRoute(const QByteArray &targetOrPath)
{
    m_routes.remove(targetOrPath);
    m_failures.remove(targetOrPath);
}

void TestServer::setFallback(std::function<TestResponse(const RecordedRequest &)> handler)
{
    m_fallback = std::move(handler);
}

void TestServer::failFirst(const QByteArray &targetOrPath, int n, const TestResponse &failure)
{
    if (n > 0)
        m_failures.insert(targetOrPath, {n, failure});
    else
        m_failures.remove(targetOrPath);
}

QList<RecordedRequest> TestServer::requestsTo(const QByteArray &path) const
{
    QList<RecordedRequest> matching;
    for (const RecordedRequest &request : m_requests) {
        if (request.path == path)
            matching.append(request);
    }
    return matching;
}

void TestServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_connections.emplace(socket, std::make_unique<Connection>());
        m_maxConcurrent = std::max(m_maxConcurrent, int(m_connections.size()));
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this,
                [this, socket] { onDisconnected(socket); });
    }
}

void TestServer::onReadyRead(QTcpSocket *socket)
{
    if (Connection *connection = connectionFor(socket)) {
        connection->buffer.append(socket->readAll());
        handleBufferedRequests(socket);
    }
}

void TestServer::onDisconnected(QTcpSocket *socket)
{
    socket->disconnect(this);
    m_connections.erase(socket);
    socket->deleteLater();
}

// Answering may close the socket and drop its connection at once, so the
// connection is looked up again for every request.
void TestServer::handleBufferedRequests(QTcpSocket *socket)
{
    while (Connection *connection = connectionFor(socket)) {
        if (connection->answering)
            return;
        const Connection::Head head = connection->readHead();
        if (head == Connection::Head::Malformed) {
            connection->answering = true;
            send(socket, TestResponse::error(400), true, false);
            return;
        }
        if (head == Connection::Head::Incomplete || !connection->hasBody())
            return;
        connection->answering = true;
        const bool keepAlive = connection->keepAlive;
        RecordedRequest request = connection->takeRequest();
        request.parts = parseMultipart(request);
        m_requests.append(request);
        emit requestReceived(request);
        answer(socket, request, keepAlive);
    }
}

TestServer::Connection *TestServer::connectionFor(QTcpSocket *socket) const
{
    const auto it = m_connections.find(socket);
    return it == m_connections.end() ? nullptr : it->second.get();
}

void TestServer::answer(QTcpSocket *socket, const RecordedRequest &request, bool keepAlive)
{
    const TestResponse response = responseFor(request);
    if (response.stall)
        return; // the connection stays busy until the client or the server goes
    const bool withBody = request.method != "HEAD";
    if (response.delayMs <= 0) {
        send(socket, response, withBody, keepAlive);
        return;
    }
    QTimer::singleShot(response.delayMs, socket, [this, socket, response, withBody, keepAlive] {
        send(socket, response, withBody, keepAlive);
        handleBufferedRequests(socket);
    });
}

void TestServer::send(QTcpSocket *socket, const TestResponse &response, bool withBody,
                      bool keepAlive)
{
    Connection *connection = connectionFor(socket);
    if (!connection)
        return; // the client left while the answer was delayed
    const bool cut = response.closeAfterBytes >= 0;
    const bool trickle = withBody && response.trickleMs > 0;
    const bool close = !keepAlive || response.omitContentLength || trickle;

    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                      reasonPhrase(response.status) + "\r\n";
    for (const auto &[name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    if (!response.omitContentLength)
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    if (close)
        head += "Connection: close\r\n";
    head += "\r\n";

    if (!close && !cut)
        connection->answering = false;
    socket->write(head);
    if (trickle) {
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket,
                [socket, timer, body = response.body, piece = response.trickleBytes,
                 sent = qsizetype(0)]() mutable {
                    if (sent < body.size()) {
                        socket->write(body.mid(sent, piece));
                        sent += piece;
                        return;
                    }
                    timer->stop();
                    socket->disconnectFromHost();
                });
        timer->start(response.trickleMs);
        return;
    }
    if (withBody)
        socket->write(cut ? response.body.left(response.closeAfterBytes) : response.body);
    // Flushes what was written, then closes; may drop the connection at once.
    if (close || cut)
        socket->disconnectFromHost();
}

TestResponse TestServer::responseFor(const RecordedRequest &request)
{
    for (const QByteArray &key : {request.target, request.path}) {
        const auto failure = m_failures.find(key);
        if (failure != m_failures.end()) {
            const TestResponse response = failure->second;
            if (--failure->first <= 0)
                m_failures.erase(failure);
            return response;
        }
        const auto route = m_routes.constFind(key);
        if (route != m_routes.constEnd())
            return *route;
    }
    if (m_fallback)
        return m_fallback(request);
    return TestResponse::error(404);
}
