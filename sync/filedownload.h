#pragma once

#include <QNetworkRequest>
#include <QSet>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// An unfinished download waits beside its target under hidden names, which
// the server never serves (it refuses hidden names): the mirror's and the
// media folders' passes never list them, and no kiosk program sees a
// half-written file. The info file keeps what a later attempt, or a later run
// after a kill, needs to resume: the server's validator and the expected size.
namespace PartialFile {
QString dataPath(const QString &target); // "<folder>/.<name>.partial"
QString infoPath(const QString &target); // "<folder>/.<name>.partial-info"
void remove(const QString &target);
// Removes the partial files in `folder` whose target is not in `wanted`
// (absolute paths): no longer listed, or already complete.
void removeUnwanted(const QString &folder, const QSet<QString> &wanted);
// The target a partial file belongs to, or an empty string for any other path.
QString targetOf(const QString &partialPath);
} // namespace PartialFile

enum class DownloadEnd {
    Saved,
    TransferFailed, // tried again later, resuming what arrived
    WriteFailed,    // likewise
    Incomplete,     // a short part of the file: the rest is asked for at once
    NotIndexed,     // not the file the index lists (changed or gone since): no more
                    // tries until the index has been read again
    NameTaken,      // verified, but the rename failed: the partial waits beside its target
};

// Sends the GET and writes the body into the partial file as it arrives, so
// memory stays flat whatever the size. A partial left by an earlier attempt
// is resumed with a Range request that only holds while the server's
// validator is unchanged (If-Range). With an expected SHA-256 the bytes are
// hashed as they are written, and a file that does not match is never committed.
QNetworkReply *startFileDownload(QNetworkAccessManager *manager, QNetworkRequest request,
                                 const QString &target, qint64 expectedSize,
                                 const QByteArray &expectedSha256);

// For the reply's finished handler: renames the partial over the target once
// the whole body is on disk, or says why not in `reason`. The target keeps
// its old bytes until that rename. `wholeBodies` counts the attempts of one
// index read that fetched the file from its start: a second one that does
// not bring it ends as NotIndexed, so no file is fetched whole for ever.
DownloadEnd finishFileDownload(QNetworkReply *reply, int &wholeBodies, QString &reason);

// Renames a complete, verified partial over its target; on failure it stays
// for the next try and `reason` says why.
bool commitVerifiedPartial(const QString &target, QString &reason);

// How far into the file a reply's body starts, for progress over the whole file.
qint64 resumedOffset(const QNetworkReply *reply);
