#include "ManifestCheck.h"

#include "FileSafety.h"
#include "PackageConstants.h"

#include <QDebug>
#include <QSet>

using namespace package;

ManifestCheck::ManifestCheck(const PackageListing &listing, const QString &appDir)
    : listing(listing), appDir(appDir)
{
    for (const PackageListing::Entry &entry : listing.entries()) {
        if (!entry.isFolder)
            carriedByKey.insert(PackageListing::windowsNameKey(entry.path), &entry);
    }
}

bool ManifestCheck::read(bool required)
{
    present = listing.holds(ManifestFileName);
    if (!present) {
        if (required)
            qWarning() << "更新包没有清单，拒绝安装";
        return !required;
    }
    if (!manifest.read(listing.manifestData()))
        return false;
    if (manifest.product() == ProductName)
        return true;
    qWarning().noquote() << "更新包清单属于其他产品:" << manifest.product();
    return false;
}

void ManifestCheck::logSummary() const
{
    if (!present) {
        qDebug() << "更新包没有清单，按原方式安装";
        return;
    }
    qDebug().noquote() << "更新包清单: 版本" << manifest.version().text()
                       << "文件数:" << manifest.files().size() << "删除数:" << manifest.removals().size()
                       << (manifest.isDelta() ? "增量，基础版本 " + manifest.baseVersion().text() : "完整");
}

bool ManifestCheck::allowsVersion(const QString &announcedVersion, const QString &installedVersion) const
{
    const DottedVersion announced = DottedVersion::fromText(announcedVersion);
    if (!announced.isValid() || manifest.version().compare(announced) != 0) {
        qWarning().noquote() << "更新包清单的版本与更新信息不一致:" << manifest.version().text() << "/"
                             << announcedVersion;
        return false;
    }
    const DottedVersion installed = DottedVersion::fromText(installedVersion);
    if (!installed.isValid())
        qDebug().noquote() << "已安装的版本未知，按最低版本处理:" << installedVersion;
    if (manifest.version().compare(installed) <= 0) {
        qWarning().noquote() << "更新包版本不高于已安装的版本，拒绝安装:" << manifest.version().text() << "/"
                             << installedVersion;
        return false;
    }
    if (manifest.isDelta() && manifest.baseVersion().compare(installed) != 0) {
        qWarning().noquote() << "增量更新包的基础版本与已安装的版本不符:" << manifest.baseVersion().text()
                             << "/" << installedVersion;
        return false;
    }
    return true;
}

bool ManifestCheck::packageCompletesFolder() const
{
    QSet<QString> listedKeys{PackageListing::windowsNameKey(ManifestFileName)};
    for (const PackageListing::Entry &file : manifest.files())
        listedKeys.insert(PackageListing::windowsNameKey(file.path));
    for (auto it = carriedByKey.cbegin(); it != carriedByKey.cend(); ++it) {
        if (!listedKeys.contains(it.key())) {
            qWarning().noquote() << "更新包中的文件不在清单中:" << it.value()->path;
            return false;
        }
    }
    for (const PackageListing::Entry &file : manifest.files()) {
        const PackageListing::Entry *entry = carried(file);
        if (entry && (entry->path != file.path || entry->size != file.size || entry->sha256 != file.sha256)) {
            qWarning().noquote() << "更新包中的文件与清单不符:" << entry->path;
            return false;
        }
        if (!entry && !manifest.isDelta()) {
            qWarning().noquote() << "清单中的文件不在更新包中:" << file.path;
            return false;
        }
        const QString difference =
            entry ? QString() : PackageListing::differenceFrom(file, folderPath(file.path));
        if (!difference.isEmpty()) {
            qWarning().noquote() << "增量更新包与已安装的程序不符，第一个不同的文件:" << file.path
                                 << difference;
            return false;
        }
    }
    return true;
}

bool ManifestCheck::completeInstallation() const
{
    if (!present)
        return true;
    if (!removeFromFolder(ManifestFileName))
        return false;
    for (const QString &path : manifest.removals()) {
        if (!removeFromFolder(path))
            return false;
        qDebug().noquote() << "已删除新版本不再包含的路径:" << path;
    }
    for (const PackageListing::Entry &file : manifest.files()) {
        const QString difference =
            carried(file) ? QString() : PackageListing::differenceFrom(file, folderPath(file.path));
        if (!difference.isEmpty()) {
            qWarning().noquote() << "安装校验失败:" << file.path << difference;
            return false;
        }
    }
    qDebug() << "清单校验通过，文件数:" << manifest.files().size();
    return true;
}

// Removed as it is, never through a link; a path that is already gone is fine.
bool ManifestCheck::removeFromFolder(const QString &relativePath) const
{
    const std::string path = folderPath(relativePath).toUtf8().toStdString();
    if (platform::entryStatus(path).type == platform::EntryType::Missing)
        return true;
    if (platform::removeTree(path))
        return true;
    qWarning().noquote() << "无法删除:" << relativePath;
    return false;
}

QString ManifestCheck::folderPath(const QString &relativePath) const
{
    return appDir + QLatin1Char('/') + relativePath;
}

const PackageListing::Entry *ManifestCheck::carried(const PackageListing::Entry &file) const
{
    return carriedByKey.value(PackageListing::windowsNameKey(file.path));
}
