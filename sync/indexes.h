#pragma once

#include <QByteArray>
#include <QFileInfo>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <algorithm>
#include <optional>

// The server's two indexes, read from the body bytes alone. Each returns
// nothing when the body is not a JSON array; an element that is not an object
// reads as an entry without keys.

struct AppIndexEntry
{
    QString relativePath; // one leading '/' already dropped
    qint64 size = 0;      // -1: unreadable, see readIndexSize
    bool isDir = false;
    QByteArray sha256;            // empty: none, or not a SHA-256
    bool sha256Malformed = false; // a value was given but is no SHA-256
};

struct VideoIndexEntry
{
    QString type;
    QString fileName;
    qint64 size = 0; // -1: unreadable, see readIndexSize
    QByteArray sha256;
    bool sha256Malformed = false;
};

// Made of Qt's implicitly shared types only, so a list of 100,000 grows by
// moving its block rather than each entry.
Q_DECLARE_TYPEINFO(AppIndexEntry, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(VideoIndexEntry, Q_RELOCATABLE_TYPE);

// "C:..." names a drive on Windows, so an index path or file name that starts
// with one would be written outside the agent's folders there.
inline bool startsWithDriveLetter(const QString &path)
{
    if (path.size() < 2 || path.at(1) != u':')
        return false;
    const char16_t letter = path.at(0).unicode();
    return (letter >= u'A' && letter <= u'Z') || (letter >= u'a' && letter <= u'z');
}

// A size in bytes as both indexes give it: a non-negative whole number, or a
// string of digits. A missing size reads as 0; anything else gives -1, and the
// entry is skipped, since a size read as 0 would be fetched at every pass.
inline qint64 readIndexSize(const QJsonValue &value)
{
    if (value.isUndefined())
        return 0;
    if (value.isDouble())
        return std::max<qint64>(value.toInteger(-1), -1);
    const QString text = value.toString();
    bool ok = false;
    const qint64 size = text.toLongLong(&ok);
    const bool digits =
        std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    return value.isString() && ok && digits ? size : -1;
}

// A line break in a name would break the agent's hash record of the folder,
// and any control character in a log line or a file name is a fault.
inline bool hasControlCharacter(const QString &name)
{
    return std::any_of(name.cbegin(), name.cend(),
                       [](QChar c) { return c.category() == QChar::Other_Control; });
}

// The name as a log line can show it.
inline QString printable(QString name)
{
    std::replace_if(
        name.begin(), name.end(), [](QChar c) { return c.category() == QChar::Other_Control; },
        QChar(QChar::ReplacementCharacter));
    return name;
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
