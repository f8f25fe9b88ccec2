// lumipost_bench: data sets, measurements of the real SyncWorker and of the
// standard tools, and the report that puts them side by side. bench/run.sh
// drives it; bench/README.md says what each figure means.
#include "bench.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTextStream>

#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>
#include <map>

namespace {

using Command = int (*)(const QCommandLineParser &);

const std::map<QString, Command> &commands()
{
    static const std::map<QString, Command> table = {
        {QStringLiteral("make-reconcile-set"), makeReconcileSet},
        {QStringLiteral("make-files"), makeFiles},
        {QStringLiteral("reconcile"), runReconcile},
        {QStringLiteral("walk"), runWalk},
        {QStringLiteral("download"), runDownload},
        {QStringLiteral("upload"), runUpload},
        {QStringLiteral("idle"), runIdle},
        {QStringLiteral("run"), runCommand},
        {QStringLiteral("soak"), runSoak},
        {QStringLiteral("report"), writeReport},
    };
    return table;
}

void addOptions(QCommandLineParser &parser)
{
    parser.addPositionalArgument(
        QStringLiteral("command"),
        QStringLiteral("make-reconcile-set | make-files | reconcile | walk | download | upload | "
                       "idle | run -- PROGRAM ARGS... | soak | report"));
    parser.addOptions({
        {QStringLiteral("dir"), QStringLiteral("Data set or tree folder."), QStringLiteral("path")},
        {QStringLiteral("root"), QStringLiteral("Company root of the agent."),
         QStringLiteral("path")},
        {QStringLiteral("server"), QStringLiteral("Sync server base URL."), QStringLiteral("url")},
        {QStringLiteral("entries"), QStringLiteral("Index entries of a reconcile set."),
         QStringLiteral("n")},
        {QStringLiteral("index"),
         QStringLiteral("Index of a reconcile set: index or index-hashed."), QStringLiteral("name"),
         QStringLiteral("index")},
        {QStringLiteral("count"), QStringLiteral("Number of files to make."), QStringLiteral("n")},
        {QStringLiteral("size"), QStringLiteral("Bytes per file."), QStringLiteral("bytes")},
        {QStringLiteral("prefix"), QStringLiteral("File name prefix."), QStringLiteral("text"),
         QStringLiteral("file")},
        {QStringLiteral("suffix"), QStringLiteral("File name suffix."), QStringLiteral("text"),
         QStringLiteral(".bin")},
        {QStringLiteral("flow"), QStringLiteral("Download flow: app or video."),
         QStringLiteral("flow")},
        {QStringLiteral("seconds"), QStringLiteral("Idle window."), QStringLiteral("s"),
         QStringLiteral("600")},
        {QStringLiteral("minutes"), QStringLiteral("Soak length."), QStringLiteral("n"),
         QStringLiteral("20")},
        {QStringLiteral("start-ms"), QStringLiteral("Start delay of the application sync."),
         QStringLiteral("ms"), QStringLiteral("3600000")},
        {QStringLiteral("photo-ms"), QStringLiteral("Photo cycle interval."), QStringLiteral("ms"),
         QStringLiteral("3600000")},
        {QStringLiteral("video-ms"), QStringLiteral("Video cycle interval."), QStringLiteral("ms"),
         QStringLiteral("3600000")},
        {QStringLiteral("retry-ms"), QStringLiteral("File retry delay."), QStringLiteral("ms"),
         QStringLiteral("3000")},
        {QStringLiteral("timeout"), QStringLiteral("Give up after this long."), QStringLiteral("s"),
         QStringLiteral("900")},
        {QStringLiteral("row"), QStringLiteral("Sample label: row."), QStringLiteral("name")},
        {QStringLiteral("case"), QStringLiteral("Sample label: case."), QStringLiteral("name")},
        {QStringLiteral("tool"), QStringLiteral("Sample label: tool."), QStringLiteral("name")},
        {QStringLiteral("samples"), QStringLiteral("JSON lines to report on."),
         QStringLiteral("path")},
        {QStringLiteral("json"), QStringLiteral("Where the report's JSON goes."),
         QStringLiteral("path")},
        {QStringLiteral("meta"), QStringLiteral("key=value for the report's header."),
         QStringLiteral("key=value")},
    });
}

} // namespace

void printSample(const QCommandLineParser &args, QJsonObject sample)
{
    for (const char *label : {"row", "case", "tool"}) {
        const QString name = QString::fromLatin1(label);
        if (args.isSet(name))
            sample.insert(name, args.value(name));
    }
    std::fputs(QJsonDocument(sample).toJson(QJsonDocument::Compact).append('\n').constData(),
               stdout);
    std::fflush(stdout);
}

void fail(const QString &reason)
{
    std::fprintf(stderr, "lumipost_bench: %s\n", qPrintable(reason));
    std::exit(2);
}

SyncConfig benchConfig(const QCommandLineParser &args, const QString &companyRoot,
                       const QString &serverUrl)
{
    SyncConfig config;
    config.companyRoot = companyRoot;
    config.serverUrl = serverUrl;
    config.configIniPath = companyRoot + QStringLiteral("/config.ini");
    config.startDelayMs = args.value(QStringLiteral("start-ms")).toInt();
    config.bootDelayMs = 0;
    config.photoIntervalMs = args.value(QStringLiteral("photo-ms")).toInt();
    config.videoIntervalMs = args.value(QStringLiteral("video-ms")).toInt();
    config.fileRetryMs = args.value(QStringLiteral("retry-ms")).toInt();
    config.indexRetryMs = config.fileRetryMs;
    return config;
}

namespace Measure {

namespace {
qint64 statusField(const QByteArray &name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(name.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
} // namespace

qint64 rssKib()
{
    return statusField("VmRSS:");
}

qint64 peakRssKib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int openDescriptors()
{
    // The listing holds one descriptor of its own while it reads the folder.
    return QDir(QStringLiteral("/proc/self/fd"))
               .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
               .size() -
           1;
}

qint64 heapInUseBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
}

} // namespace Measure

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    addOptions(parser);
    parser.process(app);
    const QString name = parser.positionalArguments().value(0);
    const auto command = commands().find(name);
    if (command == commands().end())
        parser.showHelp(1);
    return command->second(parser);
}
