#include "bench.h"

#include "indexsignature.h"
#include "syncworker.h"
#include "workerprobe.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {

double secondsOf(qint64 nanoseconds)
{
    return nanoseconds / 1e9;
}

// Runs the loop until a handler quits it; a run that hangs fails instead of
// reporting a figure.
void runLoop(QEventLoop &loop, const QCommandLineParser &args, const QString &what)
{
    QTimer watchdog;
    watchdog.setSingleShot(true);
    bool timedOut = false;
    QObject::connect(&watchdog, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    watchdog.start(args.value(QStringLiteral("timeout")).toInt() * 1000);
    loop.exec();
    if (timedOut)
        fail(what + QStringLiteral(" did not finish in time"));
}

struct TreeSize
{
    qint64 files = 0;
    qint64 bytes = 0;
};

TreeSize filesBelow(const QString &dir)
{
    TreeSize size;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++size.files;
        size.bytes += it.fileInfo().size();
    }
    return size;
}

// The agent deletes the unlisted files; they are put back so that every tool
// and every run sees the same tree.
void restoreUnlisted(const QString &productFolder, const QString &listPath)
{
    QFile list(listPath);
    if (!list.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read ") + listPath);
    for (const QByteArray &line : list.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        QFile file(productFolder + u'/' + QString::fromUtf8(line));
        if (!file.exists() && (!file.open(QIODevice::WriteOnly) || file.write("0123456789") != 10))
            fail(QStringLiteral("cannot restore ") + file.fileName());
    }
}

bool startsWithAny(const QString &line, std::initializer_list<const char *> prefixes)
{
    for (const char *prefix : prefixes) {
        if (line.startsWith(QLatin1String(prefix)))
            return true;
    }
    return false;
}

QByteArray signatureOf(const QByteArray &message, const QByteArray &seed)
{
    EVP_PKEY *key = EVP_PKEY_new_raw_private_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const uchar *>(seed.data()), seed.size());
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    QByteArray signature(64, 0);
    size_t length = signature.size();
    if (!key || !context || EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(context, reinterpret_cast<uchar *>(signature.data()), &length,
                       reinterpret_cast<const uchar *>(message.data()), message.size()) != 1)
        fail(QStringLiteral("cannot sign"));
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return signature;
}

// What a signed index of this size adds to the reconcile: the agent's whole
// check of it (the body's hash, one Ed25519 verification, its counter kept).
double signatureCheckSeconds(const QString &dir, const QString &indexName)
{
    QFile file(dir + u'/' + indexName + QStringLiteral("/sync_api.php"));
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read ") + file.fileName());
    const QByteArray body = file.readAll();
    const QByteArray seed(32, '\x42');
    const QByteArray message = "lumipost-index-v1\nlist_apps\n\n1\n" +
                               QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
    const QByteArray publicKey = "IVL40Zt5HSRFMkLhXy6rbLfP+ntqXtMAl5YOBpiB2xI=";
    const QString counters = dir + QStringLiteral("/.bench-index-counters");
    QFile::remove(counters);
    IndexSignatures signatures(publicKey, counters);
    const QByteArray signature = signatureOf(message, seed).toBase64();
    QElapsedTimer clock;
    clock.start();
    const QString refusal = signatures.refusal("1", signature, body, "list_apps", QString());
    const qint64 elapsed = clock.nsecsElapsed();
    if (!refusal.isEmpty())
        fail(QStringLiteral("signature check: ") + refusal);
    return secondsOf(elapsed);
}

} // namespace

// From the moment the index body is readable to the line that follows the
// deletions: body read, JSON parse, queue build (one stat per listed file),
// the walk of the local tree and the deletions with their log lines.
int runReconcile(const QCommandLineParser &args)
{
    const QString dir = args.value(QStringLiteral("dir"));
    const QString root = dir + QStringLiteral("/root");
    const QString unlisted = dir + QStringLiteral("/extras.txt");
    restoreUnlisted(root + QStringLiteral("/Lumipost"), unlisted);

    const qint64 rssBefore = Measure::rssKib();
    const QString indexUrl =
        QUrl::fromLocalFile(dir + u'/' + args.value(QStringLiteral("index"))).toString();
    SyncWorker worker(benchConfig(args, root, indexUrl));
    QEventLoop loop;
    QElapsedTimer clock;
    qint64 elapsed = -1;
    int deleted = 0;
    QObject::connect(&worker, &SyncWorker::logAdded, &loop, [&](const QString &line) {
        if (line.startsWith(QLatin1String("Deleted local file: "))) {
            ++deleted;
        } else if (startsWithAny(line, {"Found ", "Application files are completely up-to-date"})) {
            elapsed = clock.nsecsElapsed();
            loop.quit();
        }
    });
    WorkerProbe::startAppSync(worker);
    auto *index = worker.findChild<QNetworkReply *>();
    if (!index)
        fail(QStringLiteral("the index request was not sent"));
    QObject::connect(index, &QIODevice::readyRead, &loop, [&clock] {
        if (!clock.isValid())
            clock.start();
    });
    runLoop(loop, args, QStringLiteral("reconcile"));
    const qsizetype queued = WorkerProbe::appQueueSize(worker);
    restoreUnlisted(root + QStringLiteral("/Lumipost"), unlisted);

    printSample(args, {{QStringLiteral("seconds"), secondsOf(elapsed)},
                       {QStringLiteral("signature_seconds"),
                        signatureCheckSeconds(dir, args.value(QStringLiteral("index")))},
                       {QStringLiteral("queued"), queued},
                       {QStringLiteral("deleted"), deleted},
                       {QStringLiteral("rss_before_kib"), rssBefore},
                       {QStringLiteral("maxrss_kib"), Measure::peakRssKib()}});
    return 0;
}

// The floor: the same kind of directory walk, with one stat per entry and nothing else.
int runWalk(const QCommandLineParser &args)
{
    QElapsedTimer clock;
    clock.start();
    qint64 entries = 0;
    qint64 bytes = 0;
    QDirIterator it(args.value(QStringLiteral("dir")), QDir::AllEntries | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        bytes += it.fileInfo().size();
        ++entries;
    }
    printSample(args, {{QStringLiteral("seconds"), secondsOf(clock.nsecsElapsed())},
                       {QStringLiteral("entries"), entries},
                       {QStringLiteral("bytes"), bytes},
                       {QStringLiteral("maxrss_kib"), Measure::peakRssKib()}});
    return 0;
}

// The application mirror (--flow app, from its index line to its completion
// line) or the video cycle (--flow video, from its first download to its
// completion line), each downloading into a fresh company root.
int runDownload(const QCommandLineParser &args)
{
    const QString root = args.value(QStringLiteral("root"));
    const bool app = args.value(QStringLiteral("flow")) == QLatin1String("app");
    const qint64 rssBefore = Measure::rssKib();
    SyncWorker worker(benchConfig(args, root, args.value(QStringLiteral("server"))));
    QEventLoop loop;
    QElapsedTimer clock;
    qint64 elapsed = -1;
    qint64 transferred = -1;
    int failures = 0;
    const char *startLine = app ? "Found " : "Starting download for video file: ";
    const char *endLine = app ? "### One-Time Application Sync Completed Successfully! ###"
                              : "=== Video Ads Sync Cycle Finished Successfully ===";
    QObject::connect(&worker, &SyncWorker::logAdded, &loop, [&](const QString &line) {
        if (!clock.isValid() && line.startsWith(QLatin1String(startLine))) {
            clock.start();
        } else if (line.startsWith(QLatin1String(endLine))) {
            elapsed = clock.nsecsElapsed();
            loop.quit();
        } else if (startsWithAny(line, {"Failed to download app file: ", "File open error",
                                        "!!! Failed to download video: ", "!!! File open error"})) {
            ++failures;
        } else if (startsWithAny(line, {"Failed to fetch", "Application files are completely",
                                        "All videos (Public & Private)"})) {
            fail(QStringLiteral("nothing was downloaded: ") + line);
        }
    });
    QObject::connect(&worker, &SyncWorker::progressUpdated, &loop,
                     [&](const QString &, int progress) {
                         if (progress == 100 && clock.isValid())
                             transferred = clock.nsecsElapsed();
                     });
    if (app)
        WorkerProbe::startAppSync(worker);
    else
        WorkerProbe::runVideoCycle(worker);
    runLoop(loop, args, QStringLiteral("download"));

    const TreeSize got = filesBelow(root);
    printSample(args, {{QStringLiteral("seconds"), secondsOf(elapsed)},
                       {QStringLiteral("transfer_seconds"), secondsOf(transferred)},
                       {QStringLiteral("files"), got.files},
                       {QStringLiteral("bytes"), got.bytes},
                       {QStringLiteral("failures"), failures},
                       {QStringLiteral("rss_before_kib"), rssBefore},
                       {QStringLiteral("cpu_seconds"), Measure::cpuSeconds()},
                       {QStringLiteral("maxrss_kib"), Measure::peakRssKib()}});
    return 0;
}

// One photo cycle over the camera folder that run.sh filled: from the call to
// the last reply handled.
int runUpload(const QCommandLineParser &args)
{
    const QString root = args.value(QStringLiteral("root"));
    SyncWorker worker(benchConfig(args, root, args.value(QStringLiteral("server"))));
    QEventLoop loop;
    int posted = 0;
    int handled = 0;
    int failed = 0;
    bool postingDone = false;
    QObject::connect(&worker, &SyncWorker::logAdded, &loop, [&](const QString &line) {
        if (line.startsWith(QLatin1String("Uploading photo: "))) {
            ++posted;
            return;
        }
        if (line.startsWith(QLatin1String("Network Error. Upload failed for: ")))
            ++failed;
        else if (!startsWithAny(line, {"Deleted local file: ", "Could not delete file: ",
                                       "Photo changed during upload"}))
            return;
        if (++handled == posted && postingDone)
            loop.quit();
    });
    const qint64 rssBefore = Measure::rssKib();
    const qint64 heapBefore = Measure::heapInUseBytes();
    const int descriptorsBefore = Measure::openDescriptors();
    QElapsedTimer clock;
    clock.start();
    WorkerProbe::runPhotoCycle(worker);
    postingDone = true;
    const qint64 heapPosted = Measure::heapInUseBytes();
    const int descriptorsPosted = Measure::openDescriptors();
    if (posted == 0)
        fail(QStringLiteral("the camera folder is empty"));
    if (handled < posted)
        runLoop(loop, args, QStringLiteral("upload"));
    const qint64 elapsed = clock.nsecsElapsed();

    printSample(args,
                {{QStringLiteral("seconds"), secondsOf(elapsed)},
                 {QStringLiteral("files"), posted},
                 {QStringLiteral("failed"), failed},
                 {QStringLiteral("left_in_camera"),
                  filesBelow(root + u'/' + benchDevice + QStringLiteral("/Camera")).files},
                 {QStringLiteral("heap_per_queued_request"), (heapPosted - heapBefore) / posted},
                 {QStringLiteral("descriptors_before"), descriptorsBefore},
                 {QStringLiteral("descriptors_posted"), descriptorsPosted},
                 {QStringLiteral("rss_before_kib"), rssBefore},
                 {QStringLiteral("cpu_seconds"), Measure::cpuSeconds()},
                 {QStringLiteral("maxrss_kib"), Measure::peakRssKib()}});
    return 0;
}

namespace {

struct IdleProbe
{
    double cpu = 0;
    qint64 rss = 0;
    int descriptors = 0;

    static IdleProbe now()
    {
        return {Measure::cpuSeconds(), Measure::rssKib(), Measure::openDescriptors()};
    }
};

} // namespace

// An agent started with short timings: once its application sync and its
// first video cycle are done, it is left alone for --seconds while its
// timers run, and what it used in that window is reported.
int runIdle(const QCommandLineParser &args)
{
    const QString root = args.value(QStringLiteral("root"));
    const int windowMs = args.value(QStringLiteral("seconds")).toInt() * 1000;
    SyncWorker worker(benchConfig(args, root, args.value(QStringLiteral("server"))));
    QEventLoop loop;
    QElapsedTimer sinceStart;
    sinceStart.start();
    bool appDone = false;
    bool inWindow = false;
    qint64 syncedAfterMs = -1;
    int photoCycles = 0;
    int videoCycles = 0;
    int failures = 0;
    IdleProbe start;
    IdleProbe highest;
    QElapsedTimer window;
    QTimer sampler;

    auto openWindow = [&] {
        start = highest = IdleProbe::now();
        window.start();
        inWindow = true;
        sampler.start(10000);
        QTimer::singleShot(windowMs, &loop, &QEventLoop::quit);
    };
    QObject::connect(&sampler, &QTimer::timeout, &loop, [&] {
        const IdleProbe probe = IdleProbe::now();
        highest.rss = std::max(highest.rss, probe.rss);
        highest.descriptors = std::max(highest.descriptors, probe.descriptors);
    });
    QObject::connect(&worker, &SyncWorker::logAdded, &loop, [&](const QString &line) {
        if (startsWithAny(line, {"### One-Time Application Sync Completed",
                                 "Application files are completely up-to-date"})) {
            appDone = true;
        } else if (appDone && syncedAfterMs < 0 &&
                   startsWithAny(line, {"All videos (Public & Private)",
                                        "=== Video Ads Sync Cycle Finished Successfully"})) {
            syncedAfterMs = sinceStart.elapsed();
            // Replies and their managers are released on the next turns of the loop.
            QTimer::singleShot(2000, &loop, openWindow);
        } else if (inWindow && line.startsWith(QLatin1String("--- Sync Cycle Started"))) {
            ++photoCycles;
        } else if (inWindow && line.startsWith(QLatin1String("=== Starting 30-Minute"))) {
            ++videoCycles;
        } else if (startsWithAny(line, {"Failed to", "!!! ", "Network Error"})) {
            ++failures;
        }
    });
    runLoop(loop, args, QStringLiteral("idle"));
    if (!inWindow)
        fail(QStringLiteral("the agent never finished its first sync"));

    const IdleProbe end = IdleProbe::now();
    const double seconds = secondsOf(window.nsecsElapsed());
    const double cpu = end.cpu - start.cpu;
    printSample(
        args, {{QStringLiteral("seconds"), seconds},
               {QStringLiteral("synced_after_s"), syncedAfterMs / 1000.0},
               {QStringLiteral("cpu_seconds"), cpu},
               {QStringLiteral("cpu_percent"), 100.0 * cpu / seconds},
               {QStringLiteral("rss_start_kib"), start.rss},
               {QStringLiteral("rss_end_kib"), end.rss},
               {QStringLiteral("rss_max_kib"), std::max(highest.rss, end.rss)},
               {QStringLiteral("descriptors_start"), start.descriptors},
               {QStringLiteral("descriptors_end"), end.descriptors},
               {QStringLiteral("descriptors_max"), std::max(highest.descriptors, end.descriptors)},
               {QStringLiteral("photo_cycles"), photoCycles},
               {QStringLiteral("video_cycles"), videoCycles},
               {QStringLiteral("failures"), failures},
               {QStringLiteral("photo_ms"), args.value(QStringLiteral("photo-ms")).toInt()},
               {QStringLiteral("video_ms"), args.value(QStringLiteral("video-ms")).toInt()}});
    return 0;
}

// A standard tool run as a child: its wall time and, from wait4, its own peak RSS.
int runCommand(const QCommandLineParser &args)
{
    const QStringList command = args.positionalArguments().mid(1);
    if (command.isEmpty())
        fail(QStringLiteral("run needs a program"));
    std::vector<QByteArray> storage;
    for (const QString &arg : command)
        storage.push_back(arg.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    QElapsedTimer clock;
    clock.start();
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child)
        fail(QStringLiteral("cannot run ") + command.first());
    const qint64 elapsed = clock.nsecsElapsed();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(QStringLiteral("%1 failed with status %2").arg(command.join(u' ')).arg(status));
    printSample(args, {{QStringLiteral("seconds"), secondsOf(elapsed)},
                       {QStringLiteral("maxrss_kib"), qint64(usage.ru_maxrss)}});
    return 0;
}
