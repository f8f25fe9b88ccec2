#include "testserver.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

QByteArray parameter(const QByteArray &head, const char *pattern)
{
    const auto match = QRegularExpression(pattern, QRegularExpression::CaseInsensitiveOption)
                           .match(QString::fromUtf8(head));
    return match.captured(1).toUtf8().replace("\\\\", "\\").replace("\\\"", "\"");
}

// The parts of a multipart/form-data body, read as Latin-1 so that every byte stays.
QList<RecordedPart> partsOf(const RecordedRequest &request)
{
    const QByteArray boundary = parameter(request.header("Content-Type"), R"(boundary="?([^";]+))");
    const QStringList pieces =
        QString::fromLatin1(request.body).split(QString::fromLatin1("--" + boundary));
    QList<RecordedPart> parts;
    for (const QString &piece : pieces.mid(1, pieces.size() - 2)) { // not the preamble nor "--"
        const QByteArray head = piece.mid(2, piece.indexOf("\r\n\r\n") - 2).toLatin1();
        parts.append({head, parameter(head, R"re(; name="((?:[^"\\]|\\.)*)")re"),
                      parameter(head, R"re(filename="((?:[^"\\]|\\.)*)")re"),
                      piece.mid(head.size() + 6).chopped(2).toLatin1()});
    }
    return boundary.isEmpty() ? QList<RecordedPart>() : parts;
}

} // namespace

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const QByteArray &line : head.split('\n'))
        if (line.toLower().startsWith(name.toLower() + ':'))
            return line.mid(name.size() + 1).trimmed();
    return {};
}

const RecordedPart *RecordedRequest::part(const QByteArray &name) const
{
    for (const RecordedPart &candidate : parts)
        if (candidate.name == name)
            return &candidate;
    return nullptr;
}

TestServer::TestServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

bool TestServer::listen(quint16 port)
{
    m_server->close();
    return m_server->listen(QHostAddress::LocalHost, port);
}

QString TestServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server->serverPort());
}

// One request at a time per connection: the next waits in the socket's buffer
// until this one is answered.
void TestServer::readFrom(QTcpSocket *socket)
{
    if (socket->property("answering").toBool())
        return;
    const QByteArray buffered = socket->peek(socket->bytesAvailable());
    const qsizetype headEnd = buffered.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    RecordedRequest request;
    request.head = buffered.left(headEnd);
    const QList<QByteArray> line = request.head.left(request.head.indexOf('\r')).split(' ');
    const qint64 length = request.header("Content-Length").toLongLong();
    if (line.size() != 3 || buffered.size() < headEnd + 4 + length)
        return;
    socket->read(headEnd + 4);
    request.target = line.at(1);
    request.path = request.target.split('?').first();
    request.body = socket->read(length);
    request.parts = partsOf(request);
    m_requests.append(request);
    emit requestReceived(request);

    const TestResponse response = m_handler ? m_handler(request) : TestResponse::error(404);
    socket->setProperty("answering", true); // a stalled one stays busy until either side goes
    if (response.stall)
        return;
    QTimer::singleShot(response.delayMs, socket,
                       [this, socket, response] { send(socket, response); });
}

void TestServer::send(QTcpSocket *socket, const TestResponse &response)
{
    const bool close = response.omitContentLength || response.closeAfterBytes >= 0;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " X\r\n";
    for (const auto &[name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    if (!response.omitContentLength)
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    socket->write(head + (close ? "Connection: close\r\n\r\n" : "\r\n"));
    socket->write(response.closeAfterBytes >= 0 ? response.body.left(response.closeAfterBytes)
                                                : response.body);
    if (close)
        return socket->disconnectFromHost();
    socket->setProperty("answering", false);
    readFrom(socket);
}
