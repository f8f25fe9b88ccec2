#pragma once

#include "hashrecord.h"
#include "indexsignature.h"
#include "syncconfig.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QLockFile>
#include <QObject>
#include <QSet>
#include <QString>

class QDateTime;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
struct AppIndexEntry;
struct VideoIndexEntry;

struct DownloadTask
{
    QString fileName;
    QString url;
    QString localFilePath;
    qint64 size = -1;    // from the index; a resumed partial must end at exactly this size
    QByteArray sha256;   // from the index, lowercase hex; empty when it gives none
    int wholeBodies = 0; // fetched from the start since the index was read
};

class SyncWorker : public QObject
{
    Q_OBJECT

public:
    explicit SyncWorker(QObject *parent = nullptr);
    explicit SyncWorker(const SyncConfig &config, QObject *parent = nullptr);
    ~SyncWorker() override;

    void saveMainAppPath(const QString &path);

signals:
    void statusChanged(QString statusText, QString type);
    void progressUpdated(QString fileName, int progress, double mbReceived, double mbTotal);
    void logAdded(QString logText);
    void needToSelectExecutable();

private slots:
    QString getDynamicCameraPath();
    void handleSyncTimeout();
    void onUploadFinished(QNetworkReply *reply);
    void onIndexFetchFinished(QNetworkReply *reply);
    void onAppFileDownloadFinished(QNetworkReply *reply);
    void onVideoIndexFetchFinished(QNetworkReply *reply);
    void onVideoDownloadFinished(QNetworkReply *reply);
    void handleVideoSyncTimeout();

private:
    friend class WorkerProbe; // tests reach the private steps through it

    // Application mirror
    void startAppSync();
    QSet<QString> queueAppIndex(const QList<AppIndexEntry> &entries);
    void removeLocalExtras(const QSet<QString> &serverPaths);
    void processNextAppDownload();
    void retryAppIndexLater();
    void goOnWithout(const DownloadTask &task);
    // Main application launch
    void launchMainApplication();
    // Photo upload
    void uploadPendingPhotos();
    QStringList photosBelow(const QString &folder) const;
    void postQueuedPhotos();
    bool uploadPhoto(const QString &filePath, const QString &relativePath,
                     const QString &deviceUuid);
    void deleteUploadedPhoto(const QString &path, qint64 sentSize, const QDateTime &sentModified);
    void removeEmptyDirectories(const QString &path);
    // Video ads
    void processNextVideoDownload();
    void queueMissingVideos(const QList<VideoIndexEntry> &entries, const QString &deviceUuid,
                            QSet<QString> &publicNames, QSet<QString> &privateNames);
    void removeObsoleteVideos(const QString &folder, const QSet<QString> &keptNames,
                              const QString &linePrefix);
    void dropVideosBelow(const QString &folder);
    void readVideoIndexAgain();
    // Core
    bool claimCompanyRoot();
    QString getDeviceUuid();
    bool isTrustedIndex(const QNetworkReply *reply, const QByteArray &body, const QByteArray &route,
                        const QString &device, const QString &indexName);
    void startPeriodicTimers();
    QNetworkReply *startDownload(const DownloadTask &task,
                                 void (SyncWorker::*onFinished)(QNetworkReply *));
    void relayDownloadProgress(QNetworkReply *reply, qint64 received, qint64 total);
    bool fitsOnDisk(const DownloadTask &task);
    void waitForName(const DownloadTask &task, bool isVideo, const QString &reason);
    void retryRename(const QString &path);
    bool isWaitingForName(const DownloadTask &task) const;
    QString publicMediaFolder() const;
    QString deviceFolder(const QString &deviceUuid) const;

    SyncConfig m_config;
    // One agent per company root: two would write the same partial files.
    QLockFile m_rootLock;
    QNetworkAccessManager *m_networkManager;
    QElapsedTimer m_bootTimer;
    QTimer *m_photoTimer = nullptr;
    QTimer *m_videoTimer = nullptr;
    QList<DownloadTask> m_appDownloadQueue;
    QString m_basePath;
    QList<DownloadTask> m_videoDownloadQueue;
    bool m_mainAppStarted = false;
    // The application file that failed last, and since when.
    QString m_failingAppFile;
    QElapsedTimer m_failingSince;
    bool m_launchedWithoutFile = false;
    // A file was left out of this pass; the index is read again after the queue.
    bool m_rereadAppIndex = false;
    bool m_rereadVideoIndex = false;
    int m_videoIndexRereads = 0; // in a row, for the back-off
    // Downloaded and verified, but the name is taken: only the rename is tried again.
    struct WaitingFile
    {
        DownloadTask task;
        bool isVideo = false;
        int tries = 0;
    };
    QHash<QString, WaitingFile> m_waitingForName;
    // Hashes of the files downloaded since a queue last ran empty; a kill
    // before they are saved only costs one read of those files later.
    HashRecords m_downloadedHashes;
    // A photo still on its way, queued or posted, is not queued again by a later cycle.
    QSet<QString> m_uploadsInFlight;
    struct PhotoTask
    {
        QString filePath;
        QString relativePath;
        QString deviceUuid;
    };
    QList<PhotoTask> m_photoQueue;
    int m_uploadsPosted = 0;
    // Once the server has sent a receipt this run, a 2xx without one deletes nothing.
    bool m_serverSendsReceipts = false;
    IndexSignatures m_indexSignatures;
    // A tick while the video index is still being fetched sends no second request.
    bool m_videoIndexPending = false;
};
