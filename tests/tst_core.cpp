#include "serverapi.h"
#include "syncworker.h"
#include "testserver.h"
#include "workerprobe.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class CoreTest : public QObject
{
    Q_OBJECT

private slots:
    void deviceIdentity_data();
    void deviceIdentity();
    void serverUrls_data();
    void serverUrls();
    void progressRelay();
    void periodicTimersStartOnce();
    void quietDuringStartDelay();
};

void CoreTest::deviceIdentity_data()
{
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("identity");

    QTest::newRow("only the product folder")
        << QStringList{"Lumipost", "LUMIPOST"} << QStringList{} << QString();
    QTest::newRow("first by name, product folder skipped")
        << QStringList{"lumipost", "kiosk-07", "Alpha"} << QStringList{} << "Alpha";
    QTest::newRow("order ignores case")
        << QStringList{"b-device", "A-Device"} << QStringList{} << "A-Device";
    QTest::newRow("files and hidden folders are not devices")
        << QStringList{".aaa", "kiosk-07"} << QStringList{"0-readme.txt"} << "kiosk-07";
}

void CoreTest::deviceIdentity()
{
    QFETCH(QStringList, folders);
    QFETCH(QStringList, files);
    QFETCH(QString, identity);

    QTemporaryDir tmp;
    const QString root = tmp.path() + "/KESTOVA";
    for (const QString &folder : folders)
        QVERIFY(QDir().mkpath(root + "/" + folder));
    for (const QString &file : files) {
        QFile f(root + "/" + file);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }

    SyncWorker worker(testConfig(root, "http://127.0.0.1:1"));
    QCOMPARE(WorkerProbe::deviceUuid(worker), identity);
    // The camera folder is named whether or not it exists yet.
    const QString expectedCamera =
        identity.isEmpty() ? QString() : root + "/" + identity + "/Camera";
    QCOMPARE(WorkerProbe::cameraPath(worker), expectedCamera);
}

void CoreTest::serverUrls_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<QString>("expected");

    const QString base = "http://127.0.0.1:8080";
    QTest::newRow("app index") << ServerApi::appIndexUrl(base)
                               << base + "/sync_api.php?action=list_apps";
    QTest::newRow("app file with space and stray percent")
        << ServerApi::appFileUrl(base, "bin/my app%.exe")
        << base + "/Lumipost/Application/bin/my%20app%25.exe";
    QTest::newRow("upload") << ServerApi::uploadUrl(base) << base + "/sync_api.php?action=upload";
    QTest::newRow("video index") << ServerApi::videoIndexUrl(base, "kiosk-07")
                                 << base + "/sync_api.php?action=list_videos&device_uuid=kiosk-07";
    QTest::newRow("video index without identity")
        << ServerApi::videoIndexUrl(base, QString())
        << base + "/sync_api.php?action=list_videos&device_uuid=";
    QTest::newRow("public video") << ServerApi::publicVideoUrl(base, "spring promo.mp4")
                                  << base + "/Lumipost/ADS/Public/spring%20promo.mp4";
    // One pass: a "%2" inside the device name is not replaced by the file name.
    QTest::newRow("private video") << ServerApi::privateVideoUrl(base, "dev%2", "a.mp4")
                                   << base + "/Lumipost/ADS/Private/dev%252/a.mp4";
}

void CoreTest::serverUrls()
{
    QFETCH(QUrl, url);
    QFETCH(QString, expected);
    QVERIFY(url.isValid());
    QCOMPARE(url.toString(QUrl::FullyEncoded), expected);
}

void CoreTest::progressRelay()
{
    QTemporaryDir tmp;
    SyncWorker worker(testConfig(tmp.path() + "/KESTOVA", "http://127.0.0.1:1"));
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl("data:,x")));
    reply->setProperty("fileName", "bin/app.exe");
    QSignalSpy progress(&worker, &SyncWorker::progressUpdated);

    WorkerProbe::relayProgress(worker, reply, 50, 200);
    WorkerProbe::relayProgress(worker, reply, 199, 200);
    WorkerProbe::relayProgress(worker, reply, 3 * 1048576LL, 6 * 1048576LL);
    WorkerProbe::relayProgress(worker, reply, 10, -1); // no length announced
    WorkerProbe::relayProgress(worker, reply, 0, 0);

    QCOMPARE(progress.count(), 3);
    QCOMPARE(progress.at(0).at(0).toString(), QString("bin/app.exe"));
    QCOMPARE(progress.at(0).at(1).toInt(), 25);
    QCOMPARE(progress.at(0).at(2).toDouble(), 50 / 1048576.0);
    QCOMPARE(progress.at(0).at(3).toDouble(), 200 / 1048576.0);
    QCOMPARE(progress.at(1).at(1).toInt(), 99); // truncated, never rounded up to 100
    QCOMPARE(progress.at(2).at(2).toDouble(), 3.0);
    QCOMPARE(progress.at(2).at(3).toDouble(), 6.0);
    reply->abort();
}

void CoreTest::periodicTimersStartOnce()
{
    QTemporaryDir tmp;
    TestServer server;
    QVERIFY(server.listen());
    server.setRoute("/sync_api.php", TestResponse::ok("[]"));
    SyncWorker worker(testConfig(tmp.path() + "/KESTOVA", server.baseUrl()));
    QSignalSpy logs(&worker, &SyncWorker::logAdded);

    WorkerProbe::startPeriodicTimers(worker);
    WorkerProbe::startPeriodicTimers(worker);

    QCOMPARE(logs.count(), 2);
    QCOMPARE(logs.at(0).at(0).toString(), QString(">>> Photo Sync Timer Enabled (Every 60s)."));
    QCOMPARE(logs.at(1).at(0).toString(),
             QString(">>> Video Ads Sync Timer Enabled (Every 30 min)."));
    // One immediate video cycle, not two; the photo cycle waits for its interval.
    QTRY_COMPARE(server.requests().size(), 1);
    QTest::qWait(300);
    QCOMPARE(server.requests().size(), 1);
    QVERIFY(server.requests().at(0).target.startsWith("/sync_api.php?action=list_videos"));
}

void CoreTest::quietDuringStartDelay()
{
    QTemporaryDir tmp;
    TestServer server;
    QVERIFY(server.listen());
    server.setRoute("/sync_api.php", TestResponse::ok("[]"));
    SyncConfig config = testConfig(tmp.path() + "/KESTOVA", server.baseUrl());
    config.startDelayMs = 1500;
    QElapsedTimer sinceStart;
    sinceStart.start();
    SyncWorker worker(config);
    QSignalSpy logs(&worker, &SyncWorker::logAdded);
    QSignalSpy statuses(&worker, &SyncWorker::statusChanged);

    QVERIFY(QDir(config.productFolder()).exists());
    while (sinceStart.elapsed() < 1200)
        QTest::qWait(50);
    QCOMPARE(logs.count(), 0);
    QCOMPARE(statuses.count(), 0);
    QCOMPARE(server.requests().size(), 0);

    // After the delay the application sync begins.
    QTRY_VERIFY(!server.requestsTo("/sync_api.php").isEmpty());
    QCOMPARE(server.requests().at(0).target, QByteArray("/sync_api.php?action=list_apps"));
    QCOMPARE(logs.at(0).at(0).toString(),
             QString("### Starting One-Time Application Sync Check ###"));
}

QTEST_GUILESS_MAIN(CoreTest)
#include "tst_core.moc"
