#include "syncworker.h"
#include "testserver.h"
#include "workerprobe.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

// Months of a kiosk's life in minutes: every timing shortened, one request in
// five spoiled at random, files changing on the server and photos arriving.
// Resources are sampled every minute; none may grow beyond its slack, and the
// folders must converge once the faults stop.
namespace {

// Slack over the first sample taken after a minute of warm-up. Qt's caches
// and the allocator settle within that minute; a leak of one reply, buffer or
// socket per cycle (hundreds of cycles) goes far beyond these.
constexpr qint64 rssSlackKiB = 20 * 1024;
constexpr int fdSlack = 8;
constexpr int maxLiveReplies = 12; // six uploads, one download, one index, a margin

qint64 statusValueKiB(const QByteArray &key)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLongLong();
    return -1;
}

int openDescriptors()
{
    return QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

struct Sample
{
    int minute;
    qint64 rssKiB;
    int fds;
    qsizetype replies;
    qsizetype managers;
};

} // namespace

class SoakTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void survivesFaultsAndTime();

private:
    TestResponse answer(const RecordedRequest &r);
    void changeServerFiles();
    QByteArray appIndex() const;
    QByteArray videoIndex() const;
    bool converged() const;

    QTemporaryDir m_tmp;
    QString m_root = m_tmp.path() + "/KESTOVA";
    QMap<QString, QByteArray> m_apps;   // relative path -> bytes
    QMap<QString, QByteArray> m_videos; // public file name -> bytes
    bool m_faults = true;
    int m_change = 0;
};

TestResponse SoakTest::answer(const RecordedRequest &r)
{
    const QByteArray path = QByteArray::fromPercentEncoding(r.path);
    TestResponse response = TestResponse::error(404);
    if (r.target == "/sync_api.php?action=list_apps")
        response = TestResponse::ok(appIndex());
    else if (r.target.startsWith("/sync_api.php?action=list_videos"))
        response = TestResponse::ok(videoIndex());
    else if (r.target == "/sync_api.php?action=upload")
        response = TestResponse::ok("stored");
    else if (path.startsWith("/Lumipost/Application/") && m_apps.contains(path.mid(22)))
        response = TestResponse::ok(m_apps.value(path.mid(22)));
    else if (path.startsWith("/Lumipost/ADS/Public/") && m_videos.contains(path.mid(21)))
        response = TestResponse::ok(m_videos.value(path.mid(21)));
    if (!m_faults || QRandomGenerator::global()->bounded(5) != 0)
        return response;
    switch (QRandomGenerator::global()->bounded(4)) {
    case 0:
        return TestResponse::error(500);
    case 1:
        response.closeAfterBytes = response.body.size() / 2;
        return response;
    case 2:
        response.stall = true; // ended by the agent's transfer limit
        return response;
    default:
        response.delayMs = 1500; // slower than a photo cycle
        return response;
    }
}

void SoakTest::changeServerFiles()
{
    const int n = ++m_change;
    const QByteArray bytes(1000 + n % 7 * 3000, char('a' + n % 26));
    m_apps.insert(QStringLiteral("dir%1/file%2.bin").arg(n % 5).arg(n % 11), bytes);
    if (n % 3 == 0)
        m_apps.remove(m_apps.firstKey());
    m_videos.insert(QStringLiteral("ad%1.mp4").arg(n % 6), bytes + bytes);
    if (n % 4 == 0)
        m_videos.remove(m_videos.firstKey());
    for (int i = 0; i < 2; ++i)
        writeFile(QStringLiteral("%1/kiosk-01/Camera/day%2/p%3-%4.jpg")
                      .arg(m_root)
                      .arg(n % 3)
                      .arg(n)
                      .arg(i),
                  QByteArray(20000, 'p'));
}

QByteArray SoakTest::appIndex() const
{
    QJsonArray index;
    for (auto it = m_apps.cbegin(); it != m_apps.cend(); ++it)
        index.append(QJsonObject{{"relativePath", it.key()}, {"size", it.value().size()}});
    return QJsonDocument(index).toJson(QJsonDocument::Compact);
}

QByteArray SoakTest::videoIndex() const
{
    QJsonArray index;
    for (auto it = m_videos.cbegin(); it != m_videos.cend(); ++it)
        index.append(
            QJsonObject{{"type", "public"}, {"filename", it.key()}, {"size", it.value().size()}});
    return QJsonDocument(index).toJson(QJsonDocument::Compact);
}

bool SoakTest::converged() const
{
    QStringList expectedFiles;
    for (auto it = m_apps.cbegin(); it != m_apps.cend(); ++it) {
        if (readFile(m_root + "/Lumipost/" + it.key()) != it.value())
            return false;
        expectedFiles << it.key();
    }
    for (auto it = m_videos.cbegin(); it != m_videos.cend(); ++it) {
        if (readFile(m_root + "/Lumipost/Media/" + it.key()) != it.value())
            return false;
        expectedFiles << "Media/" + it.key();
    }
    QStringList files;
    for (const QString &entry : treeOf(m_root + "/Lumipost"))
        if (QFileInfo(m_root + "/Lumipost/" + entry).isFile())
            files << entry;
    expectedFiles.sort();
    QDirIterator photos(m_root + "/kiosk-01/Camera", QDir::Files, QDirIterator::Subdirectories);
    return files == expectedFiles && !photos.hasNext();
}

void SoakTest::survivesFaultsAndTime()
{
    const int minutes = qEnvironmentVariableIntValue("LUMIPOST_SOAK_MINUTES") > 0
                            ? qEnvironmentVariableIntValue("LUMIPOST_SOAK_MINUTES")
                            : 20;
    TestServer server;
    QVERIFY(server.listen());
    server.setFallback([this](const RecordedRequest &r) { return answer(r); });
    QVERIFY(QDir().mkpath(m_root + "/kiosk-01/Camera"));
    changeServerFiles();

    SyncConfig config = testConfig(m_root, server.baseUrl());
    config.startDelayMs = 10;
    config.photoIntervalMs = 2000;
    config.videoIntervalMs = 5000;
    config.transferTimeoutMs = 3000;
    SyncWorker worker(config);

    // The application index is read once per start; ask again now and then,
    // as a restarted kiosk would, whenever the mirror's queue is idle.
    QTimer changes;
    connect(&changes, &QTimer::timeout, this, [&] {
        changeServerFiles();
        if (WorkerProbe::appQueueSize(worker) == 0)
            WorkerProbe::startAppSync(worker);
    });
    changes.start(10000);

    QList<Sample> samples;
    QElapsedTimer clock;
    clock.start();
    for (int minute = 1; minute <= minutes; ++minute) {
        QTest::qWait(int(minute * 60000 - clock.elapsed()));
        server.clearRequests();
        samples.append({minute, statusValueKiB("VmRSS:"), openDescriptors(),
                        worker.findChildren<QNetworkReply *>().size(),
                        worker.findChildren<QNetworkAccessManager *>().size()});
        const Sample &s = samples.last();
        qInfo("minute %2d: rss %6lld KiB, fds %3d, live replies %2lld, managers %2lld", s.minute,
              s.rssKiB, s.fds, qlonglong(s.replies), qlonglong(s.managers));
    }

    changes.stop();
    m_faults = false;
    QTRY_VERIFY_WITH_TIMEOUT(WorkerProbe::appQueueSize(worker) == 0, 60000);
    WorkerProbe::startAppSync(worker);
    QTRY_VERIFY_WITH_TIMEOUT(converged(), 60000);

    QVERIFY(samples.size() >= 2);
    const Sample &base = samples.at(1);
    for (const Sample &s : std::as_const(samples)) {
        QVERIFY2(s.replies <= maxLiveReplies, qPrintable(QString::number(s.minute)));
        QVERIFY2(s.managers <= maxLiveReplies + 1, qPrintable(QString::number(s.minute)));
    }
    const Sample &last = samples.last();
    QVERIFY2(last.rssKiB - base.rssKiB <= rssSlackKiB, "resident memory grew");
    QVERIFY2(last.fds - base.fds <= fdSlack, "open descriptors grew");
}

QTEST_GUILESS_MAIN(SoakTest)
#include "tst_soak.moc"
