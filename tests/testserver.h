#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

#include <functional>

class QTcpServer;
class QTcpSocket;

// A canned answer, and the faults that may spoil it.
struct TestResponse
{
    int status = 200;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    int delayMs = 0;                // wait this long before answering
    bool omitContentLength = false; // the body ends when the server closes
    qint64 closeAfterBytes = -1;    // announce the full length, then hang up after this many bytes
    bool stall = false;             // accept the request and never answer

    static TestResponse ok(const QByteArray &body) { return {200, body, {}}; }
    static TestResponse error(int status) { return {status, "error", {}}; }
};

struct RecordedPart
{
    QByteArray head, name, fileName, body;
};

struct RecordedRequest
{
    QByteArray target, path, head, body; // path: the target up to '?'
    QList<RecordedPart> parts;           // of a multipart/form-data body
    QByteArray header(const QByteArray &name) const;
    const RecordedPart *part(const QByteArray &name) const;
};

// HTTP/1.1 on 127.0.0.1, for tests over real loopback: every request goes to
// one handler, which plays the server.
class TestServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<TestResponse(const RecordedRequest &)>;
    explicit TestServer(QObject *parent = nullptr);

    bool listen(quint16 port = 0); // again: moves to the new port
    QString baseUrl() const;
    void setFallback(Handler handler) { m_handler = std::move(handler); }
    QList<RecordedRequest> requests() const { return m_requests; }
    void clearRequests() { m_requests.clear(); }

signals:
    void requestReceived(const RecordedRequest &request);

private:
    void readFrom(QTcpSocket *socket);
    void send(QTcpSocket *socket, const TestResponse &response);

    QTcpServer *m_server;
    Handler m_handler;
    QList<RecordedRequest> m_requests;
};
