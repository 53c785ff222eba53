#include "UpdateEngine.h"

#include <QNetworkAccessManager>

UpdateEngine::UpdateEngine(QObject *parent) : QObject(parent), networkManager(new QNetworkAccessManager(this)) {}
UpdateEngine::~UpdateEngine() = default;
void UpdateEngine::setUpdateInfo(const QString &, const QString &, const QString &) {}
void UpdateEngine::setExpectedSha256(const QString &) {}
void UpdateEngine::cancelUpdate() {}
bool UpdateEngine::isRunning() const { return running; }
