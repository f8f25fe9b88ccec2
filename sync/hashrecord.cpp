#include "hashrecord.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

const QLatin1String recordName("/.lumipost-hashes");

} // namespace

QByteArray sha256OfFile(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result().toHex();
}

namespace {

qint64 modifiedMs(const QFileInfo &file)
{
    return file.lastModified().toMSecsSinceEpoch();
}

} // namespace

QByteArray normalizedSha256(const QString &value)
{
    if (value.size() != 64)
        return QByteArray();
    for (const QChar c : value) {
        const char16_t u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return QByteArray();
    }
    return value.toLatin1().toLower();
}

// One line a file: size, modification time in ms, hash, name (which may hold
// spaces, so it comes last). A line that does not read so ends the record.
FolderHashes::FolderHashes(const QString &folder) : m_path(folder + recordName)
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().chopped(1);
        const QList<QByteArray> fields = line.split(' ');
        bool sizeOk = false;
        bool timeOk = false;
        Known known{fields.value(0).toLongLong(&sizeOk), fields.value(1).toLongLong(&timeOk),
                    normalizedSha256(QString::fromLatin1(fields.value(2)))};
        if (fields.size() < 4 || !sizeOk || !timeOk || known.sha256.isEmpty()) {
            m_known.clear();
            m_changed = true; // rebuilt from the files themselves
            return;
        }
        m_known.insert(QString::fromUtf8(line.mid(fields[0].size() + fields[1].size() + 67)),
                       known);
    }
}

QByteArray FolderHashes::hashOf(const QFileInfo &file)
{
    const Known known = m_known.value(file.fileName());
    if (known.size == file.size() && known.modifiedMs == modifiedMs(file)) {
        m_seen.insert(file.fileName(), known);
        return known.sha256;
    }
    const QByteArray sha256 = sha256OfFile(file.filePath());
    if (!sha256.isEmpty())
        remember(file, sha256);
    return sha256;
}

void FolderHashes::remember(const QFileInfo &file, const QByteArray &sha256)
{
    const Known known{file.size(), modifiedMs(file), sha256};
    m_known.insert(file.fileName(), known);
    m_seen.insert(file.fileName(), known);
    m_changed = true;
}

void FolderHashes::save(bool keepOnlySeen)
{
    if (!m_changed && !(keepOnlySeen && m_seen.size() < m_known.size()))
        return;
    const QHash<QString, Known> &kept = keepOnlySeen ? m_seen : m_known;
    QByteArray text;
    for (auto it = kept.cbegin(); it != kept.cend(); ++it) {
        text += QByteArray::number(it->size) + ' ' + QByteArray::number(it->modifiedMs) + ' ' +
                it->sha256 + ' ' + it.key().toUtf8() + '\n';
    }
    QSaveFile record(m_path);
    if (record.open(QIODevice::WriteOnly) && record.write(text) == text.size() && record.commit())
        m_changed = false;
}

FolderHashes &HashRecords::of(const QString &folder)
{
    auto it = m_folders.find(folder);
    if (it == m_folders.end())
        it = m_folders.insert(folder, FolderHashes(folder));
    return *it;
}

void HashRecords::saveAll()
{
    for (FolderHashes &folder : m_folders)
        folder.save(true);
    m_folders.clear();
}

bool isUpToDate(const QString &path, qint64 size, const QByteArray &sha256, HashRecords &records)
{
    const QFileInfo info(path);
    if (info.size() != size || !info.isFile())
        return false;
    return sha256.isEmpty() || records.of(info.path()).hashOf(info) == sha256;
}

void rememberHash(const QString &path, const QByteArray &sha256)
{
    if (sha256.isEmpty())
        return;
    const QFileInfo info(path);
    FolderHashes record(info.path());
    record.remember(info, sha256);
    record.save(false);
}
