#include "platform.h"
#include "rig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QRegularExpression>
#include <QtTest>

namespace {

constexpr int healMs = 30000;

const QByteArray videoRoute = "/Lumipost/ADS/";
const QByteArray videoIndexRoute = "/sync_api.php?action=list_videos";
const QString appWriteFailed = "File open error on write. Retrying this file in 3s...";
const QString videoWriteFailed = "!!! File open error on write. Retrying in 3s... !!!";
const QString renameWaits = "!!! Downloaded and verified, retrying only the rename: ";
const QStringList failureLines{
    "Failed to fetch App Index", "Failed to download app file: ", "Failed to fetch Video Index",
    "!!! Failed to download video: ", "Network Error. Upload failed for: "};

struct Served
{
    QString local;
    QByteArray path, bytes;
};

// A kiosk part synced and holding photos, with files that only their hashes
// tell apart. The server spoils the first `faultsLeft` answers on `faultRoute`.
// Every log line is a moment to check that no part of a body stands under a
// real name and that no photo went without a whole 2xx answer.
struct Kiosk : Rig
{
    Kiosk()
    {
        QJsonArray apps{QJsonObject{{"relativePath", "logs"}, {"isDir", true}}};
        for (const auto &[name, size] : {std::pair{"app.exe", 5000},
                                         {"data/config.json", 4100},
                                         {"data/sub/deep.bin", 4200}}) {
            serve(product + '/' + name, appRoute + name, bytesOf(name, size));
            apps.append(QJsonObject{{"relativePath", name},
                                    {"size", size},
                                    {"sha256", QString(sha256(bytesOf(name, size)))}});
        }
        QJsonArray videos;
        for (const auto &[type, name, size] : {std::tuple{"public", "promo.mp4", 4300},
                                               {"public", "spring ad.mp4", 4400},
                                               {"private", "hello.mp4", 4500}}) {
            const bool isPublic = QByteArray(type) == "public";
            serve(root + (isPublic ? "/Lumipost/Media/" : "/kiosk-07/Media/") + name,
                  (isPublic ? publicRoute : privateRoute) + QUrl::toPercentEncoding(name),
                  bytesOf(name, size));
            videos.append(QJsonObject{{"type", type},
                                      {"filename", name},
                                      {"size", size},
                                      {"sha256", QString(sha256(bytesOf(name, size)))}});
        }
        appIndex = QJsonDocument(apps).toJson();
        videoIndex = QJsonDocument(videos).toJson();
        expectedTree =
            QStringList{"Lumipost",      "Lumipost/Media", "Lumipost/data",   "Lumipost/data/sub",
                        "Lumipost/logs", "kiosk-07",       "kiosk-07/Camera", "kiosk-07/Media"};
        for (const Served &s : std::as_const(served))
            expectedTree << s.local.mid(root.size() + 1);
        expectedTree.sort();

        // Two files of the served size but not its bytes: only their hashes tell.
        for (const auto &[path, bytes] :
             {std::pair<QString, QByteArray>{product + "/app.exe", "old app"},
              {product + "/stale.txt", "stale"},
              {product + "/data/config.json", bytesOf("stale config", 4100)},
              {root + "/Lumipost/Media/promo.mp4", bytesOf("stale promo", 4300)},
              {root + "/Lumipost/Media/obsolete.mp4", "obsolete"},
              {root + "/kiosk-07/Media/hello.mp4", "old hello"}}) {
            writeFile(path, bytes);
            before.insert(path, bytes);
        }
        for (const QString photo : {"a.jpg", "day 2/b.jpg", "c.jpg"})
            writeFile(camera + '/' + photo, photos[camera + '/' + photo] = bytesOf(photo, 3000));
        writeFile(tmp.path() + "/outside/keep.txt", "keep");
        fault = [this](TestResponse &response, const RecordedRequest &r) { spoil(response, r); };
    }
    void serve(const QString &local, const QByteArray &path, const QByteArray &bytes)
    {
        served.append({local, path, bytes});
        content.insert(path, bytes);
    }
    // A server of before content hashes: size is then the only test, so the
    // files that only a hash tells apart are left out too.
    void dropHashes()
    {
        for (QByteArray *index : {&appIndex, &videoIndex})
            *index = QString(*index).remove(QRegularExpression(R"("sha256": "\w+",?)")).toUtf8();
        for (const QString &path :
             {product + "/data/config.json", root + "/Lumipost/Media/promo.mp4"})
            QFile::remove(path), before.remove(path);
    }
    // Starts the agent, or starts it again, with the cycles close together.
    void restart()
    {
        Rig::start([this](SyncConfig &config) {
            config.startDelayMs = 10;
            config.photoIntervalMs = 300;
            config.videoIntervalMs = 400;
            config.transferTimeoutMs = 2000;
        });
        QObject::connect(worker.get(), &SyncWorker::logAdded, worker.get(),
                         [this] { checkInvariants(); });
    }

    void spoil(TestResponse &response, const RecordedRequest &r)
    {
        if (faultsLeft > 0 && r.target.startsWith(faultRoute)) {
            --faultsLeft;
            ++faultsServed;
            ++faultsOn[r.part("photo") ? r.part("photo")->body : r.path];
            faultOf(response);
            faultPath = r.path;
            if (afterFault)
                std::exchange(afterFault, nullptr)(*this);
        }
    }
    // Other bytes of the same size: the index stays, the validator changes.
    // A new release of one file switched in: its bytes and its index entry.
    void republish(const QByteArray &path, const std::function<QByteArray(QByteArray)> &next)
    {
        for (Served &s : served)
            if (s.path == path) {
                const QByteArray old = std::exchange(s.bytes, next(s.bytes));
                content.insert(path, s.bytes);
                for (QByteArray *index : {&appIndex, &videoIndex})
                    index->replace(sha256(old), sha256(s.bytes));
            }
    }
    void changeServed(const QByteArray &path)
    {
        for (Served &s : served)
            if (s.path == path)
                content.insert(path, s.bytes = bytesOf("changed " + s.local, s.bytes.size()));
    }

    void checkInvariants()
    {
        for (const Served &s : std::as_const(served)) {
            const QByteArray now = readFile(s.local);
            if (QFileInfo(s.local).isFile() && now != s.bytes &&
                (!before.contains(s.local) || before.value(s.local) != now))
                violations.insert("part of a body under the real name: " + s.local);
        }
        for (auto it = photos.cbegin(); it != photos.cend(); ++it)
            if (!QFile::exists(it.key()) && !accepted.contains(it.value()))
                violations.insert("photo deleted without a 2xx: " + it.key());
        // The agent's own files stay out of a player's and the user's sight.
        QDirIterator own(root, {".*"}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (own.hasNext())
            if (!own.nextFileInfo().isHidden())
                violations.insert("not hidden: " + own.filePath());
    }
    bool converged() const
    {
        QStringList now = treeOf(root);
        now.removeIf(
            [](const QString &e) { return QFileInfo(e).fileName().startsWith(".lumipost-"); });
        if (now != expectedTree)
            return false;
        for (const Served &s : served)
            if (readFile(s.local) != s.bytes)
                return false;
        for (auto it = photos.cbegin(); it != photos.cend(); ++it)
            if (!accepted.contains(it.value()))
                return false;
        return true;
    }
    QByteArray report() const { return lines().mid(lines().size() - 20).join('\n').toUtf8(); }
    void verifyHealed()
    {
        QTRY_VERIFY2_WITH_TIMEOUT(converged(), report().constData(), healMs);
        checkInvariants();
        QVERIFY2(violations.isEmpty(), qPrintable(violations.values().join('\n')));
        QCOMPARE(treeOf(tmp.path()).filter(QRegularExpression("^(?!KESTOVA)")),
                 (QStringList{"outside", "outside/keep.txt"}));
        // The bar ends full for every file, a resumed one included.
        QHash<QString, QVariantList> last;
        for (const QVariantList &args : *progress)
            last.insert(args.at(0).toString(), args);
        for (const QVariantList &args : std::as_const(last)) {
            const auto file = std::find_if(served.cbegin(), served.cend(), [&](const Served &s) {
                return s.local.endsWith('/' + args.at(0).toString());
            });
            QCOMPARE(args.at(1).toInt(), 100);
            QCOMPARE(args.mid(2), (QVariantList(2, file->bytes.size() / 1048576.0)));
        }
    }

    QList<Served> served;
    QStringList expectedTree;
    QHash<QString, QByteArray> before; // local files the run may leave as they were
    QHash<QString, QByteArray> photos;
    QSet<QString> violations;
    QByteArray faultRoute;
    std::function<void(TestResponse &)> faultOf;
    int faultsLeft = 0;
    int faultsServed = 0;
    QHash<QByteArray, int> faultsOn; // file path or photo body -> faults served on it
    QByteArray faultPath;
    std::function<bool(Kiosk &)> afterFault; // once, right after the first fault
    std::unique_ptr<QLockFile> otherAgent;
};

using Fault = std::function<void(TestResponse &)>;
using Action = std::function<bool(Kiosk &)>;

Fault status(int code)
{
    return [code](TestResponse &r) { r = TestResponse::error(code); };
}

QByteArray nextRelease(QByteArray bytes)
{
    return bytes.replace(0, 3, "v2:");
}

Fault body(const QByteArray &bytes)
{
    return [bytes](TestResponse &r) { r.body = bytes; };
}

Action fileInPlace(const QString &relative)
{
    return [relative](Kiosk &k) {
        return QDir(k.root + relative).removeRecursively() && writeFile(k.root + relative);
    };
}

Action folderInPlace(const QString &relative)
{
    return [relative](Kiosk &k) {
        QFile::remove(k.root + relative);
        return writeFile(k.root + relative + "/inner.txt");
    };
}

Action removeIt(const QString &relative)
{
    return [relative](Kiosk &k) {
        return QFile::remove(k.root + relative) || QDir(k.root + relative).removeRecursively();
    };
}

} // namespace

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(Action)

class FaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void serverFaults_data();
    void serverFaults();
    void localFaults_data();
    void localFaults();
    void forgedIndexes_data();
    void forgedIndexes();
};

enum Restart { NoRestart, AfterSync };

void FaultsTest::serverFaults_data()
{
    QTest::addColumn<QByteArray>("route");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("restart");
    QTest::addColumn<Action>("afterFault");
    QTest::addColumn<bool>("hashed"); // the indexes carry content hashes
    const auto row = [](const char *route, const char *name, const QByteArray &target,
                        const Fault &fault, int count, Restart restart = NoRestart,
                        const Action &after = nullptr, bool hashed = true) {
        QTest::addRow("%s, %s", route, name)
            << target << fault << count << int(restart) << after << hashed;
    };

    const Fault cutHalf = [](TestResponse &r) { r.closeAfterBytes = r.body.size() / 2; };
    const QList<std::tuple<const char *, Fault, int>> faults{
        {"500", status(500), 2},
        {"404", status(404), 2},
        {"403", status(403), 2},
        {"cut body", cutHalf, 2},
        {"100 GiB announced",
         [](TestResponse &r) {
             r.omitContentLength = true; // the real body, then the server hangs up
             r.headers = {{"Content-Length", "107374182400"}};
         },
         2},
        {"no length", [](TestResponse &r) { r.omitContentLength = true; }, 1},
        {"slower than a cycle", [](TestResponse &r) { r.delayMs = 800; }, 1},
        {"stall", [](TestResponse &r) { r.stall = true; }, 1}};
    for (const auto &[routeName, route] : {std::pair{"app index", appIndexTarget},
                                           {"app file", appRoute},
                                           {"video index", videoIndexRoute},
                                           {"video file", videoRoute},
                                           {"upload", uploadTarget}})
        for (const auto &[faultName, fault, count] : faults)
            row(routeName, faultName, route, fault, count);

    // Broken transfers resume where they stopped, unless the file changed (how
    // little a resumed run sends is the end-to-end kill test's to show).
    const Fault cutEvery1500 = [](TestResponse &r) { r.closeAfterBytes = 1500; };
    const Fault cutThen416 = [cutHalf, calls = 0](TestResponse &r) mutable {
        ++calls == 1 ? cutHalf(r) : status(416)(r);
    };
    const Action ignoreRange = [](Kiosk &k) { return !(k.honourRange = false); };
    const Action changeFile = [](Kiosk &k) {
        k.changeServed(k.faultPath);
        return true;
    };
    const Fault shortUnframed = [](TestResponse &r) {
        r.body.chop(r.body.size() / 2);
        r.omitContentLength = true;
    };
    const Fault tenTimes = [](TestResponse &r) { r.body = r.body.repeated(10); };
    const Fault tenTimesUnframed = [tenTimes](TestResponse &r) {
        tenTimes(r);
        r.omitContentLength = true;
    };
    // A server may answer an open range with less: "bytes FROM-LAST/TOTAL".
    const Fault short206 = [cutHalf](TestResponse &r) {
        if (r.status != 206)
            return cutHalf(r);
        QByteArray &range = r.headers.last().second;
        r.body.chop(r.body.size() / 2);
        const qint64 last = range.mid(6, range.indexOf('-') - 6).toLongLong() + r.body.size() - 1;
        range = range.left(range.indexOf('-') + 1) + QByteArray::number(last) +
                range.mid(range.indexOf('/'));
    };
    for (const auto &[name, route] :
         {std::pair{"app file", appRoute}, {"video file", videoRoute}}) {
        row(name, "cut every 1500 bytes", route, cutEvery1500, 6);
        row(name, "server ignores Range", route, cutHalf, 1, NoRestart, ignoreRange);
        // The index read before the change names the old bytes' hash.
        row(name, "changed between attempts", route, cutHalf, 1, NoRestart, changeFile, false);
        row(
            name, "corrupt body of the right size", route,
            [](TestResponse &r) { r.body[r.body.size() / 2] = r.body[r.body.size() / 2] ^ 1; }, 2);
        row(name, "no hashes in the index", route, cutHalf, 2, NoRestart, nullptr, false);
        row(name, "416 on resuming", route, cutThen416, 2);
        // Only a body of the index's size is committed, even without hashes.
        row(name, "short, no length", route, shortUnframed, 1, NoRestart, nullptr, false);
        row(name, "ten times the body", route, tenTimes, 1, NoRestart, nullptr, false);
        row(name, "ten times, no length", route, tenTimesUnframed, 1, NoRestart, nullptr, false);
        row(
            name, "204", route,
            [](TestResponse &r) {
                r = {204, {}, {}};
            },
            1, NoRestart, nullptr, false);
        row(name, "short 206", route, short206, 2, NoRestart, nullptr, false);
        // Switched in after the index was read: fetched again only after a new read.
        row(
            name, "republished", route, [](TestResponse &r) { r.body = nextRelease(r.body); }, 1,
            NoRestart, [](Kiosk &k) { return k.republish(k.faultPath, nextRelease), true; });
    }

    // Bodies that read as no index are the corpus replay's; these read as
    // one. The application index is read once per run, so a spoiled one heals
    // at the next start; the video index at the next tick.
    QByteArray pad(50 << 20, 'x');
    pad.prepend(R"({"pad":")").append(R"(",)");
    const Fault padded = [pad](TestResponse &r) { r.body.replace(r.body.indexOf('{'), 1, pad); };
    row(
        "upload", "receipt names other bytes", uploadTarget,
        [](TestResponse &r) {
            r.headers.append({"X-Content-SHA256", QByteArray(64, '0')});
        },
        2);
    row("upload", "no receipt", uploadTarget, body("stored"), 2);
    // A receipt that is there but no SHA-256 keeps the photo.
    const auto receiptHeader = [](const QByteArray &value) {
        return Fault([value](TestResponse &r) { r.headers.append({"X-Content-SHA256", value}); });
    };
    row("upload", "receipt stored-ok", uploadTarget, receiptHeader("stored-ok"), 2);
    row("upload", "receipt of 63 digits", uploadTarget, receiptHeader(QByteArray(63, 'a')), 2);
    row("upload", "receipt pending", uploadTarget, body(R"({"sha256":"pending"})"), 2);
    row("upload", "receipt a number", uploadTarget, body(R"({"sha256":12})"), 2);
    // Once receipts came, a 2xx without one (a portal's page) keeps the photo.
    const Fault portalAfterReceipt = [calls = 0](TestResponse &r) mutable {
        if (++calls < 3)
            r.body = "<html>portal</html>", r.delayMs = 1000;
    };
    row("upload", "portal page after a receipt", uploadTarget, portalAfterReceipt, 3, NoRestart,
        [](Kiosk &k) { return k.receiptsSeen = true; });
    // The bytes the camera adds meanwhile are not deleted with what was sent.
    const Action growPhotos = [](Kiosk &k) {
        for (auto it = k.photos.begin(); it != k.photos.end(); ++it)
            writeFile(it.key(), it.value() += " and more");
        return true;
    };
    row("upload", "no receipt, the photo grows meanwhile", uploadTarget, body("stored"), 1,
        NoRestart, growPhotos);
    row(
        "upload", "redirect", uploadTarget,
        [](TestResponse &r) {
            r = TestResponse::error(302);
            r.headers = {{"Location", appRoute + "app.exe"}};
        },
        2);
    row("app index", "wrong types", appIndexTarget,
        body(R"([{"relativePath":5,"size":"abc","isDir":"yes"},
                 {"relativePath":"app.exe","size":[1]}])"),
        1, AfterSync);
    row("video index", "wrong types", videoIndexRoute,
        body(R"([{"type":"public","filename":7},{"type":["public"],"filename":"promo.mp4"},
                 {"type":"public","filename":"promo.mp4","size":"4300"}])"),
        1);
    row("app index", "a portal's page", appIndexTarget, body("<html>portal</html>"), 1);
    row("app index", "50 MB", appIndexTarget, padded, 1);
    row("video index", "50 MB", videoIndexRoute, padded, 1);
}

void FaultsTest::serverFaults()
{
    QFETCH(QByteArray, route);
    QFETCH(Fault, fault);
    QFETCH(int, count);
    QFETCH(int, restart);
    QFETCH(Action, afterFault);
    QFETCH(bool, hashed);

    Kiosk k;
    if (!hashed)
        k.dropHashes();
    k.faultRoute = route;
    k.faultOf = fault;
    k.faultsLeft = count;
    k.afterFault = afterFault;
    k.restart();
    if (restart == AfterSync) {
        QTRY_VERIFY_WITH_TIMEOUT(k.logged(">>> Photo Sync Timer Enabled"), healMs);
        k.restart();
    }
    k.verifyHealed();
    QCOMPARE(k.faultsServed, count);
    // Slow or unframed answers are no failures.
    TestResponse probe = TestResponse::ok(QByteArray(100, '.'));
    fault(probe);
    const bool fails = !acceptsPhoto(probe, "") || probe.body != QByteArray(100, '.');
    for (const QString &line : failureLines)
        QVERIFY2(fails || !k.logged(line), qPrintable(line));
    // Nothing goes twice but for a failure or a restart (a busy cycle overlapped
    // by the next would): an unframed answer Qt itself may ask for once more.
    const int resent = probe.omitContentLength;
    QHash<QByteArray, int> sent;
    for (const RecordedRequest &r : k.server.requests())
        ++sent[r.part("photo") ? r.part("photo")->body : r.path];
    for (auto it = sent.cbegin(); it != sent.cend(); ++it)
        QVERIFY2(it.key() == "/sync_api.php" ||
                     it.value() <=
                         1 + (restart != NoRestart) + (fails + resent) * k.faultsOn.value(it.key()),
                 it.key().left(40).constData());
}

void FaultsTest::localFaults_data()
{
    QTest::addColumn<Action>("fault");
    QTest::addColumn<Action>("clear");
    QTest::addColumn<QString>("failureLine");

    const QString data = "/Lumipost/data";
    // Folder entries are made once per index read, so "logs" comes at the next start.
    QTest::newRow("product folder is a file") << fileInPlace("/Lumipost") << Action([](Kiosk &k) {
        const bool removed = removeIt("/Lumipost")(k);
        k.restart();
        return removed;
    }) << appWriteFailed;
    QTest::newRow("public media folder is a file")
        << fileInPlace("/Lumipost/Media") << removeIt("/Lumipost/Media") << videoWriteFailed;
    QTest::newRow("app file name taken by a folder")
        << folderInPlace(data + "/config.json") << removeIt(data + "/config.json") << renameWaits;
    QTest::newRow("video name taken by a folder")
        << folderInPlace("/Lumipost/Media/promo.mp4") << removeIt("/Lumipost/Media/promo.mp4")
        << renameWaits;
#ifdef Q_OS_WIN
    // Windows refuses to replace a video a player holds open until it lets go.
    auto player = std::make_shared<QProcess>();
    QTest::newRow("video held open by a player") << Action([player](Kiosk &k) {
        player->start(QCoreApplication::applicationDirPath() + "/holdfile.exe",
                      {QDir::toNativeSeparators(k.root + "/Lumipost/Media/promo.mp4")});
        return player->waitForReadyRead(10000);
    }) << Action([player](Kiosk &) {
        player->closeWriteChannel();
        return player->waitForFinished(10000);
    }) << renameWaits;
#endif
    // Last: the agent that gives way ends the event loop it would run in.
    QTest::newRow("another agent on the root") << Action([](Kiosk &k) {
        k.otherAgent = std::make_unique<QLockFile>(k.root + "/.lumipost-sync.lock");
        const bool held = QDir().mkpath(k.root) && k.otherAgent->tryLock(0);
        Platform::hideFile(k.root + "/.lumipost-sync.lock"); // as that agent does
        return held;
    }) << Action([](Kiosk &k) {
        k.otherAgent.reset();
        k.restart();
        return true;
    }) << "!!! Another agent runs on this company root; this one exits.";
}

void FaultsTest::localFaults()
{
    QFETCH(Action, fault);
    QFETCH(Action, clear);
    QFETCH(QString, failureLine);

    Kiosk k;
    QVERIFY(fault(k));
    k.restart();
    QTRY_VERIFY2_WITH_TIMEOUT(k.logged(failureLine), k.report().constData(), healMs);
    const QStringList lines = k.lines(); // the line, its reason on the next
    const qsizetype at =
        lines.indexOf(QRegularExpression(QRegularExpression::escape(failureLine) + ".*"));
    QVERIFY(lines.value(at + 1).startsWith(" -> "));
    // Named once at start if, and only if, the product folder is unusable.
    const QStringList named = lines.filter("Cannot write");
    QCOMPARE(named.size(), QFileInfo(k.product).isDir() ? 0 : 1);
    QVERIFY(named.isEmpty() ||
            named.first().startsWith("!!! Cannot write the company folder " + k.product + ": "));
    QVERIFY(clear(k));
    k.verifyHealed();
    // A verified file waiting for its name is not fetched again, and says so once.
    for (const QByteArray &path : k.fetched())
        QVERIFY2(failureLine != renameWaits || k.fetched().count(path) == 1, path.constData());
    QVERIFY(failureLine != renameWaits || k.lines().filter(renameWaits).size() == 1);
}

// Each is what an attacker on the path could serve a kiosk of a signed
// fleet, and each would fetch or delete files if it were taken.
void FaultsTest::forgedIndexes_data()
{
    QTest::addColumn<QByteArray>("route");
    QTest::addColumn<Fault>("forge");
    QTest::addColumn<QStringList>("lines");

    const QString appRefused = "!!! App Index signature refused: ";
    const QString videoRefused = "!!! Video Index signature refused: ";
    const QString mismatch = "the signature does not match this index";
    // Signed anew as the server would sign `edit` of the served index.
    using Edit = std::function<QByteArray(const QByteArray &)>;
    const auto resigned = [](const QByteArray &route, const QByteArray &device, qint64 counter,
                             const Edit &edit) {
        return Fault([=](TestResponse &r) {
            signIndex(r = TestResponse::ok(edit(r.body)), route, device, counter);
        });
    };
    // A size other than the file's: taken by size alone, these files would be fetched.
    const Edit noHashes = [](const QByteArray &body) {
        return QString(body)
            .remove(QRegularExpression(R"("sha256": "\w+",?)"))
            .replace(": 5000", ": 4999")
            .replace(": 4500", ": 4499")
            .toUtf8();
    };
    const Edit otherKiosk = [](const QByteArray &) {
        return R"([{"type":"private","filename":"x.mp4","size":3,"sha256":")" + sha256("x") +
               "\"}]";
    };
    QTest::newRow("app index, a byte changed")
        << appIndexTarget << Fault([](TestResponse &r) { r.body.replace("app.exe", "apq.exe"); })
        << QStringList{appRefused + mismatch, "Failed to fetch App Index"};
    QTest::newRow("video index, a byte changed") << videoIndexRoute << Fault([](TestResponse &r) {
        r.body.replace("promo.mp4", "promo.mp5");
    }) << QStringList{videoRefused + mismatch, "Failed to fetch Video Index"};
    QTest::newRow("video index, another kiosk's")
        << videoIndexRoute << resigned("list_videos", "kiosk-08", 1 << 20, otherKiosk)
        << QStringList{videoRefused + mismatch, "Failed to fetch Video Index"};
    QTest::newRow("app index, an older one replayed")
        << appIndexTarget << resigned("list_apps", "", 5, [](const QByteArray &) { return "[]"; })
        << QStringList{appRefused + "index 5 is older than index 101, accepted before"};
    QTest::newRow("video index, unsigned")
        << videoIndexRoute << Fault([](TestResponse &r) { r = TestResponse::ok("[]"); })
        << QStringList{videoRefused + "the index is not signed"};
    QTest::newRow("app index, entries without sha256")
        << appIndexTarget << resigned("list_apps", "", 1 << 20, noHashes)
        << QStringList{"!!! Skipping App Index entry without sha256: app.exe"};
    QTest::newRow("video index, entries without sha256")
        << videoIndexRoute << resigned("list_videos", "kiosk-07", 1 << 20, noHashes)
        << QStringList{"!!! Skipping Video Index entry without sha256: hello.mp4"};
}

void FaultsTest::forgedIndexes()
{
    QFETCH(QByteArray, route);
    QFETCH(Fault, forge);
    QFETCH(QStringList, lines);

    Kiosk k;
    k.signIndexes = true;
    k.restart();
    k.verifyHealed();
    QHash<QString, QByteArray> synced;
    for (const QString &entry : treeOf(k.root))
        synced.insert(entry, entry.endsWith("/.lumipost-index-counters")
                                 ? ""
                                 : readFile(k.root + '/' + entry));
    k.server.clearRequests();
    k.faultRoute = route;
    k.faultOf = forge;
    k.faultsLeft = 1;
    if (route == appIndexTarget)
        k.restart(); // the application index is read once per start
    QTRY_VERIFY2_WITH_TIMEOUT(k.loggedInOrder(lines), k.report().constData(), healMs);
    QTest::qWait(300);
    QCOMPARE(k.fetched(), QList<QByteArray>());
    for (auto it = synced.cbegin(); it != synced.cend(); ++it)
        QCOMPARE(it.key().endsWith("counters") ? "" : readFile(k.root + '/' + it.key()),
                 it.value());
    QCOMPARE(treeOf(k.root).size(), synced.size());
}

QTEST_GUILESS_MAIN(FaultsTest)
#include "tst_faults.moc"
