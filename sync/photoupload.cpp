#include "syncworker.h"

#include "serverapi.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {

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

    const QDir cameraDir(cameraPath);
    QDirIterator it(cameraPath, QDir::Files, QDirIterator::Subdirectories);
    if (!it.hasNext())
        emit statusChanged(QStringLiteral("System Idle"), QStringLiteral("idle"));
    while (it.hasNext()) {
        const QString filePath = it.next();
        if (!m_uploadsInFlight.contains(filePath))
            uploadPhoto(filePath, cameraDir.relativeFilePath(filePath), deviceUuid);
    }
    removeEmptyDirectories(cameraPath);
}

void SyncWorker::uploadPhoto(const QString &filePath, const QString &relativePath,
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
        return;
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
    m_uploadsInFlight.insert(filePath);
}

void SyncWorker::onUploadFinished(QNetworkReply *reply)
{
    const QString path = reply->property("localFilePath").toString();
    m_uploadsInFlight.remove(path);

    if (!isAccepted(reply)) {
        emit logAdded(QStringLiteral("Network Error. Upload failed for: ") + path +
                      QStringLiteral(" -> Reason: ") + failureReason(reply));
    } else {
        emit logAdded(QStringLiteral("Successfully uploaded to server: ") + path);
        if (QFile *file = reply->findChild<QFile *>())
            file->close(); // Windows refuses to delete an open file
        deleteUploadedPhoto(path, reply->property("sentSize").toLongLong(),
                            reply->property("sentModified").toDateTime());
    }
    reply->deleteLater();
    emit statusChanged(QStringLiteral("System Idle"), QStringLiteral("idle"));
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
    const QStringList folders = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &folder : folders)
        removeEmptyDirectories(dir.absoluteFilePath(folder));
    if (!dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty())
        return;
    if (dir.absolutePath() == getDynamicCameraPath())
        return;                           // the camera folder itself stays
    if (QDir().rmdir(dir.absolutePath())) // "dir/." cannot be removed on POSIX
        emit logAdded(QStringLiteral("Removed empty directory: ") + dir.absolutePath());
}
