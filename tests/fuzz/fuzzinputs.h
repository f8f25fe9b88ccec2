#pragma once

#include "indexes.h"
#include "serverapi.h"

#include <QByteArray>

// What a flow does with an index body before it touches the disk: read it,
// check each name for a drive and build the URL the entry would be fetched
// from. The fuzz targets and the corpus replay share these, so the replay in
// the sanitizer build runs exactly what was fuzzed.

inline const QString fuzzBaseUrl = QStringLiteral("http://127.0.0.1:8080");
inline const QString fuzzDevice = QStringLiteral("kiosk-07");

inline void readAppIndexInput(const QByteArray &body)
{
    const std::optional<QList<AppIndexEntry>> entries = parseAppIndex(body);
    if (!entries)
        return;
    for (const AppIndexEntry &entry : *entries) {
        if (entry.isDir || startsWithDriveLetter(entry.relativePath))
            continue;
        ServerApi::appFileUrl(fuzzBaseUrl, entry.relativePath).toString(QUrl::FullyEncoded);
    }
}

inline void readVideoIndexInput(const QByteArray &body)
{
    const std::optional<QList<VideoIndexEntry>> entries = parseVideoIndex(body);
    if (!entries)
        return;
    for (const VideoIndexEntry &entry : *entries) {
        if (startsWithDriveLetter(entry.fileName))
            continue;
        const QUrl url = entry.type == QLatin1String("private")
                             ? ServerApi::privateVideoUrl(fuzzBaseUrl, fuzzDevice, entry.fileName)
                             : ServerApi::publicVideoUrl(fuzzBaseUrl, entry.fileName);
        url.toString(QUrl::FullyEncoded);
    }
}
