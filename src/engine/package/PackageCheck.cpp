#include "PackageCheck.h"

#include "ManifestCheck.h"
#include "PackageConstants.h"
#include "PackageListing.h"
#include "PackageSignature.h"
#include "ProductConfig.h"
#include "Sha256Digest.h"

#include <QDebug>
#include <QFileInfo>

#include <algorithm>

using namespace package;

PackageCheck::PackageCheck(const QString &expectedSha256, const QString &signature,
                           const QStringList &publicKeys)
    : expectedSha256(expectedSha256), signature(signature), publicKeys(publicKeys)
{
}

void PackageCheck::examineReceived(const QByteArray &package)
{
    receivedBytes = package.size();
    actualSha256Hex = expectedSha256.isEmpty() ? QByteArray() : Sha256Digest::of(package).toHex();
    signatureAccepted = PackageSignature(publicKeys).accepts(package, signature);
}

bool PackageCheck::savedPackageIsIntact(const QString &zipPath, PackageListing &listing) const
{
    const QFileInfo saved(zipPath);
    const bool intact = saved.exists() && saved.size() >= MinimumDownloadedPackageBytes &&
                        holdsEverythingReceived(saved.size()) && matchesExpectedSha256() &&
                        signatureAccepted && listing.read(zipPath);
    qDebug().noquote() << "文件校验:" << zipPath << "大小:" << saved.size() << "结果:" << intact;
    return intact;
}

bool PackageCheck::fitsInstallation(const PackageListing &listing, const QString &appDir,
                                    const QString &configPath, const QString &announcedVersion) const
{
    ManifestCheck manifest(listing, appDir);
    if (!manifest.read(!publicKeys.isEmpty()))
        return false;
    manifest.logSummary();
    return !manifest.hasManifest() ||
           (manifest.allowsVersion(announcedVersion, ProductConfig(configPath).installedVersion()) &&
            manifest.packageCompletesFolder());
}

bool PackageCheck::fitsInstalledVersion(const PackageListing &listing, const QString &appDir,
                                        const QString &configPath, const QString &announcedVersion)
{
    ManifestCheck manifest(listing, appDir);
    return manifest.read(false) &&
           (!manifest.hasManifest() ||
            manifest.allowsVersion(announcedVersion, ProductConfig(configPath).installedVersion()));
}

bool PackageCheck::isExtractable(const QString &zipPath)
{
    const QFileInfo package(zipPath);
    if (!package.exists()) {
        qDebug().noquote() << "错误：临时文件不存在:" << zipPath;
        return false;
    }
    qDebug() << "更新包大小:" << package.size() << "字节";
    if (package.size() < MinimumExtractablePackageBytes) {
        qDebug() << "错误：更新包文件太小，可能损坏";
        return false;
    }
    return true;
}

bool PackageCheck::isSha256Hex(const QString &text)
{
    const auto isHexDigit = [](QChar c) {
        const char latin = c.toLatin1(); // 0 outside Latin-1
        return (latin >= '0' && latin <= '9') || (latin >= 'a' && latin <= 'f') ||
               (latin >= 'A' && latin <= 'F');
    };
    return text.size() == Sha256HexDigits && std::all_of(text.cbegin(), text.cend(), isHexDigit);
}

bool PackageCheck::matchesExpectedSha256() const
{
    if (expectedSha256.isEmpty())
        return true;
    const bool wellFormed = isSha256Hex(expectedSha256);
    if (wellFormed && expectedSha256.compare(QLatin1String(actualSha256Hex), Qt::CaseInsensitive) == 0)
        return true;
    qWarning().noquote() << (wellFormed ? "SHA-256 不一致" : "SHA-256 格式无效")
                         << "- 期望:" << expectedSha256 << "实际:" << actualSha256Hex;
    return false;
}

// A short write (a full disk) leaves a file that may still be larger than the minimum.
bool PackageCheck::holdsEverythingReceived(qint64 savedBytes) const
{
    if (savedBytes == receivedBytes)
        return true;
    qWarning() << "保存的文件不完整 - 收到:" << receivedBytes << "保存:" << savedBytes;
    return false;
}
