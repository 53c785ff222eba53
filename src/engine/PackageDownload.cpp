#include "UpdateEngine.h"

#include "PackageSignature.h"

#include <QCryptographicHash>
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

// An elevated updater must not become a way to copy local files: only HTTP(S) is fetched.
// Returns why the address is refused, or an empty text when it may be fetched.
QString refusalReason(const QString &text, const QUrl &url)
{
    if (text.trimmed().isEmpty())
        return RefusedNoUrl;
    if (!url.isValid())
        return RefusedInvalidUrl;
    const QString scheme = url.scheme().toLower();
    if (scheme.isEmpty())
        return RefusedNoScheme;
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return RefusedScheme.arg(scheme);
    if (url.host().isEmpty())
        return RefusedNoHost;
    return QString();
}

bool isSha256Hex(const QString &text)
{
    const auto isHexDigit = [](QChar c) {
        const char latin = c.toLatin1(); // 0 outside Latin-1
        return (latin >= '0' && latin <= '9') || (latin >= 'a' && latin <= 'f') ||
               (latin >= 'A' && latin <= 'F');
    };
    return text.size() == Sha256HexDigits && std::all_of(text.cbegin(), text.cend(), isHexDigit);
}

bool matchesExpectedSha256(const QString &expected, const QByteArray &actualHex)
{
    if (expected.isEmpty())
        return true;
    const bool wellFormed = isSha256Hex(expected);
    if (wellFormed && expected.compare(QLatin1String(actualHex), Qt::CaseInsensitive) == 0)
        return true;
    qWarning().noquote() << (wellFormed ? "SHA-256 不一致" : "SHA-256 格式无效") << "- 期望:" << expected
                         << "实际:" << actualHex;
    return false;
}

// A short write (a full disk) leaves a file that may still be larger than the minimum.
bool holdsEverythingReceived(qint64 savedBytes, qint64 receivedBytes)
{
    if (savedBytes == receivedBytes)
        return true;
    qWarning() << "保存的文件不完整 - 收到:" << receivedBytes << "保存:" << savedBytes;
    return false;
}

QByteArray sha256HexIfExpected(const QString &expectedSha256, const QByteArray &package)
{
    return expectedSha256.isEmpty() ? QByteArray()
                                    : QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex();
}

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

// Judged on a fresh look at the file system. The zip is read last: it is the one
// check that goes through the whole package.
bool savedPackageIsIntact(const QString &zipPath, qint64 receivedBytes, const QString &expectedSha256,
                          const QByteArray &actualSha256Hex, bool signatureAccepted, PackageListing &listing)
{
    const QFileInfo saved(zipPath);
    const bool intact = saved.exists() && saved.size() >= MinimumDownloadedPackageBytes &&
                        holdsEverythingReceived(saved.size(), receivedBytes) &&
                        matchesExpectedSha256(expectedSha256, actualSha256Hex) && signatureAccepted &&
                        listing.read(zipPath);
    qDebug().noquote() << "文件校验:" << zipPath << "大小:" << saved.size() << "结果:" << intact;
    return intact;
}

} // namespace

void UpdateEngine::startDownload()
{
    if (running) {
        qDebug() << "已经在运行中，忽略重复启动";
        return;
    }
    const QUrl url(downloadUrl, QUrl::TolerantMode);
    const QString refusal = refusalReason(downloadUrl, url);
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

    const qint64 receivedBytes = downloadBuffer.size();
    const QByteArray actualSha256Hex = sha256HexIfExpected(expectedSha256, downloadBuffer);
    const bool signatureAccepted = packageSignatureAccepted(downloadBuffer);
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

    if (savedPackageIsIntact(zipPath, receivedBytes, expectedSha256, actualSha256Hex, signatureAccepted,
                             packageListing)) {
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
        if (announced > maximumPackageBytes) {
            abandonTransfer(AbandonedTooLarge.arg(maximumPackageBytes));
            return;
        }
        // A server's word is not memory's worth: beyond this the buffer grows with what really arrives.
        if (announced > 0)
            downloadBuffer.reserve(int(qMin(announced, MaximumReservedBeforeDataBytes)));
    }
    if (downloadBuffer.size() + currentReply->bytesAvailable() > maximumPackageBytes) {
        abandonTransfer(AbandonedTooLarge.arg(maximumPackageBytes));
        return;
    }
    // Read straight into the buffer: no chunk copies besides the one into the package.
    const int received = downloadBuffer.size();
    downloadBuffer.resize(received + int(currentReply->bytesAvailable()));
    const qint64 read =
        currentReply->read(downloadBuffer.data() + received, downloadBuffer.size() - received);
    downloadBuffer.resize(received + int(qMax<qint64>(read, 0)));
}

// Checked on the bytes in memory, the very bytes then written: the file lies in the run's private work
// folder, which no other user can enter, so what is extracted later is what was verified here.
bool UpdateEngine::packageSignatureAccepted(const QByteArray &package) const
{
    return PackageSignature(packagePublicKeys).accepts(package, packageSignature);
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
