#include "UpdateEngine.h"

#include "Platform.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QNetworkAccessManager>
#include <QStorageInfo>
#include <QThread>

using namespace engine;

namespace {

// The installation has no cancellation points, so quit() does not shorten it. A thread
// still running after the grace period is waited for rather than destroyed: the folders
// it works in must outlive it.
void waitUntilEnded(QThread &thread)
{
    thread.quit();
    if (thread.wait(CancelWaitMs))
        return;
    qWarning() << "安装仍在进行，等待其结束后再清理";
    thread.wait();
}

// Two updaters started within the same second must not share a work folder: the later one adds a number.
QString createOwnWorkFolder(const QString &base)
{
    QDir().mkpath(QFileInfo(base).absolutePath());
    QString folder = base;
    for (int number = 2; !QDir().mkdir(folder) && QFileInfo(folder).isDir(); ++number)
        folder = base + QLatin1Char('_') + QString::number(number);
    return folder;
}

} // namespace

UpdateEngine::UpdateEngine(QObject *parent)
    : QObject(parent), networkManager(new QNetworkAccessManager(this)),
      availableBytes([](const QString &folder) { return QStorageInfo(folder).bytesAvailable(); })
{
}

UpdateEngine::~UpdateEngine() = default;

void UpdateEngine::setUpdateInfo(const QString &appPath, const QString &newVersion,
                                 const QString &downloadUrl)
{
    this->appPath = appPath;
    this->newVersion = newVersion;
    this->downloadUrl = downloadUrl;
    appDir = QFileInfo(appPath).absolutePath();
    configPath = appDir + QLatin1Char('/') + ConfigFileName;

    // A folder given as the program would make its parent the program folder: the
    // backup and the extraction would then cover far more than the product.
    if (!QFileInfo(appPath).isFile()) {
        qCritical().noquote() << "错误：程序文件不存在:" << appPath;
        emit errorOccurred(ErrorProgramMissing);
        return;
    }
    tempDir = createOwnWorkFolder(QString::fromStdString(platform::programDataRoot()) + QLatin1Char('/') +
                                  WorkFolderPrefix + QString::number(QDateTime::currentSecsSinceEpoch()));
    zipPath = tempDir + QLatin1Char('/') + PackageFileName;
    backupDir =
        appDir + QLatin1Char('/') + BackupMarker + QDateTime::currentDateTime().toString(BackupTimeFormat);
}

void UpdateEngine::setExpectedSha256(const QString &sha256)
{
    expectedSha256 = sha256;
}

bool UpdateEngine::isRunning() const
{
    return running;
}

void UpdateEngine::cancelUpdate()
{
    qDebug() << "取消更新操作";
    // Before the abort, so that the notifications the abort raises count as a cancellation.
    cancelled = true;
    if (currentReply) {
        currentReply->abort();
        releaseReply();
    }
    if (workerThread) {
        waitUntilEnded(*workerThread);
        delete workerThread;
        workerThread = nullptr;
    }
    cleanupTempDir();
    removeBackupUnlessNeeded();
    running = false;
}
