#include "testserver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(TestResponse)

class TestServerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void answers_data();
    void answers();

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

// The fault tests trust these answer kinds to break a transfer the way they say.
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

QTEST_GUILESS_MAIN(TestServerTest)
#include "tst_testserver.moc"
