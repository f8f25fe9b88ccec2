#include "syncworker.h"

void SyncWorker::handleSyncTimeout() {}
void SyncWorker::uploadPendingPhotos() {}
void SyncWorker::onUploadFinished(QNetworkReply *) {}
void SyncWorker::removeEmptyDirectories(const QString &) {}
