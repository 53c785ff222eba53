#include "ProgramFolderWalk.h"
#include "UpdateEngine.h"

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
}

void UpdateEngine::cleanupBackup()
{
    removeFolder(backupDir, "清理备份目录:");
}
