#pragma once

#include <QByteArray>
#include <QString>

// The agent's fixed configuration. The program always runs with program();
// tests hand the worker a scratch root, a loopback server and short timings.
struct SyncConfig
{
    QString companyRoot;
    QString serverUrl;
    QString configIniPath;
    // Base64 of the Ed25519 key that signs the indexes; empty: they are unsigned.
    QByteArray indexPublicKey;
    int startDelayMs = 5000;
    int bootDelayMs = 60000;
    int photoIntervalMs = 60000;
    int videoIntervalMs = 1800000;
    int fileRetryMs = 3000;
    int indexRetryMs = 30000;
    // How long one application file may keep failing before the main
    // application starts without it.
    int appFileGraceMs = 300000;
    // Every request is aborted after this long without a byte moving either
    // way, and then fails and is retried like any network error. Without it a
    // server that accepts and never answers holds a one-at-a-time queue for
    // good; a slow transfer that still moves is never cut.
    int transferTimeoutMs = 300000;
    // What a download leaves free on its volume, at most 5 % of the volume,
    // so that the camera's next photo still has room.
    qint64 diskReserveBytes = qint64(512) << 20;

    static SyncConfig program();

    QString productFolder() const { return companyRoot + QStringLiteral("/Lumipost"); }
    QString lockFile() const { return companyRoot + QStringLiteral("/.lumipost-sync.lock"); }
};
