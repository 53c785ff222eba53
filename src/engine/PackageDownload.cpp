#include "UpdateEngine.h"

#include "DownloadRules.h"
#include "PackageCheck.h"
#include "PauseScale.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QRegularExpression>
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

// Failures of the way to the server rather than answers from it: worth asking again.
bool isDroppedConnection(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::UnknownNetworkError:
        return true;
    default:
        return false;
    }
}

// What If-Range may name: a strong ETag, else Last-Modified (a weak ETag never matches there).
QByteArray validatorOf(const QNetworkReply &reply)
{
    const QByteArray etag = reply.rawHeader("ETag");
    return !etag.isEmpty() && !etag.startsWith("W/") ? etag : reply.rawHeader("Last-Modified");
}

// True when the answer's Content-Range is "bytes <first>-<last>/<total>" with these first and total bytes
// and its Content-Length covers exactly that range.
bool rangeContinues(const QNetworkReply &reply, qint64 first, qint64 total)
{
    static const QRegularExpression form(QStringLiteral("^bytes ([0-9]{1,18})-([0-9]{1,18})/([0-9]{1,18})$"));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(reply.rawHeader("Content-Range")));
    if (!match.hasMatch())
        return false;
    const qint64 last = match.captured(2).toLongLong();
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    return match.captured(1).toLongLong() == first && match.captured(3).toLongLong() == total &&
           last >= first && last < total && (!length.isValid() || length.toLongLong() == last - first + 1);
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
    releaseReply();
    packageBytes = -1;
    packageValidator.clear();
    resumeAttempt = 0;
    furthestBytes = 0;
    // A cancel removes the work folder; a download started again saves into a new one.
    if (!workFolderOwned && !zipPath.isEmpty())
        createWorkFolder();
    emit statusChanged(StatusContacting);

    transferWatch.setSingleShot(true);
    resumePause.setSingleShot(true);
    connect(&transferWatch, &QTimer::timeout, this, &UpdateEngine::onTransferSilent, Qt::UniqueConnection);
    connect(&resumePause, &QTimer::timeout, this, &UpdateEngine::requestPackage, Qt::UniqueConnection);
    requestPackage();
}

// Asks for the whole package, or for the rest of it when part of it has arrived and can be continued.
void UpdateEngine::requestPackage()
{
    if (cancelled || !running)
        return;
    QNetworkRequest request(QUrl(downloadUrl, QUrl::TolerantMode));
    // Qt 5.15 deprecates this attribute in favour of RedirectPolicyAttribute; it still maps
    // to the same policy there (no redirect from https to http).
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    request.setAttribute(QNetworkRequest::FollowRedirectsAttribute, true);
    QT_WARNING_POP
    // Ranges count the package's own bytes: no compression on the way that Qt would undo unseen.
    request.setRawHeader("Accept-Encoding", "identity");
    answerOffset = downloadBuffer.size();
    answerJudged = false;
    if (answerOffset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(answerOffset) + '-');
        request.setRawHeader("If-Range", packageValidator);
        qDebug() << "续传: 从" << answerOffset << "字节继续，共" << packageBytes << "字节";
    }
    currentReply = networkManager->get(request);
    currentReply->setReadBufferSize(DownloadReadBufferBytes);
    connect(currentReply, &QNetworkReply::readyRead, this, &UpdateEngine::receivePackageData);
    connect(currentReply, &QNetworkReply::downloadProgress, this, &UpdateEngine::onDownloadProgress);
    connect(currentReply, &QNetworkReply::finished, this, &UpdateEngine::onDownloadFinished);
    connect(currentReply, SIGNAL(error(QNetworkReply::NetworkError)), this,
            SLOT(onDownloadError(QNetworkReply::NetworkError)));
    // Once the head has arrived the limit is the silence between two arrivals of data.
    connect(currentReply, &QNetworkReply::metaDataChanged, this,
            [this] { transferWatch.start(scaledPauseMs(DownloadSilenceLimitMs)); });
    transferWatch.start(scaledPauseMs(DownloadConnectLimitMs));
}

void UpdateEngine::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (cancelled)
        return;
    // Before its head is judged, a resumed answer may yet turn out to start the package again.
    if (answerOffset > 0 && !answerJudged)
        return;
    if (firstProgressCallback) {
        firstProgressCallback = false;
        qDebug() << "第一次下载进度回调";
    }
    if (bytesTotal <= 0) {
        emit progressChanged(0, ProgressUnknownLength);
        return;
    }
    // A resumed answer counts its own bytes: the bar carries on from the part received before.
    bytesReceived += answerOffset;
    bytesTotal += answerOffset;
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
    transferWatch.stop();
    // A server may answer a resume with less than the rest.
    if (packageBytes >= 0 && downloadBuffer.size() < packageBytes) {
        resumeLater(AbandonedUnfinished);
        return;
    }
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

    if (check.savedPackageIsIntact(zipPath, packageListing) &&
        check.fitsInstallation(packageListing, appDir, configPath, newVersion)) {
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

void UpdateEngine::onDownloadError(QNetworkReply::NetworkError error)
{
    if (cancelled || !currentReply) {
        releaseReply();
        return;
    }
    const QString reason = currentReply->errorString();
    if (isDroppedConnection(error)) {
        // What arrived before the connection broke is kept.
        receivePackageData();
        if (currentReply)
            resumeLater(reason);
        return;
    }
    // A resume answered with an error status starts the package again rather than failing it.
    const bool answered = currentReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    if (answered && !answerJudged && !acceptAnswer())
        return;
    abandonTransfer(reason);
}

void UpdateEngine::onTransferSilent()
{
    if (cancelled || !currentReply)
        return;
    const bool answered = currentReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    resumeLater(answered ? AbandonedSilent.arg(DownloadSilenceLimitMs / 1000)
                         : AbandonedNoAnswer.arg(DownloadConnectLimitMs / 1000));
}

// The body goes into one buffer as it arrives, so that Qt's reply buffer and a full copy
// of the package never exist side by side.
void UpdateEngine::receivePackageData()
{
    if (cancelled || !currentReply)
        return;
    transferWatch.start(scaledPauseMs(DownloadSilenceLimitMs));
    // Nothing to judge or read before the answer's head.
    if (!answerJudged &&
        (!currentReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() || !acceptAnswer()))
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
    if (downloadBuffer.size() > furthestBytes) {
        furthestBytes = downloadBuffer.size();
        resumeAttempt = 0;
    }
}

// Decides once per answer what its body is: the package from its start, or the rest of the part received.
// Anything else is dropped, and the package is asked for again from its start.
bool UpdateEngine::acceptAnswer()
{
    answerJudged = true;
    const int status = currentReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (answerOffset == 0 || status == 200) {
        takeAsFirstAnswer();
        return true;
    }
    if (status == 206 && continuesReceivedPart())
        return true;
    qWarning().noquote() << "续传应答不符，从头开始下载: HTTP" << status
                         << currentReply->rawHeader("Content-Range") << validatorOf(*currentReply);
    downloadBuffer.clear();
    resumeLater(AbandonedWrongResume);
    return false;
}

bool UpdateEngine::continuesReceivedPart() const
{
    return validatorOf(*currentReply) == packageValidator &&
           rangeContinues(*currentReply, downloadBuffer.size(), packageBytes);
}

// The answer holds the whole package: what a later resume must match is taken from it.
void UpdateEngine::takeAsFirstAnswer()
{
    if (answerOffset > 0) {
        qWarning() << "服务器未续传，从头开始下载";
        downloadBuffer.clear();
        answerOffset = 0;
    }
    const QVariant length = currentReply->header(QNetworkRequest::ContentLengthHeader);
    packageBytes = length.isValid() ? length.toLongLong() : -1;
    packageValidator = validatorOf(*currentReply);
}

// A transfer that broke off: after a pause that doubles with each attempt in a row, asks again for the
// rest, or for the whole package when what was received cannot be continued safely.
void UpdateEngine::resumeLater(const QString &reason)
{
    dropReply();
    if (resumeAttempt >= DownloadResumeAttempts) {
        abandonTransfer(reason);
        return;
    }
    if (packageBytes < 0 || packageValidator.isEmpty())
        downloadBuffer.clear();
    ++resumeAttempt;
    const int pauseMs = FirstResumePauseMs << (resumeAttempt - 1);
    qWarning().noquote() << "下载中断:" << reason
                         << QStringLiteral("已收到 %1 字节，%2 毫秒后重新连接（第 %3/%4 次）")
                                .arg(downloadBuffer.size())
                                .arg(pauseMs)
                                .arg(resumeAttempt)
                                .arg(DownloadResumeAttempts);
    // The percent the answer brings after the reconnection replaces the status line again.
    lastProgressPercent = -1;
    resumePause.start(scaledPauseMs(pauseMs));
    emit reconnecting(resumeAttempt, DownloadResumeAttempts);
}

void UpdateEngine::abandonTransfer(const QString &reason)
{
    qWarning().noquote() << "下载错误:" << reason;
    running = false;
    releaseReply();
    emit errorOccurred(ErrorDownloadPrefix + reason);
}

// Ends the current answer; none of its later notifications reaches the engine.
void UpdateEngine::dropReply()
{
    transferWatch.stop();
    if (!currentReply)
        return;
    QNetworkReply *reply = currentReply;
    currentReply = nullptr;
    reply->disconnect(this);
    // A reply that failed ends by itself; aborting it would report a second error.
    if (reply->error() == QNetworkReply::NoError)
        reply->abort();
    reply->deleteLater();
}

void UpdateEngine::releaseReply()
{
    resumePause.stop();
    dropReply();
    downloadBuffer.clear();
}
