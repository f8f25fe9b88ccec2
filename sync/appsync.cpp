#include "syncworker.h"

#include "filedownload.h"
#include "hashrecord.h"
#include "indexes.h"
#include "indexjson.h"
#include "platform.h"
#include "serverapi.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

const QLatin1String mediaFolderName("Media");
const QString linkLine = QStringLiteral("!!! Skipping path through a link in App Index: ");

// A ".." segment, found without splitting: this runs for every index entry.
bool hasParentSegment(const QString &slashed)
{
    return slashed == QLatin1String("..") || slashed.startsWith(QLatin1String("../")) ||
           slashed.endsWith(QLatin1String("/..")) || slashed.contains(QLatin1String("/../"));
}

// The path is joined to the product folder as it is, so anything that could
// leave that folder or name no file at all is refused. A backslash separates
// on Windows, so it counts as a separator everywhere.
bool isSafeRelativePath(const QString &path)
{
    QString slashed = path;
    slashed.replace(u'\\', u'/');
    return !slashed.isEmpty() && !slashed.startsWith(u'/') && !startsWithDriveLetter(slashed) &&
           !hasParentSegment(slashed) && !hasControlCharacter(slashed);
}

bool isBelowAny(const QString &relativePath, const QStringList &folders)
{
    return std::any_of(folders.cbegin(), folders.cend(),
                       [&](const QString &folder) { return relativePath.startsWith(folder); });
}

// The public media folder belongs to the video flow, in any letter case.
bool isInMediaFolder(const QString &relativePath)
{
    return relativePath.startsWith(mediaFolderName, Qt::CaseInsensitive) &&
           (relativePath.size() == mediaFolderName.size() ||
            relativePath.at(mediaFolderName.size()) == u'/');
}

// Whether no folder from the product folder down to `relativeDir` is a link,
// which would lead a folder or a download out of the product folder. Each
// folder is looked at once per pass.
bool isLinkFree(const QString &base, const QString &relativeDir, QHash<QString, bool> &known)
{
    if (relativeDir.isEmpty())
        return true;
    const auto found = known.constFind(relativeDir);
    if (found != known.constEnd())
        return *found;
    const qsizetype slash = relativeDir.lastIndexOf(u'/');
    const bool free = isLinkFree(base, slash < 0 ? QString() : relativeDir.left(slash), known) &&
                      !isLink(QFileInfo(base + relativeDir));
    known.insert(relativeDir, free);
    return free;
}

// The folder a download or a folder entry writes into, relative to the product folder.
QString writtenFolder(const QString &relativePath, bool isDir)
{
    QString slashed = relativePath;
    slashed.replace(u'\\', u'/');
    return isDir ? slashed : slashed.left(std::max<qsizetype>(0, slashed.lastIndexOf(u'/')));
}

} // namespace

std::optional<QList<AppIndexEntry>> parseAppIndex(const QByteArray &body)
{
    enum { RelativePath, Size, IsDir, Sha256 };
    IndexEntries reader(body, {QLatin1String("relativePath"), QLatin1String("size"),
                               QLatin1String("isDir"), QLatin1String("sha256")});
    QList<AppIndexEntry> entries;
    while (reader.next()) {
        QString path = reader[RelativePath].toString();
        if (path.startsWith(u'/'))
            path.remove(0, 1);
        const QByteArray hash = reader[Sha256].toSha256();
        entries.append({path, readIndexSize(reader[Size].toJsonValue()),
                        reader[IsDir].kind() == IndexField::True, hash,
                        reader[Sha256].kind() != IndexField::Missing && hash.isEmpty()});
    }
    return reader.isArray() ? std::optional(std::move(entries)) : std::nullopt;
}

void SyncWorker::startAppSync()
{
    emit logAdded(QStringLiteral("### Starting One-Time Application Sync Check ###"));
    emit statusChanged(QStringLiteral("Checking application updates..."),
                       QStringLiteral("download"));

    auto *manager = new QNetworkAccessManager(this);
    connect(manager, &QNetworkAccessManager::finished, this, &SyncWorker::onIndexFetchFinished);
    QNetworkRequest request(ServerApi::appIndexUrl(m_config.serverUrl));
    request.setTransferTimeout(m_config.transferTimeoutMs);
    manager->get(request);
}

void SyncWorker::onIndexFetchFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    reply->manager()->deleteLater();

    const bool answered = reply->error() == QNetworkReply::NoError;
    const QByteArray body = answered ? reply->readAll() : QByteArray();
    const bool trusted = answered && isTrustedIndex(reply, body, "list_apps", QString(),
                                                    QStringLiteral("App Index"));
    const std::optional<QList<AppIndexEntry>> entries =
        trusted ? parseAppIndex(body) : std::nullopt;
    if (!entries) {
        // A proxy's or portal's page at boot is no index either: it is fetched again.
        if (trusted)
            emit logAdded(QStringLiteral("!!! App Index answer is not a JSON array."));
        emit logAdded(QStringLiteral("Failed to fetch App Index (Network offline). Will execute "
                                     "local app after 1-minute mark passes..."));
        launchMainApplication();
        startPeriodicTimers();
        retryAppIndexLater();
        return;
    }

    const QSet<QString> serverPaths = queueAppIndex(*entries);
    removeLocalExtras(serverPaths);

    if (!m_appDownloadQueue.isEmpty()) {
        emit logAdded(
            QStringLiteral("Found %1 files to update/download.").arg(m_appDownloadQueue.size()));
        processNextAppDownload();
        return;
    }
    emit logAdded(QStringLiteral("Application files are completely up-to-date. Waiting for "
                                 "1-minute countdown..."));
    launchMainApplication();
    startPeriodicTimers();
}

QSet<QString> SyncWorker::queueAppIndex(const QList<AppIndexEntry> &entries)
{
    QSet<QString> serverPaths;
    serverPaths.reserve(entries.size());
    const QString base = m_basePath + u'/';
    QHash<QString, bool> linkFreeFolders;
    HashRecords hashes;
    int malformedHashes = 0;
    int repeatedNames = 0;
    int mediaEntries = 0;
    for (const AppIndexEntry &entry : entries) {
        malformedHashes += entry.sha256Malformed;
        if (!isSafeRelativePath(entry.relativePath)) {
            emit logAdded(QStringLiteral("!!! Skipping unsafe path in App Index: ") +
                          printable(entry.relativePath));
            continue;
        }
        // Two flows writing one file would leave a file of two bodies.
        if (isInMediaFolder(QString(entry.relativePath).replace(u'\\', u'/'))) {
            ++mediaEntries;
            continue;
        }
        // Two entries for one file would replace each other at every start.
        const QString key = Platform::fileNameKey(entry.relativePath);
        if (serverPaths.contains(key)) {
            ++repeatedNames;
            continue;
        }
        serverPaths.insert(key);
        if (!entry.isDir && entry.size < 0) {
            emit logAdded(
                QStringLiteral("!!! Skipping entry with an unreadable size in App Index: ") +
                entry.relativePath);
            continue;
        }
        // In a signed index only a hash binds a file's bytes to the signature:
        // a file listed by size alone is neither fetched nor deleted.
        if (m_indexSignatures.isOn() && !entry.isDir && entry.sha256.isEmpty()) {
            emit logAdded(QStringLiteral("!!! Skipping App Index entry without sha256: ") +
                          entry.relativePath);
            continue;
        }
        if (!isLinkFree(base, writtenFolder(entry.relativePath, entry.isDir), linkFreeFolders)) {
            emit logAdded(linkLine + entry.relativePath);
            continue;
        }
        const QString localPath = base + entry.relativePath;
        if (entry.isDir) {
            QDir().mkpath(localPath);
            emit logAdded(QStringLiteral("Ensured empty directory exists: ") + entry.relativePath);
        } else if (!isUpToDate(localPath, entry.size, entry.sha256, hashes)) {
            const QUrl url = ServerApi::appFileUrl(m_config.serverUrl, entry.relativePath);
            m_appDownloadQueue.append({entry.relativePath, url.toString(QUrl::FullyEncoded),
                                       localPath, entry.size, entry.sha256});
        }
    }
    hashes.saveAll(true);
    if (repeatedNames > 0)
        emit logAdded(QStringLiteral("!!! Skipping %1 App Index entries that name the same file "
                                     "as an earlier entry.")
                          .arg(repeatedNames));
    if (malformedHashes > 0)
        emit logAdded(QStringLiteral("!!! App Index holds %1 malformed sha256 values; those "
                                     "files are checked by size only.")
                          .arg(malformedHashes));
    if (mediaEntries > 0)
        emit logAdded(QStringLiteral("!!! App Index lists %1 entries under Media, which belongs to "
                                     "the video ads; they are skipped.")
                          .arg(mediaEntries));
    return serverPaths;
}

void SyncWorker::removeLocalExtras(const QSet<QString> &serverPaths)
{
    QSet<QString> queued;
    for (const DownloadTask &task : std::as_const(m_appDownloadQueue))
        queued.insert(task.localFilePath);

    // Hidden entries are listed only for the partial files, which stay for
    // the files still to download; nothing below a hidden folder or a link
    // is looked at (a Windows junction is descended into, a symlink is not).
    QList<QFileInfo> extras;
    QStringList passedOver;
    QDirIterator it(m_basePath, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QString relativePath = path.mid(m_basePath.size());
        relativePath.replace(u'\\', u'/');
        if (relativePath.startsWith(u'/'))
            relativePath.remove(0, 1);
        if (isInMediaFolder(relativePath) || isBelowAny(relativePath, passedOver))
            continue;
        const QStringView name = QStringView(path).sliced(path.lastIndexOf(u'/') + 1);
        if (name == hashRecordName || name == indexCounterName)
            continue;
        const QString partialTarget = PartialFile::targetOf(path);
        if (!partialTarget.isEmpty()) {
            if (!queued.contains(partialTarget))
                QFile::remove(path);
            continue;
        }
        const QFileInfo info = it.fileInfo();
        if ((info.isHidden() || isLink(info)) && info.isDir())
            passedOver.append(relativePath + u'/');
        if (!info.isHidden() && !serverPaths.contains(Platform::fileNameKey(relativePath)))
            extras.append(info);
    }
    // Longest first, so a folder's contents go before the folder itself.
    std::sort(extras.begin(), extras.end(), [](const QFileInfo &a, const QFileInfo &b) {
        return a.filePath().size() > b.filePath().size();
    });
    for (const QFileInfo &extra : std::as_const(extras)) {
        const QString path = extra.filePath();
        if (extra.isDir()) {
            if (QDir().rmdir(path))
                emit logAdded(QStringLiteral("Deleted local empty directory: ") + path);
        } else if (QFile::remove(path)) {
            emit logAdded(QStringLiteral("Deleted local file: ") + path);
        }
    }
}

void SyncWorker::processNextAppDownload()
{
    if (m_appDownloadQueue.isEmpty()) {
        m_downloadedHashes.saveAll(false);
        if (std::exchange(m_rereadAppIndex, false)) {
            startPeriodicTimers();
            return retryAppIndexLater();
        }
        emit logAdded(QStringLiteral("### One-Time Application Sync Completed Successfully! ###"));
        launchMainApplication();
        startPeriodicTimers();
        return;
    }
    // The head stays queued until its body is on disk, so a retry fetches it again.
    const DownloadTask task = m_appDownloadQueue.first();
    QHash<QString, bool> linkFreeFolders; // looked at anew: a link may have come since the pass
    if (!isLinkFree(m_basePath + u'/', writtenFolder(task.fileName, false), linkFreeFolders)) {
        emit logAdded(linkLine + task.fileName);
        m_appDownloadQueue.removeFirst();
        processNextAppDownload();
        return;
    }
    if (isWaitingForName(task)) { // its verified bytes wait beside it
        m_appDownloadQueue.removeFirst();
        processNextAppDownload();
        return;
    }
    QDir().mkpath(QFileInfo(task.localFilePath).absolutePath());
    if (!fitsOnDisk(task)) {
        m_rereadAppIndex = true; // the index retry is its next try
        goOnWithout(m_appDownloadQueue.takeFirst());
        processNextAppDownload();
        return;
    }
    emit logAdded(QStringLiteral("Downloading app update: ") + task.fileName);
    startDownload(task, &SyncWorker::onAppFileDownloadFinished);
}

void SyncWorker::onAppFileDownloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    reply->manager()->deleteLater();
    DownloadTask &task = m_appDownloadQueue.first();

    // A program running from this folder never sees a half-written file: any
    // failure leaves the old file as it was, and the retry resumes what arrived.
    QString reason;
    switch (finishFileDownload(reply, task.wholeBodies, reason)) {
    case DownloadEnd::TransferFailed:
        emit logAdded(QStringLiteral("Failed to download app file: ") + reason +
                      QStringLiteral(" -> Retrying in 3 seconds..."));
        QTimer::singleShot(m_config.fileRetryMs, this, &SyncWorker::processNextAppDownload);
        goOnWithout(task);
        return;
    case DownloadEnd::WriteFailed:
        emit logAdded(QStringLiteral("File open error on write. Retrying this file in 3s..."));
        emit logAdded(QStringLiteral(" -> ") + reason);
        QTimer::singleShot(m_config.fileRetryMs, this, &SyncWorker::processNextAppDownload);
        goOnWithout(task);
        return;
    case DownloadEnd::Incomplete:
        processNextAppDownload();
        return;
    case DownloadEnd::NotIndexed:
        // Most likely a release switched in since the index was read.
        emit logAdded(QStringLiteral("!!! App file is not the one the index lists, the index is "
                                     "read again: ") +
                      task.fileName + QStringLiteral(" -> ") + reason);
        m_rereadAppIndex = true;
        goOnWithout(task);
        break;
    case DownloadEnd::NameTaken:
        waitForName(task, false, reason);
        break;
    case DownloadEnd::Saved:
        m_downloadedHashes.remember(task.localFilePath, task.sha256);
        emit logAdded(QStringLiteral("Successfully synchronized file: ") + task.localFilePath);
        break;
    }
    m_appDownloadQueue.removeFirst();
    processNextAppDownload();
}

void SyncWorker::retryAppIndexLater()
{
    emit logAdded(QStringLiteral("App Sync will retry fetching index in 30s in background..."));
    QTimer::singleShot(m_config.indexRetryMs, this, &SyncWorker::startAppSync);
}

// A file that keeps failing (gone from the server, or a program Windows will
// not let us replace while it runs) is retried for ever, but the kiosk does
// not wait for it: photos and videos go on from the first failure, and the
// main application starts from what is on disk once the same file has failed
// for the grace period.
void SyncWorker::goOnWithout(const DownloadTask &task)
{
    startPeriodicTimers();
    if (task.localFilePath != m_failingAppFile) {
        m_failingAppFile = task.localFilePath;
        m_failingSince.start();
        return;
    }
    if (m_mainAppStarted || m_launchedWithoutFile ||
        m_failingSince.elapsed() < m_config.appFileGraceMs)
        return;
    m_launchedWithoutFile = true; // asked once: a dialog must not open at every retry
    emit logAdded(QStringLiteral("!!! App file still missing after 5 minutes, starting the main "
                                 "application without it: ") +
                  task.fileName);
    launchMainApplication();
}
