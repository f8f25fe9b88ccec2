#include "syncworker.h"

#include "filedownload.h"
#include "hashrecord.h"
#include "indexes.h"
#include "indexjson.h"
#include "platform.h"
#include "serverapi.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

const QLatin1String publicType("public");
const QLatin1String privateType("private");
const QLatin1String mediaFolderName("/Media");

// The name becomes a path inside a media folder; anything that could leave
// that folder (a separator, a dot segment, a drive) is refused.
bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(u'/') && !name.contains(u'\\') && !startsWithDriveLetter(name) &&
           !hasControlCharacter(name);
}

// The log line that explains why an entry cannot be placed, or nothing.
QString skipLineFor(const VideoIndexEntry &entry, const QString &deviceUuid)
{
    if (entry.type != publicType && entry.type != privateType)
        return QStringLiteral("!!! Skipping video entry with unknown type: ") + entry.type;
    if (entry.type == privateType && deviceUuid.isEmpty())
        return QStringLiteral("!!! Skipping private video without a device identity: ") +
               entry.fileName;
    if (!isPlainFileName(entry.fileName))
        return QStringLiteral("!!! Skipping unsafe video file name: ") + printable(entry.fileName);
    return QString();
}

} // namespace

std::optional<QList<VideoIndexEntry>> parseVideoIndex(const QByteArray &body)
{
    enum { Type, FileName, Size, Sha256 };
    IndexEntries reader(body, {QLatin1String("type"), QLatin1String("filename"),
                               QLatin1String("size"), QLatin1String("sha256")});
    QList<VideoIndexEntry> entries;
    while (reader.next()) {
        const QByteArray hash = reader[Sha256].toSha256();
        entries.append({reader[Type].toString(), reader[FileName].toString(),
                        readIndexSize(reader[Size].toJsonValue()), hash,
                        reader[Sha256].kind() != IndexField::Missing && hash.isEmpty()});
    }
    return reader.isArray() ? std::optional(std::move(entries)) : std::nullopt;
}

void SyncWorker::handleVideoSyncTimeout()
{
    if (!m_videoDownloadQueue.isEmpty() || m_videoIndexPending) {
        emit logAdded(
            QStringLiteral("Previous video sync queue is still active. Skipping this cycle."));
        return;
    }
    emit logAdded(QStringLiteral("=== Starting 30-Minute Video Ads Sync Cycle ==="));
    emit statusChanged(QStringLiteral("Checking video ads updates..."), QStringLiteral("download"));

    auto *manager = new QNetworkAccessManager(this);
    connect(manager, &QNetworkAccessManager::finished, this,
            &SyncWorker::onVideoIndexFetchFinished);
    const QString deviceUuid = getDeviceUuid();
    QNetworkRequest request(ServerApi::videoIndexUrl(m_config.serverUrl, deviceUuid));
    request.setTransferTimeout(m_config.transferTimeoutMs);
    manager->get(request)->setProperty("deviceUuid", deviceUuid);
    m_videoIndexPending = true;
}

void SyncWorker::onVideoIndexFetchFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    reply->manager()->deleteLater();
    m_videoIndexPending = false;

    // The answer is applied to the device it was asked for, which its signature names.
    const QString deviceUuid = reply->property("deviceUuid").toString();
    const bool fetched = reply->error() == QNetworkReply::NoError;
    const QByteArray body = fetched ? reply->readAll() : QByteArray();
    if (!fetched ||
        !isTrustedIndex(reply, body, "list_videos", deviceUuid, QStringLiteral("Video Index"))) {
        emit logAdded(QStringLiteral("Failed to fetch Video Index from server."));
        emit statusChanged(QStringLiteral("System Idle"), QStringLiteral("idle"));
        return;
    }
    const std::optional<QList<VideoIndexEntry>> entries = parseVideoIndex(body);
    if (!entries)
        return;

    const QString publicFolder = publicMediaFolder();
    const QString privateFolder = deviceFolder(deviceUuid) + mediaFolderName;
    QDir().mkpath(publicFolder);
    if (!deviceUuid.isEmpty())
        QDir().mkpath(privateFolder);

    QSet<QString> publicNames;
    QSet<QString> privateNames;
    queueMissingVideos(*entries, deviceUuid, publicNames, privateNames);
    removeObsoleteVideos(publicFolder, publicNames,
                         QStringLiteral("Removing obsolete public video: "));
    if (!deviceUuid.isEmpty())
        removeObsoleteVideos(privateFolder, privateNames,
                             QStringLiteral("Removing obsolete private video: "));

    if (m_videoDownloadQueue.isEmpty()) {
        m_videoIndexRereads = 0;
        emit logAdded(QStringLiteral("All videos (Public & Private) are completely synchronized."));
        emit statusChanged(QStringLiteral("System Idle"), QStringLiteral("idle"));
        return;
    }
    emit logAdded(QStringLiteral("Found %1 videos to download.").arg(m_videoDownloadQueue.size()));
    processNextVideoDownload();
}

void SyncWorker::queueMissingVideos(const QList<VideoIndexEntry> &entries,
                                    const QString &deviceUuid, QSet<QString> &publicNames,
                                    QSet<QString> &privateNames)
{
    const QString publicFolder = publicMediaFolder() + u'/';
    const QString privateFolder = deviceFolder(deviceUuid) + mediaFolderName + u'/';
    HashRecords hashes;
    int malformedHashes = 0;
    int repeatedNames = 0;
    for (const VideoIndexEntry &entry : entries) {
        malformedHashes += entry.sha256Malformed;
        const QString skipLine = skipLineFor(entry, deviceUuid);
        if (!skipLine.isEmpty()) {
            emit logAdded(skipLine);
            continue;
        }
        const bool isPublic = entry.type == publicType;
        // Two entries for one file would replace each other at every cycle.
        QSet<QString> &names = isPublic ? publicNames : privateNames;
        const QString key = Platform::fileNameKey(entry.fileName);
        if (names.contains(key)) {
            ++repeatedNames;
            continue;
        }
        names.insert(key);
        if (entry.size < 0) {
            emit logAdded(QStringLiteral("!!! Skipping video entry with an unreadable size: ") +
                          entry.fileName);
            continue;
        }
        if (m_indexSignatures.isOn() && entry.sha256.isEmpty()) {
            emit logAdded(QStringLiteral("!!! Skipping Video Index entry without sha256: ") +
                          entry.fileName);
            continue;
        }
        const QString localFilePath = (isPublic ? publicFolder : privateFolder) + entry.fileName;
        if (isUpToDate(localFilePath, entry.size, entry.sha256, hashes))
            continue;
        const QUrl url =
            isPublic ? ServerApi::publicVideoUrl(m_config.serverUrl, entry.fileName)
                     : ServerApi::privateVideoUrl(m_config.serverUrl, deviceUuid, entry.fileName);
        m_videoDownloadQueue.append({entry.fileName, url.toString(QUrl::FullyEncoded),
                                     localFilePath, entry.size, entry.sha256});
    }
    hashes.saveAll(true);
    if (repeatedNames > 0)
        emit logAdded(QStringLiteral("!!! Skipping %1 Video Index entries that name the same file "
                                     "as an earlier entry.")
                          .arg(repeatedNames));
    if (malformedHashes > 0)
        emit logAdded(QStringLiteral("!!! Video Index holds %1 malformed sha256 values; those "
                                     "videos are checked by size only.")
                          .arg(malformedHashes));
}

void SyncWorker::removeObsoleteVideos(const QString &folder, const QSet<QString> &keptNames,
                                      const QString &linePrefix)
{
    QSet<QString> queued;
    for (const DownloadTask &task : std::as_const(m_videoDownloadQueue))
        queued.insert(task.localFilePath);
    PartialFile::removeUnwanted(folder, queued);

    // Without QDir::Hidden and QDir::Dirs, hidden files and sub-folders stay.
    const QDir dir(folder);
    const QStringList files = dir.entryList(QDir::Files, QDir::Name | QDir::IgnoreCase);
    for (const QString &name : files) {
        if (keptNames.contains(Platform::fileNameKey(name)) || name == hashRecordName ||
            !PartialFile::targetOf(name).isEmpty())
            continue;
        emit logAdded(linePrefix + name);
        QFile::remove(dir.filePath(name));
    }
}

void SyncWorker::processNextVideoDownload()
{
    if (m_videoDownloadQueue.isEmpty()) {
        m_downloadedHashes.saveAll(false);
        if (std::exchange(m_rereadVideoIndex, false))
            return readVideoIndexAgain();
        m_videoIndexRereads = 0;
        emit logAdded(QStringLiteral("=== Video Ads Sync Cycle Finished Successfully ==="));
        emit statusChanged(QStringLiteral("System Idle"), QStringLiteral("idle"));
        return;
    }
    // The head stays queued until its body is on disk, so a retry fetches it again.
    const DownloadTask task = m_videoDownloadQueue.first();
    if (isWaitingForName(task)) { // its verified bytes wait beside it
        m_videoDownloadQueue.removeFirst();
        processNextVideoDownload();
        return;
    }
    emit logAdded(QStringLiteral("Starting download for video file: ") + task.fileName);
    emit statusChanged(QStringLiteral("Downloading video ads..."), QStringLiteral("download"));
    // The media folder may have been removed since the index was read; without
    // it every retry of the head would fail until the agent restarts. Its parent
    // is never made again: a device folder that is gone was renamed, and making
    // it again would bring the old identity back.
    const QString folder = QFileInfo(task.localFilePath).path();
    const QString parent = QFileInfo(folder).path();
    if (!QFileInfo(parent).isDir()) {
        dropVideosBelow(parent);
        processNextVideoDownload();
        return;
    }
    QDir().mkdir(folder);
    if (!fitsOnDisk(task)) { // it waits for the next cycle; the others need not
        m_videoDownloadQueue.removeFirst();
        processNextVideoDownload();
        return;
    }
    startDownload(task, &SyncWorker::onVideoDownloadFinished);
}

// Once per cycle that met a video other than the index's: at once the first
// time, then waiting twice as long each time, up to the cycle's interval.
void SyncWorker::readVideoIndexAgain()
{
    const int delay = m_videoIndexRereads == 0
                          ? 0
                          : int(std::min<qint64>(qint64(m_config.fileRetryMs)
                                                     << std::min(m_videoIndexRereads - 1, 20),
                                                 m_config.videoIntervalMs));
    ++m_videoIndexRereads;
    emit logAdded(QStringLiteral("=== Video Index will be read again in %1 ms ===").arg(delay));
    emit statusChanged(QStringLiteral("System Idle"), QStringLiteral("idle"));
    QTimer::singleShot(delay, this, &SyncWorker::handleVideoSyncTimeout);
}

void SyncWorker::dropVideosBelow(const QString &folder)
{
    emit logAdded(QStringLiteral("!!! Folder is gone, its videos wait for the next cycle: ") +
                  folder);
    const QString prefix = folder + u'/';
    m_videoDownloadQueue.removeIf(
        [&prefix](const DownloadTask &task) { return task.localFilePath.startsWith(prefix); });
}

void SyncWorker::onVideoDownloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    reply->manager()->deleteLater();
    DownloadTask &task = m_videoDownloadQueue.first();

    QString reason;
    switch (finishFileDownload(reply, task.wholeBodies, reason)) {
    case DownloadEnd::TransferFailed:
        emit logAdded(QStringLiteral("!!! Failed to download video: ") + task.fileName +
                      QStringLiteral(" -> Error: ") + reason +
                      QStringLiteral(" -> Retrying in 3s... !!!"));
        QTimer::singleShot(m_config.fileRetryMs, this, &SyncWorker::processNextVideoDownload);
        return;
    case DownloadEnd::WriteFailed:
        // The old file stays untouched, and the retry resumes what arrived.
        emit logAdded(QStringLiteral("!!! File open error on write. Retrying in 3s... !!!"));
        emit logAdded(QStringLiteral(" -> ") + reason);
        QTimer::singleShot(m_config.fileRetryMs, this, &SyncWorker::processNextVideoDownload);
        return;
    case DownloadEnd::Incomplete:
        processNextVideoDownload();
        return;
    case DownloadEnd::NotIndexed:
        // Most likely republished since the index was read.
        emit logAdded(QStringLiteral("!!! Video is not the one the index lists, the index is read "
                                     "again: ") +
                      task.fileName + QStringLiteral(" -> ") + reason);
        m_rereadVideoIndex = true;
        break;
    case DownloadEnd::NameTaken:
        waitForName(task, true, reason);
        break;
    case DownloadEnd::Saved:
        m_downloadedHashes.remember(task.localFilePath, task.sha256);
        emit logAdded(QStringLiteral(">>> SUCCESS: ") + task.fileName +
                      QStringLiteral(" completely saved to disk. <<<"));
        break;
    }
    m_videoDownloadQueue.removeFirst();
    processNextVideoDownload();
}
