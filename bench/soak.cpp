#include "bench.h"

#include "syncworker.h"
#include "testserver.h"
#include "workerprobe.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>

// Months of a kiosk's life in minutes: every timing shortened, one request in
// five spoiled at random, files changing on the server and photos arriving.
// Resources are sampled every minute and held against the second minute's
// sample; once the faults stop, the folders must converge.
namespace {

// Qt's caches and the allocator settle within the first minute; a leak of one
// reply, buffer or socket per cycle (hundreds of cycles) goes far beyond these.
constexpr qint64 rssSlackKib = 20 * 1024;
constexpr int descriptorSlack = 8;
constexpr qsizetype maxLiveReplies = 12; // six uploads, one download, one index, a margin

struct Sample
{
    qint64 rssKib;
    int descriptors;
    qsizetype replies;
    qsizetype managers;
};

QByteArray indexOf(const QMap<QString, QByteArray> &files, const QJsonObject &common,
                   const QString &nameKey)
{
    QJsonArray index;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QJsonObject entry = common;
        entry.insert(nameKey, it.key());
        entry.insert(QStringLiteral("size"), it.value().size());
        index.append(entry);
    }
    return QJsonDocument(index).toJson(QJsonDocument::Compact);
}

// The server's files and the kiosk's camera, changed every ten seconds; the
// answers spoiled at random while faults are on.
class SoakFiles
{
public:
    explicit SoakFiles(const QString &root) : m_root(root) {}

    bool faults = true;

    TestResponse answer(const RecordedRequest &r) const
    {
        TestResponse response = TestResponse::error(404);
        const QString path = QString::fromUtf8(QByteArray::fromPercentEncoding(r.path));
        if (r.target == "/sync_api.php?action=list_apps")
            response = TestResponse::ok(indexOf(m_apps, {}, QStringLiteral("relativePath")));
        else if (r.target.startsWith("/sync_api.php?action=list_videos"))
            response = TestResponse::ok(
                indexOf(m_videos, {{QStringLiteral("type"), QStringLiteral("public")}},
                        QStringLiteral("filename")));
        else if (r.target == "/sync_api.php?action=upload")
            response = TestResponse::ok("stored");
        else if (path.startsWith(m_appPrefix) && m_apps.contains(path.mid(m_appPrefix.size())))
            response = TestResponse::ok(m_apps.value(path.mid(m_appPrefix.size())));
        else if (path.startsWith(m_videoPrefix) &&
                 m_videos.contains(path.mid(m_videoPrefix.size())))
            response = TestResponse::ok(m_videos.value(path.mid(m_videoPrefix.size())));
        if (!faults || QRandomGenerator::global()->bounded(5) != 0)
            return response;
        switch (QRandomGenerator::global()->bounded(4)) {
        case 0:
            return TestResponse::error(500);
        case 1:
            response.closeAfterBytes = response.body.size() / 2;
            break;
        case 2:
            response.stall = true; // ended by the agent's transfer limit
            break;
        default:
            response.delayMs = 1500; // slower than a photo cycle
        }
        return response;
    }

    void change()
    {
        const int n = ++m_changes;
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

    // The mirror holds the server's files and nothing else, the camera is empty.
    bool converged() const
    {
        const QString mirror = m_root + QStringLiteral("/Lumipost/");
        const QString hashRecord = QStringLiteral(".lumipost-hashes"); // the agent's own
        QStringList expected;
        for (auto it = m_apps.cbegin(); it != m_apps.cend(); ++it) {
            if (readFile(mirror + it.key()) != it.value())
                return false;
            expected << it.key();
        }
        for (auto it = m_videos.cbegin(); it != m_videos.cend(); ++it) {
            if (readFile(mirror + QStringLiteral("Media/") + it.key()) != it.value())
                return false;
            expected << QStringLiteral("Media/") + it.key();
        }
        expected.sort();
        QStringList files;
        for (const QString &entry : treeOf(m_root + QStringLiteral("/Lumipost")))
            if (QFileInfo(mirror + entry).isFile() && QFileInfo(entry).fileName() != hashRecord)
                files << entry;
        QDirIterator photos(m_root + QStringLiteral("/kiosk-01/Camera"), QDir::Files,
                            QDirIterator::Subdirectories);
        return files == expected && !photos.hasNext();
    }

private:
    const QString m_appPrefix = QStringLiteral("/Lumipost/Application/");
    const QString m_videoPrefix = QStringLiteral("/Lumipost/ADS/Public/");
    QString m_root;
    QMap<QString, QByteArray> m_apps;   // relative path -> bytes
    QMap<QString, QByteArray> m_videos; // public file name -> bytes
    int m_changes = 0;
};

bool printBar(const char *measure, const QString &value, const char *bar, bool pass)
{
    std::printf("%-13s %-34s %-22s %s\n", measure, qPrintable(value), bar,
                pass ? "pass" : "MISSED");
    return pass;
}

} // namespace

int runSoak(const QCommandLineParser &args)
{
    const int minutes = args.value(QStringLiteral("minutes")).toInt();
    if (minutes < 2)
        fail(QStringLiteral("the soak needs 2 minutes or more: the first one is its warm-up"));
    QTemporaryDir tmp;
    const QString root = tmp.path() + QStringLiteral("/KESTOVA");
    SoakFiles files(root);
    TestServer server;
    if (!server.listen())
        fail(QStringLiteral("cannot listen on loopback"));
    server.setFallback([&files](const RecordedRequest &r) { return files.answer(r); });
    files.change();

    SyncConfig config = testConfig(root, server.baseUrl());
    config.startDelayMs = 10;
    config.photoIntervalMs = 2000;
    config.videoIntervalMs = 5000;
    config.transferTimeoutMs = 3000;
    SyncWorker worker(config);

    // The application index is read once per start; ask again now and then,
    // as a restarted kiosk would, whenever the mirror's queue is idle.
    QTimer changes;
    QObject::connect(&changes, &QTimer::timeout, &worker, [&] {
        files.change();
        if (WorkerProbe::appQueueSize(worker) == 0)
            WorkerProbe::startAppSync(worker);
    });
    changes.start(10000);

    QList<Sample> samples;
    QElapsedTimer clock;
    clock.start();
    for (int minute = 1; minute <= minutes; ++minute) {
        QTest::qWait(int(minute * 60000 - clock.elapsed()));
        server.clearRequests(); // it records every request, photos included
        const Sample s{Measure::rssKib(), Measure::openDescriptors(),
                       worker.findChildren<QNetworkReply *>().size(),
                       worker.findChildren<QNetworkAccessManager *>().size()};
        samples.append(s);
        std::printf("minute %3d: rss %7lld KiB, descriptors %4d, live replies %2lld, "
                    "managers %2lld\n",
                    minute, s.rssKib, s.descriptors, qlonglong(s.replies), qlonglong(s.managers));
        std::fflush(stdout);
    }

    changes.stop();
    files.faults = false;
    QElapsedTimer settling;
    settling.start();
    bool converged = QTest::qWaitFor([&] { return WorkerProbe::appQueueSize(worker) == 0; }, 60000);
    if (converged) {
        WorkerProbe::startAppSync(worker);
        converged = QTest::qWaitFor([&] { return files.converged(); }, 60000);
    }

    const Sample &base = samples.at(1);
    const Sample &last = samples.last();
    qsizetype replies = 0;
    qsizetype managers = 0;
    for (const Sample &s : std::as_const(samples)) {
        replies = std::max(replies, s.replies);
        managers = std::max(managers, s.managers);
    }
    std::printf("\n");
    bool pass = printBar("RSS", QStringLiteral("%1 -> %2 KiB").arg(base.rssKib).arg(last.rssKib),
                         "end <= minute 2 + 20 MiB", last.rssKib - base.rssKib <= rssSlackKib);
    pass &= printBar("descriptors",
                     QStringLiteral("%1 -> %2").arg(base.descriptors).arg(last.descriptors),
                     "end <= minute 2 + 8", last.descriptors - base.descriptors <= descriptorSlack);
    pass &= printBar(
        "live replies", QStringLiteral("max %1, managers max %2").arg(replies).arg(managers),
        "<= 12, managers <= 13", replies <= maxLiveReplies && managers <= maxLiveReplies + 1);
    pass &= printBar(
        "folders",
        converged ? QStringLiteral("converged in %1 s").arg(settling.elapsed() / 1000.0, 0, 'f', 1)
                  : QStringLiteral("not converged"),
        "converged in 2 min", converged);
    return pass ? 0 : 1;
}
