#pragma once

#include "syncworker.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

// The worker's private steps, so a test can drive a flow without its timers.
class WorkerProbe
{
public:
    static void startAppSync(SyncWorker &w) { w.startAppSync(); }
    static void launchMainApplication(SyncWorker &w) { w.launchMainApplication(); }
    static bool mainAppStarted(const SyncWorker &w) { return w.m_mainAppStarted; }
    static void runPhotoCycle(SyncWorker &w) { w.handleSyncTimeout(); }
    static void runVideoCycle(SyncWorker &w) { w.handleVideoSyncTimeout(); }
    static qsizetype appQueueSize(const SyncWorker &w) { return w.m_appDownloadQueue.size(); }
};

// Short timings, but a start delay long enough for a test to drive a flow by hand.
inline SyncConfig testConfig(const QString &companyRoot, const QString &serverUrl)
{
    SyncConfig config;
    config.companyRoot = companyRoot;
    config.serverUrl = serverUrl;
    config.configIniPath = companyRoot + QStringLiteral("/config.ini");
    config.startDelayMs = config.photoIntervalMs = config.videoIntervalMs = 3600000;
    config.bootDelayMs = 0;
    config.fileRetryMs = 100;
    config.indexRetryMs = 200;
    return config;
}

inline bool writeFile(const QString &path, const QByteArray &data = "old")
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every entry below dir, hidden ones included, relative and sorted.
inline QStringList treeOf(const QString &dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << it.next().mid(dir.size() + 1);
    entries.sort();
    return entries;
}

// A symbolic link to a folder, or on Windows a junction (no privilege needed).
inline bool linkFolder(const QString &target, const QString &link)
{
#ifdef Q_OS_WIN
    return QProcess::execute("cmd", {"/c", "mklink", "/J", QDir::toNativeSeparators(link),
                                     QDir::toNativeSeparators(target)}) == 0 &&
           QFileInfo(link).isJunction();
#else
    return QFile::link(target, link);
#endif
}

// Wine 8 makes no links: mklink fails, a Unix link in the prefix is a plain folder.
inline bool canLinkFolders()
{
    static const QTemporaryDir probe;
    static const bool can = linkFolder(probe.path(), probe.path() + "/link");
    return can;
}
