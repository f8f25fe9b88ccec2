#include "syncworker.h"

#include "buildconfig.h"
#include "filedownload.h"
#include "logging.h"
#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStorageInfo>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>

Q_LOGGING_CATEGORY(lcSync, "lumipost.sync", QtInfoMsg)

namespace {

constexpr double bytesToMegabytes = 9.5367431640625e-7; // 1 / 1048576
constexpr qint64 mebibyte = 1048576;

const QString writeProbe = QStringLiteral("/.lumipost-write-check-XXXXXX");

// Why no file can be made in the folder, or empty when one can.
QString writeProblem(const QString &folder)
{
    QTemporaryFile probe(folder + writeProbe);
    if (probe.open())
        return QString();
    // Of a folder that could not be made, where the making stopped tells why.
    QFileInfo made(folder);
    while (!made.exists() && !made.isRoot())
        made.setFile(made.path());
    QTemporaryFile above(made.filePath() + writeProbe);
    return above.open() ? probe.errorString() : above.errorString();
}
} // namespace

SyncConfig SyncConfig::program()
{
    SyncConfig config;
    config.companyRoot = QStringLiteral(LUMIPOST_COMPANY_ROOT);
    config.serverUrl = QStringLiteral(LUMIPOST_SYNC_SERVER_URL);
    config.configIniPath = QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini");
    config.diskReserveBytes = qint64(LUMIPOST_DISK_RESERVE_MB) * mebibyte;
    config.indexPublicKey = QByteArrayLiteral(LUMIPOST_INDEX_PUBLIC_KEY);
    return config;
}

SyncWorker::SyncWorker(QObject *parent) : SyncWorker(SyncConfig::program(), parent)
{}

SyncWorker::SyncWorker(const SyncConfig &config, QObject *parent)
    : QObject(parent), m_config(config), m_rootLock(config.lockFile()),
      m_networkManager(new QNetworkAccessManager(this)),
      m_indexSignatures(config.indexPublicKey, config.productFolder() + u'/' + indexCounterName)
{
    m_basePath = m_config.productFolder();
    connect(this, &SyncWorker::logAdded, this,
            [](const QString &line) { qCInfo(lcSync).noquote() << line; });
    if (!claimCompanyRoot())
        return;
    QDir().mkpath(m_basePath);
    // An account outside the company root's group would otherwise only learn
    // of it from every download failing; said once the window listens.
    if (const QString problem = writeProblem(m_basePath); !problem.isEmpty()) {
        QTimer::singleShot(0, this, [this, problem] {
            emit logAdded(QStringLiteral("!!! Cannot write the company folder %1: %2")
                              .arg(m_basePath, problem));
        });
    }
    m_bootTimer.start();
    connect(m_networkManager, &QNetworkAccessManager::finished, this,
            &SyncWorker::onUploadFinished);
    QTimer::singleShot(m_config.startDelayMs, this, &SyncWorker::startAppSync);
}

SyncWorker::~SyncWorker() = default;

// A second agent on the same root (a second login, a double start) would
// write the same partial files: it says why and ends before it touches
// anything. The lock is held for as long as the agent runs, however long.
bool SyncWorker::claimCompanyRoot()
{
    m_rootLock.setStaleLockTime(0);
    QDir().mkpath(m_config.companyRoot);
    if (m_rootLock.tryLock(0)) {
        Platform::hideFile(m_config.lockFile());
        return true;
    }
    if (m_rootLock.error() != QLockFile::LockFailedError)
        return true;
    qint64 pid = 0;
    QString host;
    QString application;
    m_rootLock.getLockInfo(&pid, &host, &application);
    QTimer::singleShot(0, this, [this, pid, host] { // once the window listens
        emit logAdded(
            QStringLiteral("!!! Another agent runs on this company root; this one exits."));
        emit logAdded(QStringLiteral(" -> %1 is held by process %2 on %3")
                          .arg(m_config.lockFile())
                          .arg(pid)
                          .arg(host));
        QCoreApplication::exit(1);
    });
    return false;
}

QString SyncWorker::getDeviceUuid()
{
    const QStringList folders =
        QDir(m_config.companyRoot)
            .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QString &name : folders) {
        if (name.compare(QLatin1String("Lumipost"), Qt::CaseInsensitive) != 0)
            return name;
    }
    return QString();
}

QString SyncWorker::getDynamicCameraPath()
{
    const QDir root(m_config.companyRoot);
    if (!root.exists())
        return QString();
    const QString deviceUuid = getDeviceUuid();
    if (deviceUuid.isEmpty())
        return QString();
    return QDir::cleanPath(root.absoluteFilePath(QStringLiteral("%1/Camera").arg(deviceUuid)));
}

QString SyncWorker::publicMediaFolder() const
{
    return m_config.companyRoot + QStringLiteral("/Lumipost/Media");
}

QString SyncWorker::deviceFolder(const QString &deviceUuid) const
{
    return m_config.companyRoot + QLatin1Char('/') + deviceUuid;
}

// A refused index counts as one that could not be fetched: nothing is
// deleted or fetched on its word.
bool SyncWorker::isTrustedIndex(const QNetworkReply *reply, const QByteArray &body,
                                const QByteArray &route, const QString &device,
                                const QString &indexName)
{
    if (!m_indexSignatures.isOn())
        return true;
    const QString refusal = m_indexSignatures.refusal(
        reply->rawHeader("X-Lumipost-Index-Counter"),
        reply->rawHeader("X-Lumipost-Index-Signature"), body, route, device);
    if (!refusal.isEmpty())
        emit logAdded(QStringLiteral("!!! %1 signature refused: %2").arg(indexName, refusal));
    return refusal.isEmpty();
}

void SyncWorker::startPeriodicTimers()
{
    if (!m_photoTimer) {
        m_photoTimer = new QTimer(this);
        connect(m_photoTimer, &QTimer::timeout, this, &SyncWorker::handleSyncTimeout);
        m_photoTimer->start(m_config.photoIntervalMs);
        emit logAdded(QStringLiteral(">>> Photo Sync Timer Enabled (Every 60s)."));
    }
    if (!m_videoTimer) {
        m_videoTimer = new QTimer(this);
        connect(m_videoTimer, &QTimer::timeout, this, &SyncWorker::handleVideoSyncTimeout);
        QTimer::singleShot(0, this, &SyncWorker::handleVideoSyncTimeout);
        m_videoTimer->start(m_config.videoIntervalMs);
        emit logAdded(QStringLiteral(">>> Video Ads Sync Timer Enabled (Every 30 min)."));
    }
}

QNetworkReply *SyncWorker::startDownload(const DownloadTask &task,
                                         void (SyncWorker::*onFinished)(QNetworkReply *))
{
    auto *manager = new QNetworkAccessManager(this);
    QNetworkRequest request(QUrl(task.url, QUrl::TolerantMode));
    request.setTransferTimeout(m_config.transferTimeoutMs);
    QNetworkReply *reply =
        startFileDownload(manager, request, task.localFilePath, task.size, task.sha256);
    reply->setProperty("localFilePath", task.localFilePath);
    reply->setProperty("fileName", task.fileName);
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, reply](qint64 received, qint64 total) {
                relayDownloadProgress(reply, received, total);
            });
    connect(manager, &QNetworkAccessManager::finished, this, onFinished);
    return reply;
}

void SyncWorker::relayDownloadProgress(QNetworkReply *reply, qint64 received, qint64 total)
{
    if (total <= 0)
        return;
    // A resumed body is the rest of the file: the bar goes on from where it was.
    const qint64 offset = resumedOffset(reply);
    received += offset;
    total += offset;
    const int progress = static_cast<int>(received * 100 / total);
    const QString fileName = reply->property("fileName").toString();
    emit progressUpdated(fileName, progress, received * bytesToMegabytes, total * bytesToMegabytes);
}

// Bytes still to come against the volume's free space less the reserve: a
// full volume would fail every other program's writes, the camera's first.
bool SyncWorker::fitsOnDisk(const DownloadTask &task)
{
    const QStorageInfo volume(QFileInfo(task.localFilePath).path());
    if (!volume.isValid())
        return true; // the write will tell why
    const qint64 reserve = std::min(m_config.diskReserveBytes, volume.bytesTotal() / 20);
    const qint64 free = std::max<qint64>(volume.bytesAvailable() - reserve, 0);
    const qint64 partial = QFileInfo(PartialFile::dataPath(task.localFilePath)).size();
    const qint64 toCome = task.size - std::min(partial, task.size);
    if (toCome <= free)
        return true;
    emit logAdded(QStringLiteral("Not enough disk space for %1: needs %2 MB, %3 MB free")
                      .arg(task.fileName)
                      .arg((toCome + mebibyte - 1) / mebibyte)
                      .arg(free / mebibyte));
    return false;
}

// A verified download whose name is taken (a folder here; on Windows a player
// or the running program holding the file) keeps its bytes beside it: only
// the rename is tried again, waiting longer each time, while the queue goes on.
void SyncWorker::waitForName(const DownloadTask &task, bool isVideo, const QString &reason)
{
    emit logAdded(QStringLiteral("!!! Downloaded and verified, retrying only the rename: ") +
                  task.localFilePath);
    emit logAdded(QStringLiteral(" -> ") + reason);
    m_waitingForName.insert(task.localFilePath, {task, isVideo, 0});
    QTimer::singleShot(m_config.fileRetryMs, this,
                       [this, path = task.localFilePath] { retryRename(path); });
}

void SyncWorker::retryRename(const QString &path)
{
    const auto waiting = m_waitingForName.find(path);
    if (waiting == m_waitingForName.end())
        return;
    // A pass that no longer wanted the file has removed its partial.
    const bool kept = QFileInfo::exists(PartialFile::dataPath(path));
    QString reason;
    if (kept && !commitVerifiedPartial(path, reason)) {
        const int tries = std::min(++waiting->tries, 7);
        QTimer::singleShot(m_config.fileRetryMs << tries, this,
                           [this, path] { retryRename(path); });
        return;
    }
    const WaitingFile file = m_waitingForName.take(path);
    if (!kept)
        return;
    m_downloadedHashes.remember(path, file.task.sha256);
    m_downloadedHashes.saveAll(false);
    emit logAdded(file.isVideo ? QStringLiteral(">>> SUCCESS: ") + file.task.fileName +
                                     QStringLiteral(" completely saved to disk. <<<")
                               : QStringLiteral("Successfully synchronized file: ") + path);
}

bool SyncWorker::isWaitingForName(const DownloadTask &task) const
{
    return m_waitingForName.contains(task.localFilePath);
}
