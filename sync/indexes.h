#pragma once

#include <QByteArray>
#include <QFileInfo>
#include <QList>
#include <QString>

#include <optional>

// The server's two indexes, read from the body bytes alone. Each returns
// nothing when the body is not a JSON array; an element that is not an object
// reads as an entry without keys.

struct AppIndexEntry
{
    QString relativePath; // one leading '/' already dropped
    qint64 size = 0;
    bool isDir = false;
    QByteArray sha256;            // empty: none, or not a SHA-256
    bool sha256Malformed = false; // a value was given but is no SHA-256
};

struct VideoIndexEntry
{
    QString type;
    QString fileName;
    qint64 size = 0;
    QByteArray sha256;
    bool sha256Malformed = false;
};

// "C:..." names a drive on Windows, so an index path or file name that starts
// with one would be written outside the agent's folders there.
inline bool startsWithDriveLetter(const QString &path)
{
    if (path.size() < 2 || path.at(1) != u':')
        return false;
    const char16_t letter = path.at(0).unicode();
    return (letter >= u'A' && letter <= u'Z') || (letter >= u'a' && letter <= u'z');
}

// A symbolic link, or on Windows a junction, which Qt does not count as a
// link: either could lead a write, a deletion or an upload out of the
// agent's folders.
inline bool isLink(const QFileInfo &info)
{
    return info.isSymLink() || info.isJunction();
}

std::optional<QList<AppIndexEntry>> parseAppIndex(const QByteArray &body);
std::optional<QList<VideoIndexEntry>> parseVideoIndex(const QByteArray &body);
