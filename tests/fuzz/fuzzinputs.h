#pragma once

#include "indexes.h"
#include "serverapi.h"

#include <QByteArray>

// What a flow does with an index body before it touches the disk: read it,
// check each name for a drive and build the URL the entry would be fetched
// from. The fuzz targets and the corpus replay share this, so the replay in
// the sanitizer build runs exactly what was fuzzed.
inline void readIndexInput(const QByteArray &body, bool app)
{
    const QString base = QStringLiteral("http://127.0.0.1:8080");
    for (const AppIndexEntry &entry :
         app ? parseAppIndex(body).value_or(QList<AppIndexEntry>()) : QList<AppIndexEntry>()) {
        if (!entry.isDir && !startsWithDriveLetter(entry.relativePath))
            ServerApi::appFileUrl(base, entry.relativePath).toString(QUrl::FullyEncoded);
    }
    for (const VideoIndexEntry &entry :
         app ? QList<VideoIndexEntry>()
             : parseVideoIndex(body).value_or(QList<VideoIndexEntry>())) {
        if (startsWithDriveLetter(entry.fileName))
            continue;
        const QUrl url =
            entry.type == QLatin1String("private")
                ? ServerApi::privateVideoUrl(base, QStringLiteral("kiosk-07"), entry.fileName)
                : ServerApi::publicVideoUrl(base, entry.fileName);
        url.toString(QUrl::FullyEncoded);
    }
}
