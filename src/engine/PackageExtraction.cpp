#include "UpdateEngine.h"

#include "ExtractionCheck.h"
#include "ExtractionTools.h"
#include "ManifestCheck.h"
#include "PackageCheck.h"
#include "PauseScale.h"

#include <QDebug>

using namespace engine;

namespace {

QString flagText(bool flag)
{
    return flag ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

bool UpdateEngine::extractUpdatePackage()
{
    qDebug() << "=== 开始解压更新包 ===";
    if (!PackageCheck::isExtractable(zipPath))
        return false;
    // Normally read and judged by the download's checks; here when this engine did not download it.
    if (packageListing.isEmpty() && !(packageListing.read(zipPath) &&
                                      PackageCheck(expectedSha256, packageSignature, packagePublicKeys)
                                          .fitsInstallation(packageListing, appDir, configPath, newVersion)))
        return false;
    ManifestCheck manifest(packageListing, appDir);
    if (!manifest.read(false))
        return false;
    const ExtractionCheck check(appDir);

    ExtractionTools tools(zipPath, appDir);
    // The manifest's own checks come last: a folder that does not hold the package is not worth reading.
    const bool installed = tools.extract(packageListing, limits.powerShellTimeoutMs, limits.tarTimeoutMs) &&
                           check.holdsOnlyThePackage(packageListing) && manifest.completeInstallation();

    for (int percent = ExtractionProgressStart; percent <= ExtractionProgressEnd;
         percent += ExtractionProgressStep) {
        emit installProgress(percent, ProgressExtracting);
        pauseFor(ExtractionProgressPauseMs);
    }

    const bool newFiles = check.logNewTopLevelFiles();
    qDebug().noquote() << QStringLiteral("解压结果: 命令成功=%1, 新增文件=%2, 最终结果=%3")
                              .arg(flagText(tools.commandSucceeded()), flagText(newFiles),
                                   flagText(installed));
    if (!installed && !tools.errorText().isEmpty())
        qDebug().noquote() << "解压错误:" << tools.errorText();
    return installed;
}
