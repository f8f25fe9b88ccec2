#include "syncworker.h"
#include "testserver.h"
#include "workerprobe.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class PhotoUploadTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void uploadsDeletesAndPrunes();
    void refusedPhotoStays_data();
    void refusedPhotoStays();
    void photoInFlightOrChangedIsKept();
    void fileNameCannotInjectHeaders();
    void manyPhotosOnASlowLink();

private:
    QString writePhoto(const QString &relativePath, const QByteArray &bytes);
    QStringList lines() const;

    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<SyncWorker> m_worker;
    std::unique_ptr<QSignalSpy> m_logs;
    QString m_camera;
};

void PhotoUploadTest::init()
{
    m_worker.reset();
    m_tmp = std::make_unique<QTemporaryDir>();
    m_server = std::make_unique<TestServer>();
    QVERIFY(m_server->listen());
    m_server->setRoute("/sync_api.php", TestResponse::ok("stored"));
    const QString root = m_tmp->path() + "/KESTOVA";
    m_camera = root + "/kiosk-07/Camera";
    QVERIFY(QDir().mkpath(m_camera));
    m_worker = std::make_unique<SyncWorker>(testConfig(root, m_server->baseUrl()));
    m_logs = std::make_unique<QSignalSpy>(m_worker.get(), &SyncWorker::logAdded);
}

QString PhotoUploadTest::writePhoto(const QString &relativePath, const QByteArray &bytes)
{
    const QString path = m_camera + "/" + relativePath;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
}

QStringList PhotoUploadTest::lines() const
{
    QStringList result;
    for (const QList<QVariant> &args : *m_logs)
        result << args.at(0).toString();
    return result;
}

void PhotoUploadTest::uploadsDeletesAndPrunes()
{
    QSignalSpy statuses(m_worker.get(), &SyncWorker::statusChanged);
    WorkerProbe::runPhotoCycle(*m_worker);
    QVERIFY(lines().at(0).startsWith("--- Sync Cycle Started --- "));
    QCOMPARE(statuses.count(), 1);
    QCOMPARE(statuses.at(0).at(1).toString(), QString("idle"));
    QTest::qWait(100);
    QCOMPARE(m_server->requests().size(), 0);

    const QByteArray jpeg("\xff\xd8\xff\xe0 binary\r\n--boundary-ish\0tail", 32);
    const QString a = writePhoto("a.jpg", jpeg);
    const QString b = writePhoto("sub/dir/b.jpg", "bee");
    writePhoto("hidden-only/.keep", "x");
    // Links lead out of the camera folder: nothing behind one is sent or removed.
    const QString outside = m_tmp->path() + "/outside";
    QVERIFY(QDir().mkpath(outside + "/empty") && writeFile(outside + "/secret.txt", "secret"));
    QVERIFY(QFile::link(outside + "/secret.txt", m_camera + "/link.jpg"));
    QVERIFY(QFile::link(outside, m_camera + "/linked"));
    WorkerProbe::runPhotoCycle(*m_worker);
    QTRY_VERIFY(!QFile::exists(a) && !QFile::exists(b));

    QHash<QByteArray, RecordedRequest> byPath;
    for (const RecordedRequest &request : m_server->requests()) {
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.target, QByteArray("/sync_api.php?action=upload"));
        QCOMPARE(request.parts.size(), 3);
        QCOMPARE(request.parts.at(0).name, QByteArray("relative_path"));
        QCOMPARE(request.parts.at(1).name, QByteArray("device_uuid"));
        QCOMPARE(request.parts.at(2).name, QByteArray("photo"));
        QCOMPARE(request.parts.at(1).body, QByteArray("kiosk-07"));
        QCOMPARE(request.parts.at(2).header("Content-Type"),
                 QByteArray("application/octet-stream"));
        byPath.insert(request.parts.at(0).body, request);
    }
    QCOMPARE(byPath.size(), 2);
    QCOMPARE(byPath["a.jpg"].parts.at(2).body, jpeg);
    QCOMPARE(byPath["sub/dir/b.jpg"].parts.at(2).fileName, QByteArray("b.jpg"));
    QCOMPARE(byPath["sub/dir/b.jpg"].parts.at(2).body, QByteArray("bee"));
    QVERIFY(lines().contains("Deleted local file: " + a));

    // The emptied folders go at the next cycle, innermost first; the camera
    // folder and a folder holding only a hidden file stay.
    m_logs->clear();
    WorkerProbe::runPhotoCycle(*m_worker);
    const QStringList removed = lines().filter("Removed empty directory: ");
    QCOMPARE(removed, (QStringList{"Removed empty directory: " + m_camera + "/sub/dir",
                                   "Removed empty directory: " + m_camera + "/sub"}));
    QVERIFY(QDir(m_camera).exists());
    QVERIFY(QDir(m_camera + "/hidden-only").exists());
    QVERIFY(QDir(outside + "/empty").exists());
}

// Qt queues posts beyond its six connections with their clocks already
// running; on a slow link none may time out before it is sent.
void PhotoUploadTest::manyPhotosOnASlowLink()
{
    SyncConfig config = testConfig(m_tmp->path() + "/KESTOVA", m_server->baseUrl());
    config.transferTimeoutMs = 600;
    m_worker = std::make_unique<SyncWorker>(config);
    m_logs = std::make_unique<QSignalSpy>(m_worker.get(), &SyncWorker::logAdded);
    TestResponse slow = TestResponse::ok("stored");
    slow.delayMs = 400; // two rounds of six: a queued photo would wait 800 ms
    m_server->setRoute("/sync_api.php", slow);
    for (int i = 0; i < 14; ++i)
        writePhoto(QString("p%1.jpg").arg(i), "photo");
    WorkerProbe::runPhotoCycle(*m_worker);
    QTRY_COMPARE_WITH_TIMEOUT(lines().filter("Deleted local file: ").size(), 14, 10000);
    QCOMPARE(lines().filter("Network Error").size(), 0);
}

void PhotoUploadTest::refusedPhotoStays_data()
{
    QTest::addColumn<TestResponse>("answer");
    TestResponse redirect = TestResponse::error(302);
    redirect.headers = {{"Location", "/elsewhere"}};
    TestResponse cut = TestResponse::ok("accepted, but the answer never arrives whole");
    cut.closeAfterBytes = 3;
    QTest::newRow("server error") << TestResponse::error(500);
    QTest::newRow("redirect") << redirect;
    QTest::newRow("dropped connection") << cut;
}

void PhotoUploadTest::refusedPhotoStays()
{
    QFETCH(TestResponse, answer);
    m_server->setRoute("/sync_api.php", answer);
    m_server->setRoute("/elsewhere", TestResponse::ok("ok"));
    const QString photo = writePhoto("a.jpg", "photo");

    WorkerProbe::runPhotoCycle(*m_worker);
    QTRY_COMPARE(lines().filter("Network Error. Upload failed for: " + photo).size(), 1);
    QVERIFY(QFile::exists(photo));
    QVERIFY(m_server->requestsTo("/elsewhere").isEmpty());

    m_server->setRoute("/sync_api.php", TestResponse::ok("stored"));
    WorkerProbe::runPhotoCycle(*m_worker);
    QTRY_VERIFY(!QFile::exists(photo));
}

void PhotoUploadTest::photoInFlightOrChangedIsKept()
{
    TestResponse slow = TestResponse::ok("stored");
    slow.delayMs = 800;
    m_server->setRoute("/sync_api.php", slow);
    const QString photo = writePhoto("a.jpg", "first half");

    WorkerProbe::runPhotoCycle(*m_worker);
    QTRY_COMPARE(m_server->requests().size(), 1);
    WorkerProbe::runPhotoCycle(*m_worker); // the upload is still on its way
    QFile file(photo);
    QVERIFY(file.open(QIODevice::Append));
    file.write(" and the second half the camera wrote later");
    file.close();

    QTRY_VERIFY(lines().filter("Photo changed during upload").size() == 1);
    QCOMPARE(m_server->requests().size(), 1);
    QVERIFY(QFile::exists(photo));
    QCOMPARE(WorkerProbe::uploadsInFlight(*m_worker), 0);
}

void PhotoUploadTest::fileNameCannotInjectHeaders()
{
    const QString name = "a\"b\\c\r\nX-Injected: 1.jpg";
    const QString photo = writePhoto(name, "photo");
    QVERIFY(QFile::exists(photo));

    WorkerProbe::runPhotoCycle(*m_worker);
    QTRY_VERIFY(!QFile::exists(photo));
    const RecordedRequest request = m_server->requests().at(0);
    QCOMPARE(request.parts.size(), 3);
    QCOMPARE(request.parts.at(0).body, name.toUtf8());
    QVERIFY(request.parts.at(2).header("X-Injected").isEmpty());
    QCOMPARE(request.parts.at(2).fileName, QByteArray("a\"b\\cX-Injected: 1.jpg"));
}

QTEST_GUILESS_MAIN(PhotoUploadTest)
#include "tst_photoupload.moc"
