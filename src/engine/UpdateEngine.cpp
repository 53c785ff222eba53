#include "UpdateEngine.h"

#include <QDebug>
#include <QFileInfo>
#include <QNetworkAccessManager>
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

} // namespace

UpdateEngine::UpdateEngine(const EngineLimits &limits, QObject *parent)
    : QObject(parent), limits(limits), networkManager(new QNetworkAccessManager(this)),
      installTransaction(transactionObserver(), limits.unjudgedLockHolderWaitMs)
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
    installTransaction.setProgramPath(appPath);

    // A folder given as the program would make its parent the program folder: the
    // backup and the extraction would then cover far more than the product.
    if (!QFileInfo(appPath).isFile()) {
        qCritical().noquote() << "错误：程序文件不存在:" << appPath;
        emit errorOccurred(ErrorProgramMissing);
        return;
    }
    // The backup folder is made by the installation, under the folder lock: two windows opened in the same
    // second must not share one.
    createWorkFolder();
}

void UpdateEngine::setExpectedSha256(const QString &sha256)
{
    expectedSha256 = sha256;
}

void UpdateEngine::setPackageSignature(const QString &signature, const QStringList &publicKeys)
{
    packageSignature = signature;
    packagePublicKeys = publicKeys;
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
    // Also ends a pause before the download's next attempt.
    releaseReply();
    if (workerThread) {
        waitUntilEnded(*workerThread);
        delete workerThread;
        workerThread = nullptr;
    }
    // The backup is the installation's alone: every end of a run has removed it or kept it on purpose,
    // under the folder lock.
    cleanupTempDir();
    running = false;
}
