#pragma once

#include "syncworker.h"
#include "testserver.h"
#include "workerprobe.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <functional>
#include <memory>

inline const QByteArray appIndexTarget = "/sync_api.php?action=list_apps";
inline const QByteArray videoIndexPrefix = "/sync_api.php?action=list_videos&device_uuid=";
inline const QByteArray uploadTarget = "/sync_api.php?action=upload";
inline const QByteArray appRoute = "/Lumipost/Application/";
inline const QByteArray publicRoute = "/Lumipost/ADS/Public/";
inline const QByteArray privateRoute = "/Lumipost/ADS/Private/kiosk-07/";
inline const QString completedLine = "### One-Time Application Sync Completed Successfully! ###";
inline const QString startedLine = "Main Application started successfully.";
inline const QString videoDoneLine = "=== Video Ads Sync Cycle Finished Successfully ===";
inline const QString videoSyncedLine = "All videos (Public & Private) are completely synchronized.";

QByteArray sha256(const QByteArray &bytes);
QByteArray bytesOf(const QString &name, int size); // distinct bytes per name, so a mix-up shows
bool acceptsPhoto(const TestResponse &response, const QByteArray &photo, bool receiptsSeen = false);
// Signs an index answer as the server's README lays it out, with a test key.
void signIndex(TestResponse &response, const QByteArray &route, const QByteArray &device,
               qint64 counter);

// A kiosk in a temporary folder (company root "KESTOVA", device "kiosk-07")
// and a loopback server that plays the sync server: the two indexes at their
// URLs, files with validators and ranges, uploads with a receipt. A wrong URL
// meets a 404, or no answer. `fault` may spoil any answer.
struct Rig
{
    Rig();
    ~Rig();
    void start(const std::function<void(SyncConfig &)> &adjust = nullptr);
    TestResponse answer(const RecordedRequest &r);
    TestResponse ranged(const RecordedRequest &r, const QByteArray &bytes) const;
    QByteArray echoed(const RecordedRequest &r) const;
    QString installProgram(); // a script the launch can start, without its execute bit
    QStringList lines() const;
    bool logged(const QString &prefix) const { return loggedInOrder({prefix}); }
    bool loggedInOrder(const QStringList &prefixes) const;
    QList<QByteArray> fetched() const; // file targets, in order

    QTemporaryDir tmp;
    QString root = tmp.path() + "/KESTOVA";
    QString product = root + "/Lumipost";
    QString camera = root + "/kiosk-07/Camera";
    QString program;
    TestServer server;
    QByteArray appIndex;                   // null: the request is never answered
    QByteArray videoIndex;                 // null: the request is never answered
    QHash<QByteArray, QByteArray> content; // request path -> file bytes
    bool echo = false; // any other file holds its own request target, sized as indexed
    bool honourRange = true;
    bool signIndexes = false; // the agent then takes signed indexes only
    qint64 indexCounter = 100;
    std::function<void(TestResponse &, const RecordedRequest &)> fault;
    QSet<QByteArray> accepted; // photo bodies answered with a whole 2xx that names them
    bool receiptsSeen = false;
    std::function<void(SyncConfig &)> adjust;
    std::unique_ptr<SyncWorker> worker;
    std::unique_ptr<QSignalSpy> logs;
    std::unique_ptr<QSignalSpy> progress;
};
