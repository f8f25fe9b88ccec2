#pragma once

#include "syncconfig.h"

#include <QCommandLineParser>
#include <QJsonObject>
#include <QString>

// The device folder that every benchmark's company root holds.
inline const QString benchDevice = QStringLiteral("KIOSK-01");

// One measurement, printed as a JSON line on stdout for run.sh to collect.
void printSample(const QCommandLineParser &args, QJsonObject sample);
[[noreturn]] void fail(const QString &reason);
SyncConfig benchConfig(const QCommandLineParser &args, const QString &companyRoot,
                       const QString &serverUrl);

namespace Measure {
qint64 rssKib();
qint64 peakRssKib();
double cpuSeconds();
int openDescriptors();
qint64 heapInUseBytes();
} // namespace Measure

// Data sets
int makeReconcileSet(const QCommandLineParser &args);
int makeFiles(const QCommandLineParser &args);
// Measurements
int runReconcile(const QCommandLineParser &args);
int runWalk(const QCommandLineParser &args);
int runDownload(const QCommandLineParser &args);
int runUpload(const QCommandLineParser &args);
int runIdle(const QCommandLineParser &args);
int runCommand(const QCommandLineParser &args);
int runSoak(const QCommandLineParser &args);
// Table and JSON from the collected samples
int writeReport(const QCommandLineParser &args);
