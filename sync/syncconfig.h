#pragma once

#include <QString>

// The agent's fixed configuration. The program always runs with program();
// tests hand the worker a scratch root, a loopback server and short timings.
struct SyncConfig
{
    QString companyRoot;
    QString serverUrl;
    QString configIniPath;
    int startDelayMs = 5000;
    int bootDelayMs = 60000;
    int photoIntervalMs = 60000;
    int videoIntervalMs = 1800000;
    int fileRetryMs = 3000;
    int indexRetryMs = 30000;

    static SyncConfig program();

    QString productFolder() const { return companyRoot + QStringLiteral("/Lumipost"); }
};
