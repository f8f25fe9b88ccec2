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

namespace {

QByteArray readRecord(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QByteArray();
    QByteArray text(file.size(), Qt::Uninitialized);
    text.resize(std::max<qint64>(0, file.read(text.data(), text.size())));
    return text;
}

} // namespace

// One line a file: size, modification time in ms, hash, name (which may hold
// spaces, so it comes last). A record with a line that does not read so is
// rebuilt from the files themselves.
FolderHashes::FolderHashes(const QString &folder)
    : m_folder(folder), m_text(readRecord(m_folder + u'/' + hashRecordName))
{
    m_changed = !readLines();
    m_lineCount = m_lines.size();
}

// Lines are views into m_text; a line that does not read as one empties both.
bool FolderHashes::readLines()
{
    m_lines.clear();
    for (qsizetype at = 0; at < m_text.size();) {
        const qsizetype newline = m_text.indexOf('\n', at);
        const QByteArrayView line =
            QByteArrayView(m_text).sliced(at, (newline < 0 ? m_text.size() : newline) - at);
        at += line.size() + 1;
        const qsizetype afterSize = line.indexOf(' ');
        const qsizetype afterTime = line.indexOf(' ', afterSize + 1);
        const bool shaped = afterSize > 0 && afterTime > afterSize && line.size() > afterTime + 66;
        bool sizeOk = false;
        bool timeOk = false;
        if (shaped)
            m_lines.append(
                {line.first(afterSize).toLongLong(&sizeOk),
                 line.sliced(afterSize + 1, afterTime - afterSize - 1).toLongLong(&timeOk),
                 line.sliced(afterTime + 1, 64), line.sliced(afterTime + 66)});
        if (!shaped || !sizeOk || !timeOk || !isSha256(m_lines.constLast().sha256)) {
            m_text.clear();
            m_lines.clear();
            return false;
        }
    }
    return true;
}

void FolderHashes::release()
{
    if (m_spilled || m_text.isEmpty() || m_seen < m_lineCount)
        return;
    m_releasedHash = qHash(m_text);
    m_text = QByteArray();
    m_lines = QList<Line>();
    m_released = true;
}

// A released record asked about again is read again; if it is no longer the
// one read before, the pass starts it afresh.
void FolderHashes::readAgain()
{
    if (!std::exchange(m_released, false))
        return;
    m_text = readRecord(m_folder + u'/' + hashRecordName);
    if (readLines() && qHash(m_text) == m_releasedHash && m_lines.size() == m_lineCount) {
        for (Line &line : m_lines)
            line.asked = true; // as every line was when it was let go
        return;
    }
    m_text.clear();
    m_lines.clear();
    m_lineCount = 0;
    m_nextLine = 0;
    m_seen = 0;
    m_changed = true;
}

// The line of `name` from where the last one was found on, past the lines
// of files the pass did not ask about (those of another size, say).
const FolderHashes::Line *FolderHashes::nextInOrder(QStringView name)
{
    for (qsizetype index = m_nextLine; index < m_lines.size(); ++index) {
        Line &line = m_lines[index];
        if (QAnyStringView::equal(name, QUtf8StringView(line.name))) {
            m_nextLine = index + 1;
            m_seen += !std::exchange(line.asked, true);
            return &line;
        }
    }
    return nullptr;
}

void FolderHashes::spill()
{
    m_spilled = true;
    m_lastLine = m_nextLine - 1;
    for (const Line &line : std::as_const(m_lines))
        m_known.insert(
            QString::fromUtf8(line.name),
            {line.size, line.modifiedMs, line.sha256.toByteArray(), m_rank++, line.asked});
    m_seen = std::count_if(m_known.cbegin(), m_known.cend(),
                           [](const Known &known) { return known.seen; });
    m_text.clear();
    m_lines.clear();
}

FolderHashes::Known &FolderHashes::see(const QString &name)
{
    Known &known = m_known[name];
    if (!std::exchange(known.seen, true)) {
        ++m_seen;
        known.rank = m_rank++;
    }
    return known;
}

bool FolderHashes::hasHash(QStringView name, const FileStatus &status, QByteArrayView sha256)
{
    if (!m_spilled) {
        readAgain();
        const Line *line = nextInOrder(name);
        if (line && line->size == status.size && line->modifiedMs == status.modifiedMs)
            return line->sha256 == sha256;
        spill();
    }
    const QString key = name.toString();
    const auto known = m_known.constFind(key);
    if (known != m_known.cend() && known->size == status.size &&
        known->modifiedMs == status.modifiedMs) {
        // Lines asked about out of the record's order: it is written again,
        // in this pass's order.
        if (!known->seen && known->rank < m_lastLine)
            m_changed = true;
        else if (!known->seen)
            m_lastLine = known->rank;
        return see(key).sha256 == sha256;
    }
    const QByteArray hashed = sha256OfFile(m_folder + u'/' + key);
    if (!hashed.isEmpty())
        remember(key, status, hashed);
    return !hashed.isEmpty() && hashed == sha256;
}

void FolderHashes::remember(const QString &name, const FileStatus &status, const QByteArray &sha256)
{
    if (!m_spilled) {
        readAgain();
        spill();
    }
    Known &known = see(name);
    known.size = status.size;
    known.modifiedMs = status.modifiedMs;
    known.sha256 = sha256;
    m_changed = true;
}

void FolderHashes::save(bool keepOnlySeen)
{
    if (!m_spilled && keepOnlySeen && m_seen < m_lineCount)
        spill();
    if (!m_changed && !(keepOnlySeen && m_seen < m_known.size()))
        return;
    QList<QHash<QString, Known>::const_iterator> kept;
    for (auto it = m_known.cbegin(); it != m_known.cend(); ++it) {
        if (!keepOnlySeen || it->seen)
            kept.append(it);
    }
    std::sort(kept.begin(), kept.end(), [](auto a, auto b) { return a->rank < b->rank; });
    QByteArray text;
    for (const auto &it : std::as_const(kept))
        text += QByteArray::number(it->size) + ' ' + QByteArray::number(it->modifiedMs) + ' ' +
                it->sha256 + ' ' + it.key().toUtf8() + '\n';
    QSaveFile record(m_folder + u'/' + hashRecordName);
    if (record.open(QIODevice::WriteOnly) && record.write(text) == text.size() && record.commit()) {
        m_changed = false;
        Platform::hideFile(record.fileName()); // the commit put a new file in its place
    }
}

FolderHashes &HashRecords::of(QStringView folder)
{
    if (m_last && folder == m_lastFolder)
        return *m_last;
    if (m_last)
        m_last->release();
    const QString key = folder.toString();
    auto it = m_folders.find(key);
    if (it == m_folders.end())
        it = m_folders.emplace(key, key);
    m_last = &*it;
    m_lastFolder = key;
    return *it;
}

void HashRecords::saveAll(bool keepOnlySeen)
{
    for (FolderHashes &folder : m_folders)
        folder.save(keepOnlySeen);
    m_folders.clear();
    m_last = nullptr;
    m_statuses.close();
}

void HashRecords::remember(const QString &path, const QByteArray &sha256)
{
    if (sha256.isEmpty())
        return;
    const qsizetype slash = path.lastIndexOf(u'/');
    of(QStringView(path).first(slash)).remember(path.mid(slash + 1), statusOf(path), sha256);
}

bool isUpToDate(const QString &path, qint64 size, const QByteArray &sha256, HashRecords &records)
{
    const FileStatus status = records.statusOf(path);
    if (!status.isFile || status.size != size)
        return false;
    if (sha256.isEmpty())
        return true;
    const qsizetype slash = path.lastIndexOf(u'/');
    return records.of(QStringView(path).first(slash))
        .hasHash(QStringView(path).sliced(slash + 1), status, sha256);
}
