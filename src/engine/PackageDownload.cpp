#include "UpdateEngine.h"
void UpdateEngine::startDownload() {}
void UpdateEngine::onDownloadProgress(qint64, qint64) {}
void UpdateEngine::onDownloadFinished() {}
void UpdateEngine::onDownloadError(QNetworkReply::NetworkError) {}
