#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

// What the agent knows of the files in one folder: the SHA-256 of each, with
// the size and modification time it had when it was hashed. While both are
// unchanged the hash is trusted, so a start with every file up to date reads
// no file's bytes. The record is a hidden file in the folder it describes
// (which the server never serves and the mirror never lists), replaced
// atomically; one that cannot be read is rebuilt, never trusted.
// One stat's worth of what the record compares.
struct FileStatus
{
    bool isFile = false;
    qint64 size = -1;
    qint64 modifiedMs = 0;
};
FileStatus statusOf(const QString &path);

// Stats the files of a pass, which come folder by folder: on Unix by name in
// the folder kept open, which spares the system a walk of the whole path for
// each file.
class FileStatuses
{
public:
    FileStatuses() = default;
    FileStatuses(const FileStatuses &) = delete;
    FileStatuses &operator=(const FileStatuses &) = delete;
    ~FileStatuses() { close(); }

    FileStatus of(const QString &path);
    void close();

private:
    QString m_folder;
    int m_handle = -1;
};

class FolderHashes
{
public:
    explicit FolderHashes(const QString &folder);

    // Whether the file's SHA-256 is `sha256` (lowercase hex): the record's
    // while the file is unchanged, otherwise the file's own, hashed anew.
    bool hasHash(QStringView name, const FileStatus &status, QByteArrayView sha256);
    void remember(const QString &name, const FileStatus &status, const QByteArray &sha256);
    // Writes the record if it changed. A pass that asked about every listed
    // file keeps only those, so files no longer listed drop out.
    void save(bool keepOnlySeen);
    // Frees the text of a record whose every line was asked about: the pass
    // has most likely moved on to another folder for good.
    void release();

private:
    struct Line
    {
        qint64 size = -1;
        qint64 modifiedMs = 0;
        QByteArrayView sha256;
        QByteArrayView name;
        bool asked = false;
    };
    struct Known
    {
        qint64 size = -1;
        qint64 modifiedMs = 0;
        QByteArray sha256;
        qsizetype rank = 0; // where it goes when the record is written
        bool seen = false;
    };
    bool readLines();
    void readAgain();
    const Line *nextInOrder(QStringView name);
    void spill();
    Known &see(const QString &name);

    QString m_folder;
    // The record as read. A pass asks about a folder's files in the order it
    // saved them, so while it does, each answer is the next line, read in
    // place; anything else spills the record into m_known.
    QByteArray m_text;
    QList<Line> m_lines; // views into m_text
    qsizetype m_lineCount = 0;
    qsizetype m_nextLine = 0;
    qsizetype m_lastLine = -1; // the last line asked about, once spilled
    size_t m_releasedHash = 0;
    bool m_released = false;
    bool m_spilled = false;
    QHash<QString, Known> m_known;
    qsizetype m_seen = 0;
    qsizetype m_rank = 0;
    bool m_changed = false;
};

// The records of several folders, each loaded once, and the status of their
// files. A pass that asked about every listed file saves them with only those
// files; downloads add theirs.
class HashRecords
{
public:
    FolderHashes &of(QStringView folder);
    void saveAll(bool keepOnlySeen);
    FileStatus statusOf(const QString &path) { return m_statuses.of(path); }
    // Notes the hash of a file just written, so that the next pass need not
    // read it; saved with the others, not file by file.
    void remember(const QString &path, const QByteArray &sha256);

private:
    QHash<QString, FolderHashes> m_folders;
    // A pass asks about one folder's files one after another.
    FolderHashes *m_last = nullptr;
    QString m_lastFolder;
    FileStatuses m_statuses;
};

// The record's file name in each folder. Passes over a folder leave it out by
// name: on Windows a leading dot hides nothing.
extern const QLatin1String hashRecordName;

// Lowercase hex; empty when the file cannot be read.
QByteArray sha256OfFile(const QString &path);

// A SHA-256 as the indexes give it: 64 hexadecimal characters, in lowercase.
// Anything else gives an empty value, which means "no hash".
QByteArray normalizedSha256(const QString &value);
QByteArray normalizedSha256(QByteArrayView hex);

// Whether the file at `path` is the one the index lists. Size first, from one
// stat and no read; then, where the index gives a hash, the record's or the
// file's own.
bool isUpToDate(const QString &path, qint64 size, const QByteArray &sha256, HashRecords &records);
