#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>

#include <functional>
#include <memory>
#include <unordered_map>

class QTcpServer;
class QTcpSocket;

using RawHeaders = QList<QPair<QByteArray, QByteArray>>;

// A canned answer. By default: status, headers, body and Content-Length.
struct TestResponse
{
    int status = 200;
    QByteArray body;
    RawHeaders headers;
    int delayMs = 0;                // wait this long before answering
    bool omitContentLength = false; // the body ends when the server closes
    qint64 closeAfterBytes = -1;    // announce the full length, then hang up after this many bytes
    bool stall = false;             // accept the request and never answer
    int trickleMs = 0;              // send the body in pieces this far apart, then close
    qint64 trickleBytes = 1;        // the size of each of those pieces

    static TestResponse ok(const QByteArray &body) { return TestResponse{200, body, {}}; }
    static TestResponse error(int status) { return TestResponse{status, QByteArray("error"), {}}; }
};

struct RecordedPart
{
    RawHeaders headers;
    QByteArray name;     // from Content-Disposition
    QByteArray fileName; // from Content-Disposition, empty when absent
    QByteArray body;
    QByteArray header(const QByteArray &name) const; // case-insensitive, empty when absent
};

struct RecordedRequest
{
    QByteArray method;
    QByteArray target; // raw path and query, as on the request line
    QByteArray path;   // target up to '?'
    RawHeaders headers;
    QByteArray body;
    QList<RecordedPart> parts;                       // filled for multipart/form-data bodies
    QByteArray header(const QByteArray &name) const; // case-insensitive, empty when absent
    const RecordedPart *part(const QByteArray &name) const;
};

// An HTTP/1.1 server on 127.0.0.1 and a free port, for tests over real
// loopback. It routes by exact target (path and query) first, then by path,
// then to the fallback; unrouted requests get 404. It knows nothing of the
// agent.
class TestServer : public QObject
{
    Q_OBJECT

public:
    explicit TestServer(QObject *parent = nullptr);
    ~TestServer() override;

    bool listen(quint16 port = 0); // 0: any free port
    quint16 port() const;
    QString baseUrl() const; // "http://127.0.0.1:<port>"

    void setRoute(const QByteArray &targetOrPath, const TestResponse &response);
    void removeRoute(const QByteArray &targetOrPath);
    void setFallback(std::function<TestResponse(const RecordedRequest &)> handler);
    // The first n requests to this route get `failure`, later ones the route's answer.
    void failFirst(const QByteArray &targetOrPath, int n, const TestResponse &failure);

    QList<RecordedRequest> requests() const { return m_requests; }
    QList<RecordedRequest> requestsTo(const QByteArray &path) const; // by path, query ignored
    void clearRequests() { m_requests.clear(); }
    int maxConcurrentConnections() const { return m_maxConcurrent; }

signals:
    void requestReceived(const RecordedRequest &request);

private:
    // implementation details are the server's own
    struct Connection;
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void onDisconnected(QTcpSocket *socket);
    void handleBufferedRequests(QTcpSocket *socket);
    Connection *connectionFor(QTcpSocket *socket) const;
    void answer(QTcpSocket *socket, const RecordedRequest &request, bool keepAlive);
    void send(QTcpSocket *socket, const TestResponse &response, bool withBody, bool keepAlive);
    TestResponse responseFor(const RecordedRequest &request);

    QTcpServer *m_server;
    QHash<QByteArray, TestResponse> m_routes;
    QHash<QByteArray, QPair<int, TestResponse>> m_failures;
    std::function<TestResponse(const RecordedRequest &)> m_fallback;
    std::unordered_map<QTcpSocket *, std::unique_ptr<Connection>> m_connections;
    QList<RecordedRequest> m_requests;
    int m_maxConcurrent = 0;
};
