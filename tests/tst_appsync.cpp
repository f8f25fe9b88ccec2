#include "syncworker.h"
#include "testserver.h"
#include "workerprobe.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QByteArray indexTarget = "/sync_api.php?action=list_apps";
const QByteArray files = "/Lumipost/Application/";
const QString startLine = "### Starting One-Time Application Sync Check ###";
const QString completedLine = "### One-Time Application Sync Completed Successfully! ###";
const QString upToDateLine =
    "Application files are completely up-to-date. Waiting for 1-minute countdown...";
const QString askLine =
    "Main application path is not set or file missing. Asking user to select...";
const QString executingLine = ">>> 1-Minute boot delay satisfied. Executing Main Application: ";
const QString startedLine = "Main Application started successfully.";

// A company root in a temporary folder, a loopback server that answers every
// file with its own request target (the video index never answers, so the
// video cycle stays out of the way), and a worker aimed at both.
struct Rig
{
    explicit Rig(const std::function<void(SyncConfig &)> &adjust = nullptr)
    {
        server.listen();
        TestResponse silent;
        silent.stall = true;
        server.setRoute("/sync_api.php", silent);
        server.setFallback([](const RecordedRequest &r) { return TestResponse::ok(r.target); });
        SyncConfig config = testConfig(root, server.baseUrl());
        if (adjust)
            adjust(config);
        worker = std::make_unique<SyncWorker>(config);
        logs = std::make_unique<QSignalSpy>(worker.get(), &SyncWorker::logAdded);
        asks = std::make_unique<QSignalSpy>(worker.get(), &SyncWorker::needToSelectExecutable);
    }
    // A started program is waited for, so it never runs in a removed folder.
    ~Rig()
    {
        if (WorkerProbe::mainAppStarted(*worker) && !program.isEmpty())
            if (!QTest::qWaitFor([this] { return !readFile(program + ".out").isEmpty(); }, 10000))
                qWarning("the started program wrote nothing");
    }
    void setIndex(const QByteArray &body) { server.setRoute(indexTarget, TestResponse::ok(body)); }
    // A script that appends its working directory to <script>.out.
    QString installProgram()
    {
        program = tmp.path() + "/app folder/run.sh";
        // Without its execute bit, as the mirror delivers it: the launch must still start it.
        writeFile(program, "#!/bin/sh\npwd >> \"$0.out\"\n");
        QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner);
        QSettings(root + "/config.ini", QSettings::IniFormat).setValue("MainApp/Path", program);
        return program;
    }
    QStringList lines() const
    {
        QStringList all = logLines(*logs);
        all.removeIf([](const QString &line) { return line.startsWith("=== "); }); // video cycle
        return all;
    }
    QList<QByteArray> fileTargets() const
    {
        QList<QByteArray> targets;
        for (const RecordedRequest &r : server.requests())
            if (r.path.startsWith(files))
                targets << r.target;
        return targets;
    }
    void sync(const QString &lastLine)
    {
        WorkerProbe::startAppSync(*worker);
        QTRY_VERIFY_WITH_TIMEOUT(lines().contains(lastLine), 10000);
    }

    QTemporaryDir tmp;
    QString root = tmp.path() + "/KESTOVA";
    QString base = root + "/Lumipost";
    QString program;
    TestServer server;
    std::unique_ptr<SyncWorker> worker;
    std::unique_ptr<QSignalSpy> logs;
    std::unique_ptr<QSignalSpy> asks;
};

} // namespace

class AppSyncTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void urlsAndRetryOrder();
    void deletionPass();
    void indexEnds_data();
    void indexEnds();
    void failingFileHoldsNothingElse();
    void unsafePathsStayInside();
    void earlyCallsStartOnce();
    void missingProgramAsksPerCall_data();
    void missingProgramAsksPerCall();
    void answerInsideTheRequest_data();
    void answerInsideTheRequest();
    void wholeRoadFromStart();
};

// A failed file is fetched again before the next one; names are encoded and
// stored below the application folder.
void AppSyncTest::urlsAndRetryOrder()
{
    Rig rig;
    rig.setIndex(R"([{"relativePath":"/my file.txt"},{"relativePath":"a/b/c.dat"}])");
    rig.server.failFirst(files + "my%20file.txt", 2, TestResponse::error(500));
    rig.sync(completedLine);

    QCOMPARE(rig.fileTargets(),
             (QList<QByteArray>(3, files + "my%20file.txt") << files + "a/b/c.dat"));
    QCOMPARE(readFile(rig.base + "/my file.txt"), files + "my%20file.txt");
    QCOMPARE(readFile(rig.base + "/a/b/c.dat"), files + "a/b/c.dat");
    const QStringList lines = rig.lines();
    QCOMPARE(lines.count("Found 2 files to update/download."), 1);
    QVERIFY(lines.contains("Downloading app update: my file.txt"));
    const QStringList failures = lines.filter("Failed to download app file: ");
    QCOMPARE(failures.size(), 2);
    QVERIFY(failures.first().endsWith(" -> Retrying in 3 seconds..."));
    QCOMPARE(lines.filter("Successfully synchronized file: ").size(), 2);
}

void AppSyncTest::deletionPass()
{
    Rig rig;
    for (const char *file :
         {"old.txt", "olddir/sub/deep.txt", "Media/x/y", "media/clip.mp4", "MEDIA", "Media2/a.txt",
          "Mediafile.txt", ".hidden", ".hiddendir/x", "kept/listed.txt",
          // partial files of a file up to date and of one no longer listed
          "kept/.listed.txt.partial", ".gone.txt.partial-info"})
        QVERIFY(writeFile(rig.base + "/" + file));
    // Size alone decides: other bytes of the same size stay, a byte more or less is fetched.
    QVERIFY(writeFile(rig.base + "/same.bin", "abcd"));
    QVERIFY(writeFile(rig.base + "/short.bin", "abc"));
    QVERIFY(writeFile(rig.base + "/long.bin", "abcde"));
    rig.setIndex(
        R"([{"relativePath":"kept/listed.txt","size":3},{"relativePath":"same.bin","size":4},
                     {"relativePath":"short.bin","size":4},{"relativePath":"long.bin","size":4}])");
    rig.sync(completedLine);
    QCOMPARE(rig.fileTargets(), (QList<QByteArray>{files + "short.bin", files + "long.bin"}));
    QCOMPARE(readFile(rig.base + "/same.bin"), "abcd");

    const QStringList deleted = rig.lines().filter(QRegularExpression("^Deleted local "));
    QStringList expected;
    for (const char *file : {"old.txt", "olddir/sub/deep.txt", "Media2/a.txt", "Mediafile.txt"})
        expected << "Deleted local file: " + rig.base + "/" + file;
    for (const char *dir : {"olddir/sub", "olddir", "Media2"})
        expected << "Deleted local empty directory: " + rig.base + "/" + dir;
    QCOMPARE(QSet<QString>(deleted.begin(), deleted.end()),
             QSet<QString>(expected.begin(), expected.end()));
    // Deepest first, so a folder is empty by the time it is removed.
    const auto pathOf = [](const QString &line) { return line.mid(line.indexOf('/')); };
    for (qsizetype i = 1; i < deleted.size(); ++i)
        QVERIFY2(pathOf(deleted.at(i - 1)).size() >= pathOf(deleted.at(i)).size(),
                 qPrintable(deleted.join('\n')));
    QCOMPARE(treeOf(rig.base),
             (QStringList{".hidden", ".hiddendir", ".hiddendir/x", "MEDIA", "Media", "Media/x",
                          "Media/x/y", "kept", "kept/listed.txt", "long.bin", "media",
                          "media/clip.mp4", "same.bin", "short.bin"}));
}

void AppSyncTest::indexEnds_data()
{
    QTest::addColumn<int>("failures");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("expected");

    const QStringList launchAndTimers{executingLine, startedLine,
                                      ">>> Photo Sync Timer Enabled (Every 60s).",
                                      ">>> Video Ads Sync Timer Enabled (Every 30 min)."};
    QTest::newRow("fails, then an array")
        << 1 << QByteArray("[]")
        << QStringList{startLine, "Failed to fetch App Index (Network offline). Will execute local "
                                  "app after 1-minute mark passes..."} +
               launchAndTimers +
               QStringList{"App Sync will retry fetching index in 30s in background...", startLine,
                           upToDateLine};
    QTest::newRow("an object") << 0 << QByteArray(R"({"relativePath":"a"})")
                               << QStringList{startLine} + launchAndTimers;
    QTest::newRow("plain text") << 0 << QByteArray("not json")
                                << QStringList{startLine} + launchAndTimers;
}

void AppSyncTest::indexEnds()
{
    QFETCH(int, failures);
    QFETCH(QByteArray, body);
    QFETCH(QStringList, expected);

    Rig rig;
    const QString program = rig.installProgram();
    expected.replace(expected.indexOf(executingLine), executingLine + program);
    rig.setIndex(body);
    if (failures)
        rig.server.failFirst(indexTarget, failures, TestResponse::error(503));
    QSignalSpy statuses(rig.worker.get(), &SyncWorker::statusChanged);
    rig.sync(expected.last());

    QCOMPARE(rig.lines(), expected);
    const QVariantList checking{"Checking application updates...", "download"};
    QCOMPARE(statuses.count(checking), expected.count(startLine));
}

// A file that never downloads: photos and videos start at its first failure,
// the program after the grace period, and the file is still retried.
void AppSyncTest::failingFileHoldsNothingElse()
{
    Rig rig([](SyncConfig &config) { config.appFileGraceMs = 500; });
    const QString program = rig.installProgram();
    rig.setIndex(R"([{"relativePath":"gone.txt","size":5},{"relativePath":"b.txt","size":5}])");
    rig.server.setRoute(files + "gone.txt", TestResponse::error(404));
    rig.sync(executingLine + program);

    const QStringList lines = rig.lines();
    const qsizetype firstFailure =
        lines.indexOf(lines.filter("Failed to download app file").value(0));
    QCOMPARE(lines.value(firstFailure + 1), ">>> Photo Sync Timer Enabled (Every 60s).");
    QCOMPARE(lines.filter("without it: gone.txt").size(), 1);
    QVERIFY(!lines.contains(completedLine));
    const qsizetype attempts = rig.fileTargets().size();
    QTRY_VERIFY(rig.fileTargets().size() > attempts);
}

void AppSyncTest::unsafePathsStayInside()
{
    const QString unsafeLine = "!!! Skipping unsafe path in App Index: ";
    // Each path as a file and, below it, as a folder; "" + "/dir" is the safe "dir".
    QJsonArray index{42};
    QStringList expected{unsafeLine};
    for (const QString path :
         {"", "/", "..", "../escape.txt", "a/../../x.txt", "/../up.txt", "//host/share.txt",
          "\\\\host\\share.txt", "\\root.txt", "C:/win.txt", "c:rel.txt", "a\\..\\..\\bs.txt"}) {
        index.append(QJsonObject{{"relativePath", path}, {"size", 1}});
        index.append(QJsonObject{{"relativePath", path + "/dir"}, {"isDir", true}});
        for (const QString &entry : {path, path + "/dir"})
            expected << unsafeLine + (entry.startsWith('/') ? entry.mid(1) : entry);
    }
    expected.removeOne(unsafeLine + "dir");
    index.append(QJsonObject{{"relativePath", "ok..txt"}});
    index.append(QJsonObject{{"relativePath", "a..b/c.txt"}});
    // A linked folder leads nowhere: no download or folder through it.
    index.append(QJsonObject{{"relativePath", "link/x.txt"}, {"size", 1}});
    index.append(QJsonObject{{"relativePath", "link/sub"}, {"isDir", true}});

    Rig rig;
    QVERIFY(QDir().mkpath(rig.tmp.path() + "/outside"));
    QVERIFY(QDir().mkpath(rig.base));
    QVERIFY(QFile::link(rig.tmp.path() + "/outside", rig.base + "/link"));
    rig.setIndex(QJsonDocument(index).toJson());
    rig.sync(completedLine);

    QCOMPARE(rig.lines().filter(unsafeLine), expected);
    QCOMPARE(rig.lines().filter("through a link").size(), 2);
    QCOMPARE(rig.fileTargets(), (QList<QByteArray>{files + "ok..txt", files + "a..b/c.txt"}));
    QCOMPARE(treeOf(rig.tmp.path()),
             (QStringList{"KESTOVA", "KESTOVA/Lumipost", "KESTOVA/Lumipost/a..b",
                          "KESTOVA/Lumipost/a..b/c.txt", "KESTOVA/Lumipost/dir",
                          "KESTOVA/Lumipost/link", "KESTOVA/Lumipost/ok..txt", "outside"}));
}

// Calls before the boot delay only wait; the program starts once, in its own folder.
void AppSyncTest::earlyCallsStartOnce()
{
    Rig rig([](SyncConfig &c) { c.bootDelayMs = 300; });
    const QString program = rig.installProgram();
    WorkerProbe::launchMainApplication(*rig.worker);
    WorkerProbe::launchMainApplication(*rig.worker);
    QVERIFY(!WorkerProbe::mainAppStarted(*rig.worker));
    QTRY_VERIFY_WITH_TIMEOUT(WorkerProbe::mainAppStarted(*rig.worker), 10000);
    WorkerProbe::launchMainApplication(*rig.worker);

    QTRY_COMPARE_WITH_TIMEOUT(readFile(program + ".out"), QFileInfo(program).path().toUtf8() + "\n",
                              10000);
    const QStringList lines = rig.lines();
    QVERIFY(lines.filter("Waiting remaining ").size() >= 2);
    QCOMPARE(lines.count(executingLine + program), 1);
    QCOMPARE(lines.count(startedLine), 1);
    QCOMPARE(lines.last(), startedLine);
}

void AppSyncTest::missingProgramAsksPerCall_data()
{
    QTest::addColumn<QString>("stored");

    QTest::newRow("no config.ini") << QString();
    QTest::newRow("empty value") << "";
    QTest::newRow("file gone") << "/nonexistent/kiosk-app";
}

void AppSyncTest::missingProgramAsksPerCall()
{
    QFETCH(QString, stored);

    Rig rig;
    const QString ini = rig.root + "/config.ini";
    if (!stored.isNull())
        QSettings(ini, QSettings::IniFormat).setValue("MainApp/Path", stored);
    WorkerProbe::launchMainApplication(*rig.worker);
    WorkerProbe::launchMainApplication(*rig.worker);

    QCOMPARE(rig.asks->count(), 2);
    QCOMPARE(rig.lines(), QStringList(2, askLine));
    QCOMPARE(QFile::exists(ini), !stored.isNull());
    QCOMPARE(QSettings(ini, QSettings::IniFormat).value("MainApp/Path").toString(), stored);
}

void AppSyncTest::answerInsideTheRequest_data()
{
    QTest::addColumn<bool>("folder");

    QTest::newRow("executable") << false;
    QTest::newRow("folder") << true;
}

// As the window does: the answer comes back inside the emission.
void AppSyncTest::answerInsideTheRequest()
{
    QFETCH(bool, folder);

    Rig rig;
    const QString script = rig.installProgram();
    const QString path = folder ? QFileInfo(script).path() : script;
    const QString ini = rig.root + "/config.ini";
    QSettings(ini, QSettings::IniFormat).remove("MainApp/Path");
    connect(rig.worker.get(), &SyncWorker::needToSelectExecutable, rig.worker.get(),
            [&] { rig.worker->saveMainAppPath(path); });
    WorkerProbe::launchMainApplication(*rig.worker);

    QCOMPARE(rig.asks->count(), 1);
    QCOMPARE(QSettings(ini, QSettings::IniFormat).value("MainApp/Path").toString(), path);
    QCOMPARE(
        rig.lines(),
        (QStringList{askLine, "Saved main application path to config.ini: " + path,
                     executingLine + path,
                     folder ? "!!! FAILED to start Main Application. Checking path/permissions."
                            : startedLine}));
    QCOMPARE(WorkerProbe::mainAppStarted(*rig.worker), !folder);
}

void AppSyncTest::wholeRoadFromStart()
{
    Rig rig([](SyncConfig &c) { c.startDelayMs = 50; });
    const QString program = rig.installProgram();
    rig.setIndex(R"([{"relativePath":"bin","isDir":true},{"relativePath":"/bin/app.exe"},
                     {"relativePath":"readme.txt"}])");
    QSignalSpy progress(rig.worker.get(), &SyncWorker::progressUpdated);
    const QString videoTimerLine = ">>> Video Ads Sync Timer Enabled (Every 30 min).";
    QTRY_VERIFY_WITH_TIMEOUT(rig.lines().contains(videoTimerLine), 10000);

    QCOMPARE(
        rig.lines(),
        (QStringList{startLine, "Ensured empty directory exists: bin",
                     "Found 2 files to update/download.", "Downloading app update: bin/app.exe",
                     "Successfully synchronized file: " + rig.base + "/bin/app.exe",
                     "Downloading app update: readme.txt",
                     "Successfully synchronized file: " + rig.base + "/readme.txt", completedLine,
                     executingLine + program, startedLine,
                     ">>> Photo Sync Timer Enabled (Every 60s).", videoTimerLine}));
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(0).toString(), "readme.txt");
    QCOMPARE(progress.last().at(1).toInt(), 100);
}

QTEST_GUILESS_MAIN(AppSyncTest)
#include "tst_appsync.moc"
