#include "UpdateEngine.h"

#include "DownloadRules.h"
#include "PackageCheck.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrl>

#include <algorithm>

using namespace engine;

// One pair for the whole process, never reset: a later download does not repeat the
// percent the previous one sent last.
static bool firstProgressCallback = true;
static int lastProgressPercent = -1;

namespace {

// Replaces the file with the package in one write; false only when it cannot be opened.
bool writePackage(const QString &zipPath, const QByteArray &package)
{
    QFile file(zipPath);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning().noquote() << "无法打开文件写入" << zipPath << file.errorString();
        return false;
    }
    if (file.write(package) != package.size())
        qWarning().noquote() << "写入不完整:" << file.errorString();
    file.close();
    qDebug().noquote() << "文件保存到:" << zipPath << "大小:" << QFileInfo(zipPath).size();
    return true;
}

} // namespace

void UpdateEngine::startDownload()
{
    if (running) {
        qDebug() << "已经在运行中，忽略重复启动";
        return;
    }
    const QUrl url(downloadUrl, QUrl::TolerantMode);
    const QString refusal = DownloadRules::refusalReason(downloadUrl, url);
    if (!refusal.isEmpty()) {
        qWarning().noquote() << "下载错误:" << refusal << downloadUrl;
        emit errorOccurred(ErrorDownloadPrefix + refusal);
        return;
    }
    if (!checkDiskSpace()) {
        emit errorOccurred(ErrorDiskSpace);
        return;
    }
    running = true;
    cancelled = false;
    downloadBuffer.clear();
    // A cancel removes the work folder; a download started again saves into a new one.
    if (!workFolderOwned && !zipPath.isEmpty())
        createWorkFolder();
    emit statusChanged(StatusContacting);

    QNetworkRequest request(url);
    // Qt 5.15 deprecates this attribute in favour of RedirectPolicyAttribute; it still maps
    // to the same policy there (no redirect from https to http).
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    request.setAttribute(QNetworkRequest::FollowRedirectsAttribute, true);
    QT_WARNING_POP
    currentReply = networkManager->get(request);
    currentReply->setReadBufferSize(DownloadReadBufferBytes);
    connect(currentReply, &QNetworkReply::readyRead, this, &UpdateEngine::receivePackageData);
    connect(currentReply, &QNetworkReply::downloadProgress, this, &UpdateEngine::onDownloadProgress);
    connect(currentReply, &QNetworkReply::finished, this, &UpdateEngine::onDownloadFinished);
    connect(currentReply, SIGNAL(error(QNetworkReply::NetworkError)), this,
            SLOT(onDownloadError(QNetworkReply::NetworkError)));
}

void UpdateEngine::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (cancelled)
        return;
    if (firstProgressCallback) {
        firstProgressCallback = false;
        qDebug() << "第一次下载进度回调";
    }
    if (bytesTotal <= 0) {
        emit progressChanged(0, ProgressUnknownLength);
        return;
    }
    const int percent = int(std::clamp<qint64>(bytesReceived * DownloadShare / bytesTotal, 0, DownloadShare));
    if (percent == lastProgressPercent)
        return;
    lastProgressPercent = percent;
    qDebug() << "下载进度:" << percent << "%";
    emit progressChanged(percent, ProgressPercent.arg(percent));
}

void UpdateEngine::onDownloadFinished()
{
    qDebug() << "onDownloadFinished 被调用";
    if (cancelled) {
        qDebug() << "下载已取消";
        return;
    }
    if (!currentReply) {
        qDebug() << "currentReply为空";
        return;
    }
    if (currentReply->error() != QNetworkReply::NoError) {
        qWarning().noquote() << "下载错误:" << currentReply->errorString();
        releaseReply();
        return;
    }
    receivePackageData();
    if (!currentReply)
        return;
    qDebug() << "下载完成，数据大小:" << downloadBuffer.size() << "字节";

    PackageCheck check(expectedSha256, packageSignature, packagePublicKeys);
    check.examineReceived(downloadBuffer);
    const bool opened = writePackage(zipPath, downloadBuffer);
    downloadBuffer.clear();
    if (!opened) {
        emit errorOccurred(ErrorCannotSave);
        running = false;
        releaseReply();
        return;
    }
    const QFileInfo saved(zipPath);
    qDebug() << "文件信息 - 存在:" << saved.exists() << "大小:" << saved.size();
    emit statusChanged(StatusChecking);

    if (check.savedPackageIsIntact(zipPath, packageListing)) {
        qDebug() << "文件验证成功";
        emit progressChanged(DownloadShare, ProgressDownloadFinished);
        emit readyToInstall();
    } else {
        qWarning() << "文件验证失败";
        emit errorOccurred(ErrorIntegrity);
        running = false;
    }
    releaseReply();
}

void UpdateEngine::onDownloadError(QNetworkReply::NetworkError)
{
    if (!cancelled && currentReply) {
        const QString text = currentReply->errorString();
        qWarning().noquote() << "下载错误:" << text;
        running = false;
        emit errorOccurred(ErrorDownloadPrefix + text);
    }
    releaseReply();
}

// The body goes into one buffer as it arrives, so that Qt's reply buffer and a full copy
// of the package never exist side by side.
void UpdateEngine::receivePackageData()
{
    if (cancelled || !currentReply)
        return;
    if (downloadBuffer.isEmpty()) {
        const qint64 announced = currentReply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (announced > limits.maximumPackageBytes) {
            abandonTransfer(AbandonedTooLarge.arg(limits.maximumPackageBytes));
            return;
        }
        const int reserved = DownloadRules::bytesToReserve(announced);
        if (reserved > 0)
            downloadBuffer.reserve(reserved);
    }
    if (downloadBuffer.size() + currentReply->bytesAvailable() > limits.maximumPackageBytes) {
        abandonTransfer(AbandonedTooLarge.arg(limits.maximumPackageBytes));
        return;
    }
    // Read straight into the buffer: no chunk copies besides the one into the package.
    const int received = downloadBuffer.size();
    downloadBuffer.resize(received + int(currentReply->bytesAvailable()));
    const qint64 read =
        currentReply->read(downloadBuffer.data() + received, downloadBuffer.size() - received);
    downloadBuffer.resize(received + int(qMax<qint64>(read, 0)));
}

void UpdateEngine::abandonTransfer(const QString &reason)
{
    qWarning().noquote() << "下载错误:" << reason;
    running = false;
    QNetworkReply *reply = currentReply;
    // Released first, so that the notifications the abort raises find nothing to report.
    releaseReply();
    reply->abort();
    emit errorOccurred(ErrorDownloadPrefix + reason);
}

void UpdateEngine::releaseReply()
{
    if (currentReply) {
        currentReply->deleteLater();
        currentReply = nullptr;
    }
    downloadBuffer.clear();
}
