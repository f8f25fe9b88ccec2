#pragma once

#include <QByteArray>
#include <QString>

// Writes a downloaded body beside its target and renames it over the target
// only when every byte is on disk, so a running program or a video player
// never sees a half-written file under the real name. Returns an empty string
// on success, otherwise the reason for the log line.
QString saveFileAtomically(const QString &path, const QByteArray &data);
