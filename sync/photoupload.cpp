#include "syncworker.h"

#include "hashrecord.h"
#include "indexes.h"
#include "serverapi.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {

// As many as Qt's manager has connections to one host.
constexpr int maxParallelUploads = 6;

QHttpPart formField(const QByteArray &name, const QString &value)
{
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader,
                   QByteArray("form-data; name=\"") + name + '"');
    part.setBody(value.toUtf8());
    return part;
}

// The multipart header is joined as raw bytes, so a quote, backslash or line
// break in a file name would end the parameter or inject a header.
QByteArray quotedFileName(const QString &fileName)
{
    QByteArray name = fileName.toUtf8();
    name.replace('\\', "\\\\").replace('"', "\\\"");
    name.replace('\r', QByteArray()).replace('\n', QByteArray());
    return name;
}

bool isAccepted(QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return reply->error() == QNetworkReply::NoError && status >= 200 && status < 300;
}

// What the server says it stored, from its header or its JSON body. A
// receipt that is there but is no SHA-256 ("stored-ok", "pending", 63
// digits, a number) leaves `sha256` empty and is no receipt of the photo.
struct Receipt
{
    bool given = false;
    QByteArray sha256;
    QString text; // as the answer gave it, for the log
};

Receipt receiptOf(QNetworkReply *reply)
{
    if (reply->hasRawHeader("X-Content-SHA256")) {
        const QByteArray header = reply->rawHeader("X-Content-SHA256").trimmed();
        return {true, normalizedSha256(QString::fromLatin1(header)),
                QStringLiteral("X-Content-SHA256: ") + QString::fromLatin1(header)};
    }
    const QJsonObject body = QJsonDocument::fromJson(reply->readAll()).object();
    if (!body.contains(QLatin1String("sha256")))
        return {};
    const QJsonValue value = body.value(QLatin1String("sha256"));
    return {true, normalizedSha256(value.toString()),
            QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("sha256"), value}})
                                  .toJson(QJsonDocument::Compact))};
}

QString failureReason(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    return QStringLiteral("HTTP %1").arg(
        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
}

} // namespace

void SyncWorker::handleSyncTimeout()
{
    emit logAdded(QStringLiteral("--- Sync Cycle Started --- ") +
                  QDateTime::currentDateTime().toString(Qt::TextDate));
    uploadPendingPhotos();
}

void SyncWorker::uploadPendingPhotos()
{
    const QString cameraPath = getDynamicCameraPath();
    if (cameraPath.isEmpty())
        return;
    QString deviceUuid = getDeviceUuid();
    if (deviceUuid.isEmpty())
        deviceUuid = QStringLiteral("UnknownDevice");

    const QStringList photos = photosBelow(cameraPath);
    if (photos.isEmpty())
        emit statusChanged(QStringLiteral("System Idle"), QStringLiteral("idle"));
    const QDir cameraDir(cameraPath);
    for (const QString &filePath : photos) {
        if (!m_uploadsInFlight.contains(filePath)) {
            m_uploadsInFlight.insert(filePath);
            m_photoQueue.append({filePath, cameraDir.relativeFilePath(filePath), deviceUuid});
        }
    }
    postQueuedPhotos();
    removeEmptyDirectories(cameraPath);
}

// Files below the camera folder. Links are neither sent nor followed: one
// could lead to any file the agent can read.
QStringList SyncWorker::photosBelow(const QString &folder) const
{
    QStringList photos;
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (isLink(entry))
            continue;
        if (entry.isDir())
            photos += photosBelow(entry.filePath());
        else if (entry.isFile())
            photos.append(entry.filePath());
    }
    return photos;
}

// Qt's manager runs six connections per host and queues the rest with their
// inactivity clocks already running, so on a slow uplink a queued photo would
// time out before its first byte; only as many as can move are posted.
void SyncWorker::postQueuedPhotos()
{
    while (m_uploadsPosted < maxParallelUploads && !m_photoQueue.isEmpty()) {
        const PhotoTask photo = m_photoQueue.takeFirst();
        if (uploadPhoto(photo.filePath, photo.relativePath, photo.deviceUuid))
            ++m_uploadsPosted;
        else
            m_uploadsInFlight.remove(photo.filePath);
    }
}

bool SyncWorker::uploadPhoto(const QString &filePath, const QString &relativePath,
                             const QString &deviceUuid)
{
    const QFileInfo info(filePath);
    emit statusChanged(QStringLiteral("Uploading photos..."), QStringLiteral("upload"));
    emit logAdded(QStringLiteral("Uploading photo: ") + info.fileName());

    auto *form = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    form->append(formField("relative_path", relativePath));
    form->append(formField("device_uuid", deviceUuid));
    QHttpPart photo;
    photo.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/octet-stream"));
    photo.setHeader(QNetworkRequest::ContentDispositionHeader,
                    QByteArray("form-data; name=\"photo\"; filename=\"") +
                        quotedFileName(info.fileName()) + '"');
    auto *file = new QFile(filePath);
    if (!file->open(QIODevice::ReadOnly)) {
        delete file;
        delete form;
        return false;
    }
    photo.setBodyDevice(file);
    file->setParent(form);
    form->append(photo);

    QNetworkRequest request(ServerApi::uploadUrl(m_config.serverUrl));
    // A redirect would be followed as a GET without the photo and end in a 200
    // for a photo the server never stored.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(m_config.transferTimeoutMs);
    QNetworkReply *reply = m_networkManager->post(request, form);
    reply->setProperty("localFilePath", filePath);
    reply->setProperty("sentSize", info.size());
    reply->setProperty("sentModified", info.lastModified());
    form->setParent(reply);
    return true;
}

void SyncWorker::onUploadFinished(QNetworkReply *reply)
{
    const QString path = reply->property("localFilePath").toString();
    m_uploadsInFlight.remove(path);
    --m_uploadsPosted;

    const Receipt receipt = isAccepted(reply) ? receiptOf(reply) : Receipt();
    m_serverSendsReceipts = m_serverSendsReceipts || !receipt.sha256.isEmpty();
    // A photo gone meanwhile has nothing left to keep.
    const QByteArray sent =
        receipt.sha256.isEmpty() || !QFileInfo::exists(path) ? receipt.sha256 : sha256OfFile(path);
    if (!isAccepted(reply)) {
        emit logAdded(QStringLiteral("Network Error. Upload failed for: ") + path +
                      QStringLiteral(" -> Reason: ") + failureReason(reply));
    } else if (receipt.given && receipt.sha256.isEmpty()) {
        emit logAdded(QStringLiteral("!!! Server's receipt is no SHA-256, keeping the photo: ") +
                      path + QStringLiteral(" -> ") + receipt.text);
    } else if (!receipt.given && m_serverSendsReceipts) {
        // The server has sent receipts: a 2xx without one is a proxy's or portal's page.
        emit logAdded(QStringLiteral("!!! Answer carries no receipt, keeping the photo: ") + path);
    } else if (receipt.sha256 != sent) {
        // The server or a proxy kept other bytes than the photo: it goes again next cycle.
        emit logAdded(QStringLiteral("!!! Server stored other bytes, keeping the photo: ") + path +
                      QStringLiteral(" -> sent SHA-256 ") + QString::fromLatin1(sent) +
                      QStringLiteral(", server SHA-256 ") + QString::fromLatin1(receipt.sha256));
    } else {
        emit logAdded(QStringLiteral("Successfully uploaded to server: ") + path);
        if (QFile *file = reply->findChild<QFile *>())
            file->close(); // Windows refuses to delete an open file
        deleteUploadedPhoto(path, reply->property("sentSize").toLongLong(),
                            reply->property("sentModified").toDateTime());
    }
    reply->deleteLater();
    emit statusChanged(QStringLiteral("System Idle"), QStringLiteral("idle"));
    postQueuedPhotos();
}

void SyncWorker::deleteUploadedPhoto(const QString &path, qint64 sentSize,
                                     const QDateTime &sentModified)
{
    // The camera may still have been writing: only the bytes that were sent go.
    const QFileInfo now(path);
    if (now.exists() && (now.size() != sentSize || now.lastModified() != sentModified)) {
        emit logAdded(
            QStringLiteral("Photo changed during upload, keeping it for the next cycle: ") + path);
        return;
    }
    if (QFile::remove(path))
        emit logAdded(QStringLiteral("Deleted local file: ") + path);
    else
        emit logAdded(QStringLiteral("Could not delete file: ") + path);
}

void SyncWorker::removeEmptyDirectories(const QString &path)
{
    QDir dir(path);
    if (!dir.exists())
        return;
    // A linked folder is never entered: its empty folders may lie anywhere.
    const QFileInfoList folders = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo &folder : folders) {
        if (!isLink(folder))
            removeEmptyDirectories(folder.filePath());
    }
    if (!dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty())
        return;
    if (dir.absolutePath() == getDynamicCameraPath())
        return;                           // the camera folder itself stays
    if (QDir().rmdir(dir.absolutePath())) // "dir/." cannot be removed on POSIX
        emit logAdded(QStringLiteral("Removed empty directory: ") + dir.absolutePath());
}
