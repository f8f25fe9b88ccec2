#pragma once

#include <QByteArray>
#include <QHash>
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

class FolderHashes
{
public:
    explicit FolderHashes(const QString &folder);

    // Lowercase hex; read from the record while the file is unchanged,
    // otherwise hashed anew. Empty when the file cannot be read.
    QByteArray hashOf(const QString &name, const FileStatus &status);
    void remember(const QString &name, const FileStatus &status, const QByteArray &sha256);
    // Writes the record if it changed. A pass that asked about every listed
    // file keeps only those, so files no longer listed drop out.
    void save(bool keepOnlySeen);

private:
    struct Known
    {
        qint64 size = -1;
        qint64 modifiedMs = 0;
        QByteArray sha256;
        bool seen = false;
    };
    QString m_folder;
    QHash<QString, Known> m_known;
    qsizetype m_seen = 0;
    bool m_changed = false;
};

// The records of several folders, each loaded once. A pass that asked about
// every listed file saves them with only those files; downloads add theirs.
class HashRecords
{
public:
    FolderHashes &of(const QString &folder);
    void saveAll(bool keepOnlySeen);
    // Notes the hash of a file just written, so that the next pass need not
    // read it; saved with the others, not file by file.
    void remember(const QString &path, const QByteArray &sha256);

private:
    QHash<QString, FolderHashes> m_folders;
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
