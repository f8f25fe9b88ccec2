#include "syncworker.h"
#include "testserver.h"
#include "workerprobe.h"

#include <QDirIterator>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString synchronizedLine = "All videos (Public & Private) are completely synchronized.";
const QString finishedLine = "=== Video Ads Sync Cycle Finished Successfully ===";
const QString guardLine = "Previous video sync queue is still active. Skipping this cycle.";
const QByteArray indexPath = "/sync_api.php";
const QByteArray publicPath = "/Lumipost/ADS/Public/";
const QByteArray privatePath = "/Lumipost/ADS/Private/kiosk-07/";

// A company root with an optional device folder, a loopback server that
// answers every file with its own request target, and a worker aimed at both.
struct Rig
{
    explicit Rig(const QString &device = "kiosk-07")
    {
        QDir().mkpath(root + "/" + device);
        server.listen();
        server.setFallback([](const RecordedRequest &r) { return TestResponse::ok(r.target); });
        worker = std::make_unique<SyncWorker>(testConfig(root, server.baseUrl()));
        logs = std::make_unique<QSignalSpy>(worker.get(), &SyncWorker::logAdded);
        statuses = std::make_unique<QSignalSpy>(worker.get(), &SyncWorker::statusChanged);
    }
    void write(const QString &relative, const QByteArray &data = "old")
    {
        QVERIFY(writeFile(root + "/" + relative, data));
    }
    QStringList lines() const { return logLines(*logs); }
    bool idle() const { return !statuses->isEmpty() && statuses->last().at(1) == "idle"; }
    QList<QByteArray> fileTargets() const
    {
        QList<QByteArray> targets;
        for (const RecordedRequest &r : server.requests())
            if (r.path != indexPath)
                targets << r.target;
        return targets;
    }
    QStringList files() const
    {
        QStringList plain;
        for (const QString &entry : tree())
            if (QFileInfo(tmp.path() + "/" + entry).isFile())
                plain << entry;
        return plain;
    }
    QStringList tree() const { return treeOf(tmp.path()); }

    QTemporaryDir tmp;
    QString root = tmp.path() + "/KESTOVA";
    TestServer server;
    std::unique_ptr<SyncWorker> worker;
    std::unique_ptr<QSignalSpy> logs;
    std::unique_ptr<QSignalSpy> statuses;
};

} // namespace

class VideoSyncTest : public QObject
{
    Q_OBJECT

private slots:
    void reconcile_data();
    void reconcile();
    void emptyIdentity();
    void failuresAreRetriedInOrder();
    void renamedDeviceIsNotMadeAgain();
    void busyTickSendsNothing_data();
    void busyTickSendsNothing();
    void rejectedEntries();
};

void VideoSyncTest::reconcile_data()
{
    QTest::addColumn<QStringList>("local");
    QTest::addColumn<QByteArray>("index");
    QTest::addColumn<QList<QByteArray>>("fetched");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<QStringList>("expectedLines");

    const QString pub = "KESTOVA/Lumipost/Media/";
    const QString priv = "KESTOVA/kiosk-07/Media/";
    QTest::newRow("matches exactly")
        << QStringList{pub + "a.mp4", priv + "b.mp4"}
        << QByteArray(R"([{"type":"public","filename":"a.mp4","size":3},
                          {"type":"private","filename":"b.mp4","size":3}])")
        << QList<QByteArray>{} << QStringList{pub + "a.mp4", priv + "b.mp4"}
        << QStringList{synchronizedLine};
    QTest::newRow("wrong size, space in name, private url")
        << QStringList{pub + "spring promo.mp4"}
        << QByteArray(R"([{"type":"public","filename":"spring promo.mp4","size":9},
                          {"type":"private","filename":"b.mp4","size":3}])")
        << QList<QByteArray>{publicPath + "spring%20promo.mp4", privatePath + "b.mp4"}
        << QStringList{pub + "spring promo.mp4", priv + "b.mp4"}
        << QStringList{"Found 2 videos to download.", finishedLine};
    QTest::newRow("obsolete, other case, other type")
        << QStringList{pub + "old.mp4", pub + "Promo.mp4", pub + "b.mp4", priv + "b.mp4"}
        << QByteArray(R"([{"type":"public","filename":"promo.mp4","size":3},
                          {"type":"private","filename":"b.mp4","size":3}])")
        << QList<QByteArray>{publicPath + "promo.mp4"}
        << QStringList{pub + "promo.mp4", priv + "b.mp4"}
        << QStringList{"Removing obsolete public video: b.mp4",
                       "Removing obsolete public video: old.mp4",
                       "Removing obsolete public video: Promo.mp4"};
    QTest::newRow("empty index keeps sub-folders and hidden files")
        << QStringList{pub + "a.mp4", pub + ".hidden", pub + "sub/x.mp4", priv + "b.mp4"}
        << QByteArray("[]") << QList<QByteArray>{}
        << QStringList{pub + ".hidden", pub + "sub/x.mp4"}
        << QStringList{"Removing obsolete public video: a.mp4",
                       "Removing obsolete private video: b.mp4", synchronizedLine};
}

void VideoSyncTest::reconcile()
{
    QFETCH(QStringList, local);
    QFETCH(QByteArray, index);
    QFETCH(QList<QByteArray>, fetched);
    QFETCH(QStringList, kept);
    QFETCH(QStringList, expectedLines);

    Rig rig;
    for (const QString &file : local)
        rig.write(file.mid(8)); // below "KESTOVA/"
    rig.server.setRoute(indexPath, TestResponse::ok(index));
    WorkerProbe::runVideoCycle(*rig.worker);
    QTRY_VERIFY_WITH_TIMEOUT(rig.idle(), 10000);

    QCOMPARE(rig.server.requests().first().target,
             QByteArray("/sync_api.php?action=list_videos&device_uuid=kiosk-07"));
    QCOMPARE(rig.fileTargets(), fetched);
    for (const QByteArray &target : fetched) {
        const QString name = QUrl::fromPercentEncoding(target.mid(target.lastIndexOf('/') + 1));
        const QString folder =
            target.startsWith(publicPath) ? "/Lumipost/Media/" : "/kiosk-07/Media/";
        QFile file(rig.root + folder + name);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), target);
    }
    kept.sort();
    QCOMPARE(rig.files(), kept);
    const QStringList lines = rig.lines();
    for (const QString &line : expectedLines)
        QVERIFY2(lines.contains(line), qPrintable(line));
    QCOMPARE(lines.contains(finishedLine), !fetched.isEmpty());
}

void VideoSyncTest::emptyIdentity()
{
    Rig rig{QString()};
    rig.server.setRoute(indexPath, TestResponse::ok(R"([{"type":"private","filename":"p.mp4"},
                                                       {"type":"public","filename":"a.mp4"}])"));
    WorkerProbe::runVideoCycle(*rig.worker);
    QTRY_VERIFY_WITH_TIMEOUT(rig.lines().contains(finishedLine), 10000);

    QCOMPARE(rig.server.requests().first().target,
             QByteArray("/sync_api.php?action=list_videos&device_uuid="));
    QCOMPARE(rig.fileTargets(), QList<QByteArray>{publicPath + "a.mp4"});
    QVERIFY(rig.lines().contains("!!! Skipping private video without a device identity: p.mp4"));
    QCOMPARE(rig.tree(), (QStringList{"KESTOVA", "KESTOVA/Lumipost", "KESTOVA/Lumipost/Media",
                                      "KESTOVA/Lumipost/Media/a.mp4"}));
}

void VideoSyncTest::failuresAreRetriedInOrder()
{
    Rig rig;
    rig.write("Lumipost/Media/b.mp4/in-the-way"); // a folder under the video's name: writes fail
    rig.server.setRoute(indexPath, TestResponse::ok(R"([{"type":"public","filename":"a.mp4"},
                                                       {"type":"public","filename":"b.mp4"},
                                                       {"type":"public","filename":"c.mp4"}])"));
    rig.server.failFirst(publicPath + "a.mp4", 2, TestResponse::error(500));
    WorkerProbe::runVideoCycle(*rig.worker);
    const QString writeError = "!!! File open error on write. Retrying in 3s... !!!";
    QTRY_VERIFY_WITH_TIMEOUT(rig.lines().count(writeError) >= 2, 10000);
    QVERIFY(QDir(rig.root + "/Lumipost/Media/b.mp4").removeRecursively());
    QTRY_VERIFY_WITH_TIMEOUT(rig.lines().contains(finishedLine), 10000);

    const QList<QByteArray> targets = rig.fileTargets();
    QCOMPARE(targets.mid(0, 3), QList<QByteArray>(3, publicPath + "a.mp4"));
    QCOMPARE(targets.last(), publicPath + "c.mp4");
    QCOMPARE(targets.count(publicPath + "b.mp4"), targets.size() - 4);
    QCOMPARE(rig.lines().filter("!!! Failed to download video: a.mp4 -> Error: ").size(), 2);
    QCOMPARE(rig.lines().count("Found 3 videos to download."), 1);
    QVERIFY(QFileInfo(rig.root + "/Lumipost/Media/b.mp4").isFile());
}

// A device folder renamed while its video waits for a retry is not made
// again: that would bring the old identity back.
void VideoSyncTest::renamedDeviceIsNotMadeAgain()
{
    Rig rig;
    rig.server.setRoute(indexPath, TestResponse::ok(R"([{"type":"private","filename":"p.mp4"},
                                                       {"type":"public","filename":"a.mp4"}])"));
    rig.server.failFirst(privatePath + "p.mp4", 1, TestResponse::error(500));
    QObject::connect(&rig.server, &TestServer::requestReceived, [&rig](const RecordedRequest &r) {
        if (r.path == privatePath + "p.mp4")
            QDir(rig.root).rename("kiosk-07", "kiosk-08");
    });
    WorkerProbe::runVideoCycle(*rig.worker);
    QTRY_VERIFY_WITH_TIMEOUT(rig.lines().contains(finishedLine), 10000);

    QVERIFY(!QFileInfo::exists(rig.root + "/kiosk-07"));
    QVERIFY(rig.lines().contains(
        "!!! Folder is gone, its videos wait for the next cycle: " + rig.root + "/kiosk-07"));
    QVERIFY(QFileInfo(rig.root + "/Lumipost/Media/a.mp4").isFile());
}

void VideoSyncTest::busyTickSendsNothing_data()
{
    QTest::addColumn<QByteArray>("onRequest");
    QTest::addColumn<QString>("onLine");
    QTest::addColumn<int>("fileRequests");

    QTest::newRow("index outstanding") << indexPath << QString() << 1;
    QTest::newRow("download in flight") << publicPath + "a.mp4" << QString() << 1;
    QTest::newRow("retry waiting") << QByteArray() << "!!! Failed to download video: " << 2;
}

void VideoSyncTest::busyTickSendsNothing()
{
    QFETCH(QByteArray, onRequest);
    QFETCH(QString, onLine);
    QFETCH(int, fileRequests);

    Rig rig;
    rig.server.setRoute(indexPath, TestResponse::ok(R"([{"type":"public","filename":"a.mp4"}])"));
    if (!onLine.isEmpty())
        rig.server.failFirst(publicPath + "a.mp4", 1, TestResponse::error(503));
    SyncWorker *worker = rig.worker.get();
    connect(&rig.server, &TestServer::requestReceived, worker, [&](const RecordedRequest &r) {
        if (r.path == onRequest)
            WorkerProbe::runVideoCycle(*worker);
    });
    connect(worker, &SyncWorker::logAdded, worker, [&](const QString &line) {
        if (!onLine.isEmpty() && line.startsWith(onLine))
            WorkerProbe::runVideoCycle(*worker);
    });
    WorkerProbe::runVideoCycle(*worker);
    QTRY_VERIFY_WITH_TIMEOUT(rig.lines().contains(finishedLine), 10000);

    QCOMPARE(rig.lines().count(guardLine), 1);
    QCOMPARE(rig.server.requestsTo(indexPath).size(), 1);
    QCOMPARE(rig.fileTargets().size(), fileRequests);
    // Once idle again, the next tick fetches the index.
    WorkerProbe::runVideoCycle(*worker);
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.requestsTo(indexPath).size(), 2, 10000);
}

void VideoSyncTest::rejectedEntries()
{
    Rig rig;
    const QStringList unsafe{"",          ".",          "..",      "../up.mp4",
                             "sub/x.mp4", "sub\\x.mp4", "C:x.mp4", "/abs.mp4"};
    QJsonArray index{42, QJsonObject{{"filename", "untyped.mp4"}},
                     QJsonObject{{"type", "Public"}, {"filename", "cased.mp4"}},
                     QJsonObject{{"type", "public"}, {"filename", "ok.mp4"}}};
    for (const QString &name : unsafe) {
        index.append(QJsonObject{{"type", "public"}, {"filename", name}});
        index.append(QJsonObject{{"type", "private"}, {"filename", name}});
    }
    rig.write("Lumipost/Media/untyped.mp4");
    rig.write("Lumipost/Media/C:x.mp4");
    rig.server.setRoute(indexPath, TestResponse::ok(QJsonDocument(index).toJson()));
    WorkerProbe::runVideoCycle(*rig.worker);
    QTRY_VERIFY_WITH_TIMEOUT(rig.lines().contains(finishedLine), 10000);

    QCOMPARE(rig.fileTargets(), QList<QByteArray>{publicPath + "ok.mp4"});
    QCOMPARE(rig.tree(), (QStringList{"KESTOVA", "KESTOVA/Lumipost", "KESTOVA/Lumipost/Media",
                                      "KESTOVA/Lumipost/Media/ok.mp4", "KESTOVA/kiosk-07",
                                      "KESTOVA/kiosk-07/Media"}));
    const QStringList lines = rig.lines();
    QCOMPARE(lines.filter("!!! Skipping unsafe video file name: ").size(), 2 * unsafe.size());
    QCOMPARE(lines.count("!!! Skipping video entry with unknown type: "), 2);
    QVERIFY(lines.contains("!!! Skipping video entry with unknown type: Public"));
    QVERIFY(lines.contains("Removing obsolete public video: untyped.mp4"));
    QVERIFY(lines.contains("Removing obsolete public video: C:x.mp4"));
}

QTEST_GUILESS_MAIN(VideoSyncTest)
#include "tst_videosync.moc"
