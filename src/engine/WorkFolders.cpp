#include "FileCopier.h"
#include "ProgramFolderWalk.h"
#include "UniqueFolder.h"
#include "UpdateEngine.h"

#include "FileSafety.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>

using namespace engine;

namespace {

// The program-data root, links resolved, when only administrators can rename, remove or replace what leads
// to it; else an empty text, logged: a work folder there could be renamed away after the package's check.
QString trustedProgramDataRoot()
{
    const QString configured = QString::fromStdString(platform::programDataRoot());
    const QString root = QFileInfo(configured).canonicalFilePath();
    const QString why = root.isEmpty()
                            ? QStringLiteral("不存在")
                            : QString::fromStdString(platform::whyPathUntrusted(root.toStdString()));
    if (why.isEmpty())
        return root;
    qCritical().noquote() << "程序数据目录不可信，不创建工作目录:" << configured << why;
    return QString();
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
    const QString root = trustedProgramDataRoot();
    if (root.isEmpty())
        return false;
    const QString base =
        root + QLatin1Char('/') + WorkFolderPrefix + QString::number(QDateTime::currentSecsSinceEpoch());
    tempDir = createUniqueFolder(base, platform::createPrivateFolder,
                                 {"工作目录名称已被占用，跳过:", "无法创建工作目录:"});
    if (tempDir.isEmpty())
        return false;
    zipPath = tempDir + QLatin1Char('/') + PackageFileName;
    workFolderOwned = true;
    return true;
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
    const qint64 available = limits.availableBytes(appDir);
    qDebug() << "磁盘空间 - 需要:" << required << "可用:" << available;
    if (available < required) {
        qWarning() << "磁盘空间不足";
        return false;
    }
    return true;
}

void UpdateEngine::cleanupTempDir()
{
    if (workFolderOwned)
        transaction::removeFolder(tempDir, "清理临时目录:");
    // Whatever has the name from now on is not this run's.
    workFolderOwned = false;
}

void UpdateEngine::cleanupBackup()
{
    installTransaction.removeBackup();
}
