#include "rig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QtTest>

namespace {

using Bytes = QList<QByteArray>;
const QString unsafeLine = "!!! Skipping unsafe path in App Index: ";
const QString executingLine = ">>> 1-Minute boot delay satisfied. Executing Main Application: ";
const QString askLine =
    "Main application path is not set or file missing. Asking user to select...";
const QString failedLine = "!!! FAILED to start Main Application. Checking path/permissions.";
const QString photoTimerLine = ">>> Photo Sync Timer Enabled (Every 60s).";
#ifdef Q_OS_WIN
constexpr bool windows = true; // a leading dot hides nothing, letter case makes no other file
#else
constexpr bool windows = false;
#endif

const QDateTime laidTime = QDateTime::fromMSecsSinceEpoch(1577836800000, Qt::UTC);

// What is below the company root before a flow runs: "name" is a file holding
// "old", "name=text" one holding text, "name/" a folder, and "name@" a link to
// a folder outside the root.
void lay(Rig &rig, const QStringList &files)
{
    const QString outside = rig.tmp.path() + "/outside";
    QVERIFY(QDir().mkpath(outside + "/empty"));
    for (const QString &file : files) {
        const QString path = rig.root + '/' + file;
        if (file.endsWith('/'))
            QVERIFY(QDir().mkpath(path));
        else if (file.endsWith('@'))
            QVERIFY(QDir().mkpath(QFileInfo(path).path()) && linkFolder(outside, path.chopped(1)));
        else
            QVERIFY(writeFile(path.section('=', 0, 0),
                              file.contains('=') ? file.section('=', 1).toUtf8() : "old"));
    }
    // One time for every laid file, so that a record can name it.
    for (const QString &file : treeOf(rig.root)) {
        QFile laid(rig.root + '/' + file);
        if (QFileInfo(laid).isFile() && laid.open(QIODevice::ReadWrite))
            QVERIFY(laid.setFileTime(laidTime, QFileDevice::FileModificationTime));
    }
}

// Plain files below the folder, relative to it, without the agent's records and lock.
QStringList filesBelow(const QString &folder)
{
    QStringList files = treeOf(folder);
    files.removeIf([&](const QString &entry) {
        return !QFileInfo(folder + '/' + entry).isFile() ||
               QFileInfo(entry).fileName().startsWith(".lumipost-") || entry == "config.ini";
    });
    return files;
}

} // namespace

class FlowsTest : public QObject
{
    Q_OBJECT

private slots:
    void reconcile_data();
    void reconcile();
    void launch();
    void uploads();
    void manyPhotosOnASlowLink();
    void renamedDeviceIsNotMadeAgain();
};

// One pass of a flow over what is on disk and what the index says.
void FlowsTest::reconcile_data()
{
    QTest::addColumn<bool>("app"); // else the video flow
    QTest::addColumn<QStringList>("local");
    QTest::addColumn<QByteArray>("index");
    QTest::addColumn<QByteArray>("failing"); // fails with a 500 this many times:
    QTest::addColumn<int>("failures");
    QTest::addColumn<Bytes>("fetched");
    QTest::addColumn<QStringList>("files"); // below the company root, when given
    QTest::addColumn<QStringList>("lines"); // prefixes, in order

    const QByteArray spaced = appRoute + "my%20file.txt";
    QTest::newRow("names encoded, a failed file first again")
        << true << QStringList{}
        << QByteArray(R"([{"relativePath":"/my file.txt"},{"relativePath":"bin/my app%.exe"}])")
        << spaced << 2 << (Bytes(3, spaced) << appRoute + "bin/my%20app%25.exe")
        << QStringList{"Lumipost/bin/my app%.exe", "Lumipost/my file.txt"}
        << QStringList{"Failed to download app file: ", "Failed to download app file: ",
                       completedLine, startedLine};

    // Escapes are undone, and of a repeated member the last counts.
    QTest::newRow("escaped names, a byte-order mark, a repeated member")
        << true << QStringList{}
        << QByteArray(R"([{"relativePath":"caf\u00e9\/m\u0065)"
                      "\xEF\xBB\xBF"
                      R"(nu.txt","size":"x","size":0}])")
        << QByteArray() << 0 << Bytes{appRoute + "caf%C3%A9/me%EF%BB%BFnu.txt"}
        << QStringList{"Lumipost/caf\u00e9/me\uFEFFnu.txt"} << QStringList{completedLine};

    // Size alone decides without hashes; the media folder, hidden entries and
    // partial files still wanted stay, extras go deepest first.
    QStringList local;
    for (const char *file :
         {"old.txt", "olddir/sub/deep.txt", "Media/x/y", "media/clip.mp4", "MEDIA", "Media2/a.txt",
          "Mediafile.txt", ".hidden", ".hiddendir/x", "kept/listed.txt", "same.bin", "short.bin",
          "long.bin", "kept/.listed.txt.partial", ".gone.txt.partial-info"})
        local << QString("Lumipost/") + file;
    QStringList kept{".hidden",  ".hiddendir/x",   "MEDIA",    "Media/x/y", "kept/listed.txt",
                     "long.bin", "media/clip.mp4", "same.bin", "short.bin"};
    if (windows) { // "MEDIA" cannot stand beside "Media"
        local.removeOne("Lumipost/MEDIA");
        kept = QStringList{"Media/clip.mp4", "Media/x/y", "kept/listed.txt",
                           "long.bin",       "same.bin",  "short.bin"};
    }
    QTest::newRow("deletion pass")
        << true << local << QByteArray(R"([{"relativePath":"kept/listed.txt","size":3},
                          {"relativePath":"same.bin","size":3},{"relativePath":"short.bin","size":4},
                          {"relativePath":"long.bin","size":2}])")
        << QByteArray() << 0 << Bytes{appRoute + "short.bin", appRoute + "long.bin"}
        << kept.replaceInStrings(QRegularExpression("^"), "Lumipost/")
        << QStringList{"Deleted local file: %1/Lumipost/olddir/sub/deep.txt",
                       "Deleted local empty directory: %1/Lumipost/olddir/sub",
                       "Deleted local empty directory: %1/Lumipost/olddir", completedLine};

    // The agent's record of a hash is trusted only while the file's size and
    // time are those it recorded.
    const QByteArray bin = appRoute + "app.bin";
    const QByteArray size = QByteArray::number(bin.size());
    QTest::newRow("a record that no longer fits its file")
        << true
        << QStringList{"Lumipost/app.bin=" + QString(bin).replace("app", "old"),
                       "Lumipost/.lumipost-hashes=" + size + " 0 " + sha256(bin) + " app.bin"}
        << QByteArray(R"([{"relativePath":"app.bin","size":)" + size + R"(,"sha256":")" +
                      sha256(bin) + "\"}]")
        << QByteArray() << 0 << Bytes{bin} << QStringList{"Lumipost/app.bin"}
        << QStringList{completedLine};
    // Without its last line this record would vouch for the old file.
    QTest::newRow("a record with a line it cannot read")
        << true
        << QStringList{"Lumipost/app.bin=" + QString(bin).replace("app", "old"),
                       "Lumipost/.lumipost-hashes=" + size + ' ' +
                           QString::number(laidTime.toMSecsSinceEpoch()) + ' ' + sha256(bin) +
                           " app.bin\nnot a line"}
        << QByteArray(R"([{"relativePath":"app.bin","size":)" + size + R"(,"sha256":")" +
                      sha256(bin) + "\"}]")
        << QByteArray() << 0 << Bytes{bin} << QStringList{"Lumipost/app.bin"}
        << QStringList{completedLine};

    // Each path as a file and, below it, as a folder; "" + "/dir" is the safe "dir".
    QJsonArray unsafe{42};
    QStringList skipped;
    for (const QString path :
         {"", "/", "..", "../escape.txt", "a/../../x.txt", "/../up.txt", "//host/share.txt",
          "\\\\host\\share.txt", "\\root.txt", "C:/win.txt", "c:rel.txt", "a\\..\\..\\bs.txt"}) {
        unsafe.append(QJsonObject{{"relativePath", path}, {"size", 1}});
        unsafe.append(QJsonObject{{"relativePath", path + "/dir"}, {"isDir", true}});
        for (const QString &entry : {path, path + "/dir"})
            skipped << unsafeLine + (entry.startsWith('/') ? entry.mid(1) : entry);
    }
    skipped.removeOne(unsafeLine + "dir");
    for (const char *path : {"ok..txt", "a..b/c.txt", "link/x.txt"})
        unsafe.append(QJsonObject{{"relativePath", path}, {"size", 1}});
    unsafe.append(QJsonObject{{"relativePath", "link/sub"}, {"isDir", true}});
    QTest::newRow("unsafe paths and links lead nowhere")
        << true << QStringList{"Lumipost/link@"} << QJsonDocument(unsafe).toJson() << QByteArray()
        << 0 << Bytes{appRoute + "ok..txt", appRoute + "a..b/c.txt"}
        << QStringList{"Lumipost/a..b/c.txt", "Lumipost/ok..txt"}
        << skipped + QStringList{"!!! Skipping path through a link in App Index: link/x.txt",
                                 "!!! Skipping path through a link in App Index: link/sub",
                                 completedLine};

    // Media is the video flow's; a name with a line break would spoil the hash record.
    QTest::newRow("Media and control characters")
        << true << QStringList{"Lumipost/Media/ad.mp4"}
        << QByteArray(R"([{"relativePath":"Media/ad.mp4","size":5},{"relativePath":"media/x",
                          "isDir":true},{"relativePath":"MEDIA\\b.mp4"},
                          {"relativePath":"odd\nname.txt"},{"relativePath":"ok.txt"}])")
        << QByteArray() << 0 << Bytes{appRoute + "ok.txt"}
        << QStringList{"Lumipost/Media/ad.mp4", "Lumipost/ok.txt"}
        << QStringList{unsafeLine + "odd\uFFFDname.txt",
                       "!!! App Index lists 3 entries under Media", completedLine};

    QTest::newRow("index fails, the program starts, then an array")
        << true << QStringList{} << QByteArray("[]") << appIndexTarget << 2 << Bytes{}
        << QStringList{}
        << QStringList{"Failed to fetch App Index (Network offline).",
                       executingLine,
                       startedLine,
                       photoTimerLine,
                       "App Sync will retry fetching index in 30s",
                       "Failed to fetch App Index",
                       "### Starting One-Time Application Sync Check",
                       "Application files are completely up-to-date."};

    // A file that never downloads: photos and videos start at its first
    // failure, the program after the grace period, and the file is retried.
    QTest::newRow("a failing file holds nothing else")
        << true << QStringList{}
        << QByteArray(R"([{"relativePath":"gone.txt"},{"relativePath":"b.txt"}])")
        << appRoute + "gone.txt" << 1000 << Bytes(4, appRoute + "gone.txt") << QStringList{}
        << QStringList{"Failed to download app file: ", photoTimerLine,
                       "!!! App file still missing after 5 minutes, starting the main application "
                       "without it: gone.txt",
                       executingLine, startedLine};

    const QString pub = "Lumipost/Media/";
    const QString priv = "kiosk-07/Media/";
    // On Windows "Promo.mp4" is the listed file, kept, and "PROMO.MP4" names it again.
    QTest::newRow("obsolete, other case, other type")
        << false << QStringList{pub + "old.mp4", pub + "Promo.mp4", pub + "b.mp4", priv + "b.mp4"}
        << QByteArray(R"([{"type":"public","filename":"promo.mp4","size":3},
                          {"type":"public","filename":"PROMO.MP4","size":3},
                          {"type":"private","filename":"b.mp4","size":3}])")
        << QByteArray() << 0
        << (windows ? Bytes{} : Bytes{publicRoute + "promo.mp4", publicRoute + "PROMO.MP4"})
        << (windows ? QStringList{pub + "Promo.mp4", priv + "b.mp4"}
                    : QStringList{pub + "PROMO.MP4", pub + "promo.mp4", priv + "b.mp4"})
        << (windows ? QStringList{"!!! Skipping 1 Video Index entries that name the same file",
                                  "Removing obsolete public video: b.mp4",
                                  "Removing obsolete public video: old.mp4", videoSyncedLine}
                    : QStringList{"Removing obsolete public video: b.mp4",
                                  "Removing obsolete public video: old.mp4",
                                  "Removing obsolete public video: Promo.mp4", videoDoneLine});
    // One size reader for both indexes; a file that cannot fit waits and holds nothing back.
    QTest::newRow("sizes and disk space")
        << false << QStringList{pub + "a.mp4"}
        << QByteArray(R"([{"type":"public","filename":"a.mp4","size":"3"},{"type":"public",
                          "filename":"big.mp4","size":1e15},{"type":"public","filename":"neg.mp4",
                          "size":-1},{"type":"public","filename":"half.mp4","size":1.5},
                          {"type":"public","filename":"ok.mp4"}])")
        << QByteArray() << 0 << Bytes{publicRoute + "ok.mp4"}
        << QStringList{pub + "a.mp4", pub + "ok.mp4"}
        << QStringList{"!!! Skipping video entry with an unreadable size: neg.mp4",
                       "!!! Skipping video entry with an unreadable size: half.mp4",
                       "Not enough disk space for big.mp4: needs 953674317 MB, ", videoDoneLine};
    QTest::newRow("empty index keeps sub-folders and hidden files")
        << false << QStringList{pub + "a.mp4", pub + ".hidden", pub + "sub/x.mp4", priv + "b.mp4"}
        << QByteArray("[]") << QByteArray() << 0 << Bytes{}
        << (windows ? QStringList{pub + "sub/x.mp4"}
                    : QStringList{pub + ".hidden", pub + "sub/x.mp4"})
        << QStringList{windows ? "Removing obsolete public video: .hidden" : "",
                       "Removing obsolete public video: a.mp4",
                       "Removing obsolete private video: b.mp4", videoSyncedLine};
    // The device is the first folder by name in any case but the product
    // folder; its name goes into the URL as it is.
    QTest::newRow("identity") << false
                              << QStringList{"LUMIPOST/", windows ? "B-device/" : ".aaa/",
                                             "B-device/", "a-dev%2/", "0-readme.txt"}
                              << QByteArray(R"([{"type":"private","filename":"p.mp4"}])")
                              << QByteArray() << 0 << Bytes{"/Lumipost/ADS/Private/a-dev%252/p.mp4"}
                              << QStringList{"0-readme.txt", "a-dev%2/Media/p.mp4"}
                              << QStringList{videoDoneLine};
    QTest::newRow("no identity: public only")
        << false << QStringList{"LUMIPOST/"}
        << QByteArray(
               R"([{"type":"private","filename":"p.mp4"},{"type":"public","filename":"a.mp4"}])")
        << QByteArray() << 0 << Bytes{publicRoute + "a.mp4"}
        << QStringList{(windows ? "LUMIPOST" : "Lumipost") + QString("/Media/a.mp4")}
        << QStringList{"!!! Skipping private video without a device identity: p.mp4",
                       videoDoneLine};

    QJsonArray index{42, QJsonObject{{"filename", "untyped.mp4"}},
                     QJsonObject{{"type", "Public"}, {"filename", "cased.mp4"}},
                     QJsonObject{{"type", "public"}, {"filename", "ok.mp4"}}};
    QStringList lines{"!!! Skipping video entry with unknown type: ",
                      "!!! Skipping video entry with unknown type: ",
                      "!!! Skipping video entry with unknown type: Public"};
    for (const QString name : {"", ".", "..", "../up.mp4", "sub/x.mp4", "sub\\x.mp4", "C:x.mp4",
                               "/abs.mp4", "a\nb.mp4"}) {
        for (const char *type : {"public", "private"}) {
            index.append(QJsonObject{{"type", type}, {"filename", name}});
            lines << "!!! Skipping unsafe video file name: " +
                         QString(name).replace('\n', u'\uFFFD');
        }
    }
    QStringList rejected{pub + "untyped.mp4", "kiosk-07/"};
    if (!windows) { // a name Windows cannot hold
        rejected << pub + "C:x.mp4";
        lines << "Removing obsolete public video: C:x.mp4";
    }
    QTest::newRow("rejected entries")
        << false << rejected << QJsonDocument(index).toJson() << QByteArray() << 0
        << Bytes{publicRoute + "ok.mp4"} << QStringList{pub + "ok.mp4"}
        << lines + QStringList{"Removing obsolete public video: untyped.mp4", videoDoneLine};
}

void FlowsTest::reconcile()
{
    QFETCH(bool, app);
    QFETCH(QStringList, local);
    QFETCH(QByteArray, index);
    QFETCH(QByteArray, failing);
    QFETCH(int, failures);
    QFETCH(Bytes, fetched);
    QFETCH(QStringList, files);
    QFETCH(QStringList, lines);

    if (!local.filter("@").isEmpty() && !canLinkFolders())
        QSKIP("no folder links can be made here");
    Rig rig;
    lay(rig, local);
    (app ? rig.appIndex : rig.videoIndex) = index;
    rig.echo = true;
    rig.fault = [&](TestResponse &response, const RecordedRequest &r) {
        if (r.target == failing && failures-- > 0)
            response = TestResponse::error(500);
    };
    rig.start([](SyncConfig &c) { c.appFileGraceMs = 500; });
    if (app)
        rig.installProgram(), WorkerProbe::startAppSync(*rig.worker);
    else
        WorkerProbe::runVideoCycle(*rig.worker);
    lines.replaceInStrings("%1", rig.root);
    QTRY_VERIFY2_WITH_TIMEOUT(rig.loggedInOrder(lines), qPrintable(rig.lines().join('\n')), 10000);

    QCOMPARE(rig.fetched().mid(0, fetched.size()), fetched);
    // The agent's records are hidden and never taken for extras or obsolete videos.
    QCOMPARE(rig.lines().filter(".lumipost-hashes"), QStringList());
    QDirIterator records(rig.root, {".lumipost-hashes"}, QDir::Files | QDir::Hidden,
                         QDirIterator::Subdirectories);
    while (records.hasNext())
        QVERIFY2(records.nextFileInfo().isHidden(), qPrintable(records.filePath()));
    if (!files.isEmpty())
        QCOMPARE(filesBelow(rig.root), files);
    QCOMPARE(treeOf(rig.tmp.path() + "/outside"), QStringList{"empty"});
}

// Without a program the user is asked at every call, and an answer given
// inside the request counts at once; the program starts once, in its folder.
void FlowsTest::launch()
{
    Rig rig;
    rig.start();
    const QString program = rig.installProgram();
    const QString folder = QFileInfo(program).path();
    const QString ini = rig.root + "/config.ini";
    QString answer;
    connect(rig.worker.get(), &SyncWorker::needToSelectExecutable, rig.worker.get(), [&] {
        if (!answer.isNull())
            rig.worker->saveMainAppPath(answer);
    });
    QFile::remove(ini);
    WorkerProbe::launchMainApplication(*rig.worker); // nobody answers
    QVERIFY(!QFile::exists(ini));
    answer = folder;
    WorkerProbe::launchMainApplication(*rig.worker);
    QFile::remove(ini);
    answer = program;
    WorkerProbe::launchMainApplication(*rig.worker);
    WorkerProbe::launchMainApplication(*rig.worker); // started: nothing more

    const QString saved = "Saved main application path to config.ini: ";
    QCOMPARE(rig.lines(),
             (QStringList{askLine, askLine, saved + folder, executingLine + folder, failedLine,
                          askLine, saved + program, executingLine + program, startedLine}));
    QTRY_COMPARE(readFile(program + ".out").trimmed(), QDir::toNativeSeparators(folder).toUtf8());
}

void FlowsTest::uploads()
{
    Rig rig;
    rig.start();
    // Windows holds no name that could end the header.
    const QString injected = windows ? "semi;colon's 100%.jpg" : "a\"b\\c\r\nX-Injected: 1.jpg";
    for (const auto &[name, bytes] : {std::pair<QString, QByteArray>{"a.jpg", "a"},
                                      {"sub/dir/b.jpg", "bee"},
                                      {injected, "photo"},
                                      {"hidden-only/.keep", "x"}})
        QVERIFY(writeFile(rig.camera + '/' + name, bytes));
    if (windows) // hidden there by its attribute, not by its dot
        QCOMPARE(QProcess::execute(
                     "attrib", {"+h", QDir::toNativeSeparators(rig.camera + "/hidden-only/.keep")}),
                 0);
    // Links lead out of the camera folder: nothing behind one is sent or removed.
    lay(rig, canLinkFolders() ? QStringList{"kiosk-07/Camera/linked@"} : QStringList{});
    QVERIFY(writeFile(rig.tmp.path() + "/outside/secret.txt", "secret"));
    if (!windows) // a file link there is a shortcut, an ordinary file
        QVERIFY(QFile::link(rig.tmp.path() + "/outside/secret.txt", rig.camera + "/link.jpg"));
    WorkerProbe::runPhotoCycle(*rig.worker);
    QTRY_COMPARE(rig.lines().filter("Deleted local file: ").size(), 3);

    QHash<QByteArray, RecordedPart> photos; // the fields are the end-to-end test's to check
    for (const RecordedRequest &r : rig.server.requests())
        photos.insert(r.part("relative_path")->body, *r.part("photo"));
    QCOMPARE(photos.keys().size(), 3);
    QCOMPARE(photos["sub/dir/b.jpg"].fileName, "b.jpg");
    QCOMPARE(photos[injected.toUtf8()].fileName, windows ? injected : "a\"b\\cX-Injected: 1.jpg");
    QVERIFY(!photos[injected.toUtf8()].head.contains("\nX-Injected"));

    // The emptied folders go at the next cycle, innermost first; the camera
    // folder, a folder holding only a hidden file, and what lies behind a link stay.
    WorkerProbe::runPhotoCycle(*rig.worker);
    QCOMPARE(rig.lines().filter("Removed empty directory"),
             (QStringList{"Removed empty directory: " + rig.camera + "/sub/dir",
                          "Removed empty directory: " + rig.camera + "/sub"}));
    const QStringList left =
        windows ? QStringList{"hidden-only/.keep"} : QStringList{"hidden-only/.keep", "link.jpg"};
    QCOMPARE(filesBelow(rig.camera), left);
    QCOMPARE(treeOf(rig.tmp.path() + "/outside"), (QStringList{"empty", "secret.txt"}));
}

// Posts Qt queues beyond its six connections must not time out before they are sent.
void FlowsTest::manyPhotosOnASlowLink()
{
    Rig rig;
    rig.fault = [](TestResponse &response, const RecordedRequest &) { response.delayMs = 400; };
    rig.start([](SyncConfig &c) { c.transferTimeoutMs = 600; });
    for (int i = 0; i < 14; ++i)
        QVERIFY(writeFile(rig.camera + QString("/p%1.jpg").arg(i), "photo"));
    WorkerProbe::runPhotoCycle(*rig.worker);
    QTRY_COMPARE_WITH_TIMEOUT(rig.lines().filter("Deleted local file: ").size(), 14, 10000);
    QVERIFY(!rig.logged("Network Error"));
}

// A device folder renamed while its video waits is not made again (the old identity).
void FlowsTest::renamedDeviceIsNotMadeAgain()
{
    Rig rig;
    QVERIFY(QDir().mkpath(rig.root + "/kiosk-07"));
    rig.videoIndex =
        R"([{"type":"private","filename":"p.mp4"},{"type":"public","filename":"a.mp4"}])";
    rig.echo = true;
    rig.fault = [&rig](TestResponse &response, const RecordedRequest &r) {
        if (r.path == privateRoute + "p.mp4" && QDir(rig.root).rename("kiosk-07", "kiosk-08"))
            response = TestResponse::error(500);
    };
    rig.start();
    WorkerProbe::runVideoCycle(*rig.worker);
    QTRY_VERIFY_WITH_TIMEOUT(rig.logged(videoDoneLine), 10000);

    QVERIFY(rig.logged("!!! Folder is gone, its videos wait for the next cycle: " + rig.root +
                       "/kiosk-07"));
    QCOMPARE(filesBelow(rig.root), (QStringList{"Lumipost/Media/a.mp4"}));
}

QTEST_GUILESS_MAIN(FlowsTest)
#include "tst_flows.moc"
