#include "hashrecord.h"

#include "crypto.h"
#include "platform.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <utility>

const QLatin1String hashRecordName(".lumipost-hashes");

QByteArray sha256OfFile(const QString &path)
{
    QFile file(path);
    Sha256 hash;
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.hexResult();
}

namespace {

bool isSha256(QByteArrayView hex)
{
    return hex.size() == 64 && std::all_of(hex.begin(), hex.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

} // namespace

QByteArray normalizedSha256(QByteArrayView hex)
{
    if (!isSha256(hex))
        return QByteArray();
    QByteArray lower(hex.size(), Qt::Uninitialized);
    std::transform(hex.begin(), hex.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? char(c - 'A' + 'a') : c; });
    return lower;
}

QByteArray normalizedSha256(const QString &value)
{
    return value.size() == 64 ? normalizedSha256(QByteArrayView(value.toLatin1())) : QByteArray();
}

// One line a file: size, modification time in ms, hash, name (which may hold
// spaces, so it comes last). A line that does not read so ends the record.
FolderHashes::FolderHashes(const QString &folder) : m_folder(folder)
{
    QFile file(m_folder + u'/' + hashRecordName);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray text = file.readAll();
    for (qsizetype at = 0; at < text.size();) {
        qsizetype end = text.indexOf('\n', at);
        end = end < 0 ? text.size() : end;
        const QByteArrayView line(text.constData() + at, end - at);
        at = end + 1;
        const qsizetype afterSize = line.indexOf(' ');
        const qsizetype afterTime = line.indexOf(' ', afterSize + 1);
        bool sizeOk = false;
        bool timeOk = false;
        const bool shaped = afterSize > 0 && afterTime > afterSize && line.size() > afterTime + 66;
        const Known known =
            shaped
                ? Known{line.first(afterSize).toLongLong(&sizeOk),
                        line.sliced(afterSize + 1, afterTime - afterSize - 1).toLongLong(&timeOk),
                        line.sliced(afterTime + 1, 64).toByteArray()}
                : Known{};
        if (!shaped || !sizeOk || !timeOk || !isSha256(known.sha256)) {
            m_known.clear();
            m_changed = true; // rebuilt from the files themselves
            return;
        }
        m_known.insert(QString::fromUtf8(line.sliced(afterTime + 66)), known);
    }
}

QByteArray FolderHashes::hashOf(const QString &name, const FileStatus &status)
{
    const auto known = m_known.find(name);
    if (known != m_known.end() && known->size == status.size &&
        known->modifiedMs == status.modifiedMs) {
        m_seen += !std::exchange(known->seen, true);
        return known->sha256;
    }
    const QByteArray sha256 = sha256OfFile(m_folder + u'/' + name);
    if (!sha256.isEmpty())
        remember(name, status, sha256);
    return sha256;
}

void FolderHashes::remember(const QString &name, const FileStatus &status, const QByteArray &sha256)
{
    Known &known = m_known[name];
    m_seen += !known.seen;
    known = {status.size, status.modifiedMs, sha256, true};
    m_changed = true;
}

void FolderHashes::save(bool keepOnlySeen)
{
    if (!m_changed && !(keepOnlySeen && m_seen < m_known.size()))
        return;
    QByteArray text;
    for (auto it = m_known.cbegin(); it != m_known.cend(); ++it) {
        if (keepOnlySeen && !it->seen)
            continue;
        text += QByteArray::number(it->size) + ' ' + QByteArray::number(it->modifiedMs) + ' ' +
                it->sha256 + ' ' + it.key().toUtf8() + '\n';
    }
    QSaveFile record(m_folder + u'/' + hashRecordName);
    if (record.open(QIODevice::WriteOnly) && record.write(text) == text.size() && record.commit()) {
        m_changed = false;
        Platform::hideFile(record.fileName()); // the commit put a new file in its place
    }
}

FolderHashes &HashRecords::of(const QString &folder)
{
    auto it = m_folders.find(folder);
    if (it == m_folders.end())
        it = m_folders.insert(folder, FolderHashes(folder));
    return *it;
}

void HashRecords::saveAll(bool keepOnlySeen)
{
    for (FolderHashes &folder : m_folders)
        folder.save(keepOnlySeen);
    m_folders.clear();
}

void HashRecords::remember(const QString &path, const QByteArray &sha256)
{
    if (sha256.isEmpty())
        return;
    const qsizetype slash = path.lastIndexOf(u'/');
    of(path.left(slash)).remember(path.mid(slash + 1), statusOf(path), sha256);
}

bool isUpToDate(const QString &path, qint64 size, const QByteArray &sha256, HashRecords &records)
{
    const FileStatus status = statusOf(path);
    if (!status.isFile || status.size != size)
        return false;
    if (sha256.isEmpty())
        return true;
    const qsizetype slash = path.lastIndexOf(u'/');
    return records.of(path.left(slash)).hashOf(path.mid(slash + 1), status) == sha256;
}
