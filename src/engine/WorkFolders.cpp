#include "ProgramFolderWalk.h"
#include "UpdateEngine.h"

#include "Platform.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

using namespace engine;

namespace {

void removeFolder(const QString &folder, const char *logText)
{
    if (folder.isEmpty() || !QDir(folder).exists())
        return;
    qDebug().noquote() << logText << folder;
    QDir(folder).removeRecursively();
}

} // namespace

// The run's own folder, new and closed to other users: anything that already has the name may belong to
// someone who wants to swap the package after its check, or a link meant to point the elevated writes and
// the clean-up elsewhere, so it is passed over, never used or followed.
bool UpdateEngine::createWorkFolder()
{
    tempDir.clear();
    zipPath.clear();
    workFolderOwned = false;
    const QString root = QString::fromStdString(platform::programDataRoot());
    QDir().mkpath(root);
    const QString base =
        root + QLatin1Char('/') + WorkFolderPrefix + QString::number(QDateTime::currentSecsSinceEpoch());
    for (int attempt = 0; attempt <= MaximumWorkFolderSuffix; ++attempt) {
        const QString candidate =
            attempt == 0 ? base : base + WorkFolderSuffixSeparator + QString::number(attempt);
        switch (platform::createPrivateFolder(candidate.toStdString())) {
        case platform::FolderCreation::Created:
            tempDir = candidate;
            zipPath = tempDir + QLatin1Char('/') + PackageFileName;
            workFolderOwned = true;
            return true;
        case platform::FolderCreation::NameTaken:
            qWarning().noquote() << "工作目录名称已被占用，跳过:" << candidate;
            break;
        case platform::FolderCreation::Failed:
            qCritical().noquote() << "无法创建工作目录:" << candidate;
            return false;
        }
    }
    qCritical().noquote() << "无法创建工作目录: 名称均已被占用" << base;
    return false;
}

bool UpdateEngine::checkDiskSpace()
{
    // Hidden and system files are copied into the backup too, so they need room as well.
    const qint64 total =
        ProgramFolderWalk(appDir, ProgramFolderWalk::Scope::WithoutBackupFolders).totalFileBytes();
    qDebug() << "程序大小:" << total << "字节";
    if (total <= 0) {
        qDebug() << "无法计算程序大小，跳过空间检查";
        return true;
    }
    const qint64 required = 2 * total;
    const qint64 available = availableBytes(appDir);
    qDebug() << "磁盘空间 - 需要:" << required << "可用:" << available;
    if (available < required) {
        qWarning() << "磁盘空间不足";
        return false;
    }
    return true;
}

void UpdateEngine::cleanupTempDir()
{
    removeFolder(tempDir, "清理临时目录:");
    // Whatever has the name from now on is not this run's.
    workFolderOwned = false;
}

void UpdateEngine::cleanupBackup()
{
    removeFolder(backupDir, "清理备份目录:");
}
