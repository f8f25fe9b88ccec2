#include "testserver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(TestResponse)

class TestServerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void routing_data();
    void routing();
    void failFirstThenRoute();
    void answers_data();
    void answers();
    void keepAliveAndBrokenClients();

private:
    QNetworkReply *get(const QByteArray &target);

    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<QNetworkAccessManager> m_manager;
};

// A real event loop: QTRY_* sleeps between rounds, which throttles large transfers.
static bool finished(QNetworkReply *reply)
{
    QSignalSpy spy(reply, &QNetworkReply::finished);
    return reply->isFinished() || spy.wait(20000);
}

void TestServerTest::init()
{
    m_server = std::make_unique<TestServer>();
    QVERIFY(m_server->listen());
    m_manager = std::make_unique<QNetworkAccessManager>();
}

void TestServerTest::cleanup()
{
    m_manager.reset();
    m_server.reset();
}

QNetworkReply *TestServerTest::get(const QByteArray &target)
{
    return m_manager->get(QNetworkRequest(QUrl(m_server->baseUrl() + QString::fromLatin1(target))));
}

static int status(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

void TestServerTest::routing_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<bool>("withFallback");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("exact target") << QByteArray("/index?d=a") << true << 200 << QByteArray("exact");
    QTest::newRow("path, other query")
        << QByteArray("/index?d=b") << true << 200 << QByteArray("path");
    QTest::newRow("fallback") << QByteArray("/x?y") << true << 200 << QByteArray("fallback /x");
    QTest::newRow("unrouted") << QByteArray("/x") << false << 404 << QByteArray("error");
}

void TestServerTest::routing()
{
    QFETCH(QByteArray, target);
    QFETCH(bool, withFallback);
    m_server->setRoute("/index?d=a", TestResponse::ok("exact"));
    m_server->setRoute("/index", TestResponse::ok("path"));
    if (withFallback)
        m_server->setFallback(
            [](const RecordedRequest &r) { return TestResponse::ok("fallback " + r.path); });
    QNetworkReply *reply = get(target);
    QVERIFY(finished(reply));
    QTEST(status(reply), "status");
    QTEST(reply->readAll(), "body");
    QCOMPARE(m_server->requests().size(), 1);
    QCOMPARE(m_server->requests().first().target, target);
}

void TestServerTest::failFirstThenRoute()
{
    m_server->setRoute("/f", TestResponse::ok("good"));
    m_server->failFirst("/f", 2, TestResponse::error(503));
    for (int expected : {503, 503, 200}) {
        QNetworkReply *reply = get("/f?try");
        QVERIFY(finished(reply));
        QCOMPARE(status(reply), expected);
    }
    QCOMPARE(m_server->requestsTo("/f").size(), 3);
    QCOMPARE(m_server->maxConcurrentConnections(), 1); // one kept-alive connection
}

void TestServerTest::answers_data()
{
    QTest::addColumn<TestResponse>("response");
    QTest::addColumn<QNetworkReply::NetworkError>("error");
    TestResponse noLength = TestResponse::ok(QByteArray(1 << 20, 'n'));
    noLength.omitContentLength = true;
    TestResponse delayed = TestResponse::ok("late");
    delayed.delayMs = 300;
    TestResponse cut = TestResponse::ok(QByteArray(100000, 'c'));
    cut.closeAfterBytes = 1000;
    QTest::newRow("large") << TestResponse::ok(QByteArray(32 << 20, 'l')) << QNetworkReply::NoError;
    QTest::newRow("no length") << noLength << QNetworkReply::NoError;
    QTest::newRow("delayed") << delayed << QNetworkReply::NoError;
    QTest::newRow("cut") << cut << QNetworkReply::RemoteHostClosedError;
}

void TestServerTest::answers()
{
    QFETCH(TestResponse, response);
    m_server->setRoute("/file", response);
    QNetworkReply *reply = get("/file");
    QVERIFY(finished(reply));
    QTEST(reply->error(), "error");
    if (reply->error() == QNetworkReply::NoError)
        QVERIFY(reply->readAll() == response.body);
}

void TestServerTest::keepAliveAndBrokenClients()
{
    m_server->setRoute("/a", TestResponse::ok("A"));
    QTcpSocket client;
    QByteArray received;
    connect(&client, &QTcpSocket::readyRead, this, [&] { received += client.readAll(); });
    client.connectToHost(QHostAddress::LocalHost, m_server->port());
    client.write(
        "GET /a HTTP/1.1\r\nHost: t\r\n\r\n"
        "POST /a HTTP/1.1\r\nHost: t\r\nContent-Length: 4\r\nConnection: close\r\n\r\nbody");
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10000);
    QCOMPARE(received.count("HTTP/1.1 200 OK\r\n"), 2);
    QVERIFY(received.endsWith("Connection: close\r\n\r\nA"));
    QCOMPARE(m_server->requests().size(), 2);
    QCOMPARE(m_server->requests().at(1).body, "body");

    QTcpSocket leaving;
    leaving.connectToHost(QHostAddress::LocalHost, m_server->port());
    leaving.write("POST /a HTTP/1.1\r\nContent-Length: 100\r\n\r\nabc");
    QVERIFY(leaving.waitForBytesWritten(5000));
    leaving.abort();
    QNetworkReply *reply = get("/a");
    QVERIFY(finished(reply));
    QCOMPARE(reply->readAll(), "A");
    QCOMPARE(m_server->requests().size(), 3);
}

QTEST_GUILESS_MAIN(TestServerTest)
#include "tst_testserver.moc"
