#include "filedownload.h"

#include "crypto.h"
#include "platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSaveFile>
#include <QStorageInfo>

namespace {

const QLatin1String dataSuffix(".partial");
const QLatin1String infoSuffix(".partial-info");
// Qt's network thread stops reading from the socket once this much waits
// unread, so a slow disk throttles the transfer instead of filling memory.
constexpr qint64 replyReadAhead = qint64(1) << 20;
constexpr qint64 chunkSize = qint64(256) << 10;

QString sidecar(const QString &target, QLatin1String suffix)
{
    const QFileInfo info(target);
    return info.path() + QStringLiteral("/.") + info.fileName() + suffix;
}

struct ResumeInfo
{
    QByteArray validator;
    qint64 expectedSize = -1;
};

ResumeInfo readInfo(const QString &target)
{
    QFile file(PartialFile::infoPath(target));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = file.read(4096).split('\n');
    if (lines.size() < 2)
        return {};
    bool ok = false;
    const qint64 size = lines.at(1).toLongLong(&ok);
    return {lines.at(0).trimmed(), ok ? size : -1};
}

bool writeInfo(const QString &target, const ResumeInfo &info)
{
    QSaveFile file(PartialFile::infoPath(target));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(info.validator + '\n' + QByteArray::number(info.expectedSize) + '\n') <= 0 ||
        !file.commit())
        return false;
    Platform::hideFile(file.fileName());
    return true;
}

// Bytes already in the partial file that the server can be asked to
// continue, or 0 when the download must start over.
qint64 resumableOffset(const QString &target, qint64 expectedSize, QByteArray &validator)
{
    const QFileInfo partial(PartialFile::dataPath(target));
    const ResumeInfo info = readInfo(target);
    if (!partial.isFile() || partial.isSymLink() || info.validator.isEmpty() ||
        info.expectedSize != expectedSize || partial.size() >= expectedSize)
        return 0;
    validator = info.validator;
    return partial.size();
}

// "bytes FIRST-LAST/TOTAL"; false for anything else.
bool parseContentRange(const QByteArray &value, qint64 &first, qint64 &total)
{
    const QByteArray trimmed = value.trimmed();
    if (!trimmed.startsWith("bytes "))
        return false;
    const qsizetype dash = trimmed.indexOf('-');
    const qsizetype slash = trimmed.indexOf('/');
    if (dash < 0 || slash < dash)
        return false;
    bool firstOk = false;
    bool totalOk = false;
    first = trimmed.mid(6, dash - 6).toLongLong(&firstOk);
    total = trimmed.mid(slash + 1).toLongLong(&totalOk);
    return firstOk && totalOk;
}

int statusOf(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// Writes one reply's body into the partial file of its target. Lives as a
// child of the reply, so it goes with it.
class PartialWriter : public QObject
{
    Q_OBJECT

public:
    PartialWriter(QNetworkReply *reply, const QString &target, qint64 expectedSize,
                  const QByteArray &expectedSha256, qint64 offset)
        : QObject(reply), m_reply(reply), m_target(target), m_expectedSize(expectedSize),
          m_expectedSha256(expectedSha256), m_offset(offset), m_file(PartialFile::dataPath(target))
    {
        connect(reply, &QIODevice::readyRead, this, &PartialWriter::writeAvailable);
    }

    DownloadEnd finish(int &wholeBodies, QString &reason)
    {
        const bool transferred = m_reply->error() == QNetworkReply::NoError && m_failure.isEmpty();
        if (transferred)
            writeAvailable(); // the last bytes, or an empty body's file
        wholeBodies += m_whole;
        if (!m_failure.isEmpty()) {
            reason = m_failure;
            return m_failedAs;
        }
        const int status = statusOf(m_reply);
        if (!transferred || !m_file.isOpen()) {
            m_file.close(); // what arrived stays for the resume
            if (status == 416)
                PartialFile::remove(m_target); // the partial no longer fits the file
            reason = m_reply->error() != QNetworkReply::NoError
                         ? m_reply->errorString()
                         : QStringLiteral("HTTP %1").arg(status);
            return status == 404 ? DownloadEnd::NotIndexed : failedTry(wholeBodies);
        }
        // Only a body of exactly the index's size is committed; a short one
        // may have been cut without a word, so what came stays for a range.
        const qint64 size = m_offset + m_written;
        if (size < m_expectedSize) {
            m_file.close();
            reason =
                QStringLiteral("The body ended after %1 of %2 bytes").arg(size).arg(m_expectedSize);
            return status == 206 && m_written > 0 ? DownloadEnd::Incomplete
                                                  : failedTry(wholeBodies);
        }
        return commit(reason);
    }

private:
    DownloadEnd failedTry(int wholeBodies) const
    {
        return m_whole && wholeBodies >= 2 ? DownloadEnd::NotIndexed : DownloadEnd::TransferFailed;
    }

    void writeAvailable()
    {
        if (!m_begun && !begin())
            return;
        if (m_chunk.isEmpty())
            m_chunk.resize(chunkSize);
        while (m_file.isOpen() && m_reply->bytesAvailable() > 0) {
            const qint64 got = m_reply->read(m_chunk.data(), m_chunk.size());
            if (got <= 0)
                return;
            // An overlong or endless body is not the indexed file, and never fills the disk.
            if (m_offset + m_written + got > m_expectedSize) {
                m_file.close();
                PartialFile::remove(m_target);
                return fail(
                    DownloadEnd::NotIndexed,
                    QStringLiteral("The body runs past the index's %1 bytes").arg(m_expectedSize));
            }
            if (m_file.write(m_chunk.constData(), got) != got)
                return writeFailed(m_file.errorString());
            m_written += got;
            if (!m_expectedSha256.isEmpty())
                m_hash.addData(QByteArrayView(m_chunk.constData(), got));
        }
    }

    // Decides from the answer's status where the body goes; false when no
    // body is to be written.
    bool begin()
    {
        m_begun = true;
        const int status = statusOf(m_reply);
        if (status == 206)
            return continuePartial();
        if (status < 200 || status >= 300)
            return false; // an error page is never written; the partial waits for the retry
        return startPartial();
    }

    bool continuePartial()
    {
        qint64 first = -1;
        qint64 total = -1;
        if (!parseContentRange(m_reply->rawHeader("Content-Range"), first, total) ||
            first != m_offset || total != m_expectedSize) {
            PartialFile::remove(m_target);
            fail(DownloadEnd::TransferFailed,
                 QStringLiteral("The server's range does not continue the partial file"));
            return false;
        }
        if (!openPartial(QIODevice::Append))
            return false;
        if (m_file.size() != m_offset) {
            PartialFile::remove(m_target);
            fail(DownloadEnd::TransferFailed, QStringLiteral("The partial file changed meanwhile"));
            return false;
        }
        return hashPartial();
    }

    // A whole body: the partial starts over, and the validator is kept first
    // so that a drop from here on can be resumed. One that announces another
    // size than the index's is not fetched at all.
    bool startPartial()
    {
        m_offset = 0;
        m_whole = true;
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() != m_expectedSize) {
            PartialFile::remove(m_target);
            fail(DownloadEnd::NotIndexed,
                 QStringLiteral("The server's file has %1 bytes, the index %2")
                     .arg(length.toLongLong())
                     .arg(m_expectedSize));
            return false;
        }
        QByteArray validator = m_reply->rawHeader("ETag");
        if (validator.isEmpty() || validator.startsWith("W/"))
            validator = m_reply->rawHeader("Last-Modified");
        // Removed rather than truncated: Windows refuses to truncate a hidden file.
        PartialFile::remove(m_target);
        if (!openPartial(QIODevice::WriteOnly))
            return false;
        if (!validator.isEmpty() && !writeInfo(m_target, {validator, m_expectedSize}))
            QFile::remove(PartialFile::infoPath(m_target));
        return true;
    }

    // What an earlier attempt wrote is hashed once, so the whole file's hash
    // is known when the rest has arrived.
    bool hashPartial()
    {
        QFile partial(m_file.fileName());
        if (m_expectedSha256.isEmpty() ||
            (partial.open(QIODevice::ReadOnly) && m_hash.addData(&partial)))
            return true;
        writeFailed(partial.errorString());
        return false;
    }

    bool openPartial(QIODevice::OpenMode mode)
    {
        // A link planted under the partial's name must not lead the body elsewhere.
        if (QFileInfo(m_file.fileName()).isSymLink())
            QFile::remove(m_file.fileName());
        if (m_file.open(mode | QIODevice::Unbuffered)) {
            Platform::hideFile(m_file.fileName());
            return true;
        }
        writeFailed(m_file.errorString());
        return false;
    }

    DownloadEnd commit(QString &reason)
    {
        if (!Platform::flushToDisk(m_file)) {
            writeFailed(qt_error_string());
            reason = m_failure;
            return DownloadEnd::WriteFailed;
        }
        m_file.close();
        const QByteArray sha256 = m_hash.hexResult();
        if (!m_expectedSha256.isEmpty() && sha256 != m_expectedSha256) {
            PartialFile::remove(m_target);
            reason = QStringLiteral("SHA-256 mismatch for %1: expected %2, got %3")
                         .arg(QFileInfo(m_target).fileName(), QString::fromLatin1(m_expectedSha256),
                              QString::fromLatin1(sha256));
            return DownloadEnd::NotIndexed;
        }
        return commitVerifiedPartial(m_target, reason) ? DownloadEnd::Saved
                                                       : DownloadEnd::NameTaken;
    }

    // A full volume is left as it was found: the partial goes, or it would
    // hold the space until its file comes.
    void writeFailed(const QString &error)
    {
        const QStorageInfo volume(QFileInfo(m_target).path());
        const bool full = volume.isValid() && volume.bytesAvailable() < chunkSize;
        m_file.close();
        if (full)
            PartialFile::remove(m_target);
        fail(DownloadEnd::WriteFailed,
             full ? QStringLiteral("No space left on the volume, the partial file is dropped: ") +
                        error
                  : error);
    }

    // Aborting ends the reply at once; its finished handler then asks for the reason.
    void fail(DownloadEnd end, const QString &reason)
    {
        m_failedAs = end;
        m_failure = reason;
        m_file.close();
        m_reply->abort();
    }

    QNetworkReply *m_reply;
    QString m_target;
    qint64 m_expectedSize;
    QByteArray m_expectedSha256;
    qint64 m_offset;
    qint64 m_written = 0; // by this reply
    Sha256 m_hash;
    QFile m_file;
    bool m_begun = false;
    bool m_whole = false; // the body is the file from its start
    QByteArray m_chunk;
    DownloadEnd m_failedAs = DownloadEnd::TransferFailed;
    QString m_failure;
};

} // namespace

namespace PartialFile {

QString dataPath(const QString &target)
{
    return sidecar(target, dataSuffix);
}

QString infoPath(const QString &target)
{
    return sidecar(target, infoSuffix);
}

void remove(const QString &target)
{
    QFile::remove(dataPath(target));
    QFile::remove(infoPath(target));
}

QString targetOf(const QString &partialPath)
{
    const qsizetype slash = partialPath.lastIndexOf(u'/');
    const QStringView name = QStringView(partialPath).sliced(slash + 1);
    if (!name.startsWith(u'.'))
        return QString();
    for (const QLatin1String suffix : {dataSuffix, infoSuffix}) {
        if (name.endsWith(suffix) && name.size() > suffix.size() + 1)
            return partialPath.left(slash + 1) +
                   name.sliced(1, name.size() - 1 - suffix.size()).toString();
    }
    return QString();
}

void removeUnwanted(const QString &folder, const QSet<QString> &wanted)
{
    const QStringList names =
        QDir(folder).entryList({QStringLiteral(".*.partial"), QStringLiteral(".*.partial-info")},
                               QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QString path = folder + u'/' + name;
        if (!wanted.contains(targetOf(path)))
            QFile::remove(path);
    }
}

} // namespace PartialFile

QNetworkReply *startFileDownload(QNetworkAccessManager *manager, QNetworkRequest request,
                                 const QString &target, qint64 expectedSize,
                                 const QByteArray &expectedSha256)
{
    QByteArray validator;
    const qint64 offset = resumableOffset(target, expectedSize, validator);
    if (offset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
        request.setRawHeader("If-Range", validator);
    } else {
        PartialFile::remove(target); // nothing that could be resumed
    }
    // A compressed body would not hold the file's byte offsets.
    request.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply *reply = manager->get(request);
    reply->setReadBufferSize(replyReadAhead);
    reply->setProperty("resumeOffset", offset);
    new PartialWriter(reply, target, expectedSize, expectedSha256, offset);
    return reply;
}

DownloadEnd finishFileDownload(QNetworkReply *reply, int &wholeBodies, QString &reason)
{
    auto *writer = reply->findChild<PartialWriter *>(QString(), Qt::FindDirectChildrenOnly);
    return writer->finish(wholeBodies, reason);
}

bool commitVerifiedPartial(const QString &target, QString &reason)
{
    if (!Platform::replaceFile(PartialFile::dataPath(target), target)) {
        reason = qt_error_string();
        return false;
    }
    QFile::remove(PartialFile::infoPath(target));
    return true;
}

qint64 resumedOffset(const QNetworkReply *reply)
{
    return statusOf(reply) == 206 ? reply->property("resumeOffset").toLongLong() : 0;
}

#include "filedownload.moc"
