#include "FileCopier.h"
#include "UpdateEngine.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

using namespace engine;

namespace {

// Files only, hidden ones and links to folders left alone; full paths in walk order.
QStringList selectableFiles(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    return files;
}

// Backup folders, this run's and earlier ones, are never part of the program.
QStringList programFiles(const QString &appDir)
{
    QStringList files = selectableFiles(appDir);
    files.erase(std::remove_if(files.begin(), files.end(),
                               [](const QString &path) { return path.contains(BackupMarker); }),
                files.end());
    return files;
}

QStringList relativeTo(const QString &root, const QStringList &paths)
{
    const QDir dir(root);
    QStringList relative;
    relative.reserve(paths.size());
    for (const QString &path : paths)
        relative.append(dir.relativeFilePath(path));
    return relative;
}

// Files come folder by folder, so most of them need no folder made.
void makeFolderOf(const QString &filePath, QString &lastFolder)
{
    const QString folder = QFileInfo(filePath).absolutePath();
    if (folder != lastFolder)
        QDir().mkpath(folder);
    lastFolder = folder;
}

bool isProgressStep(int count, int total)
{
    return count % FilesPerProgressReport == 0 || count == total;
}

// Deleting first also removes files that a failed extraction added.
void removeProgramFiles(const QString &appDir)
{
    for (const QString &path : programFiles(appDir)) {
        if (!QFile::remove(path))
            qDebug().noquote() << "警告：无法删除文件:" << path;
    }
}

} // namespace

bool UpdateEngine::createBackup()
{
    qDebug().noquote() << "创建备份到:" << backupDir;
    if (!QDir().mkpath(backupDir)) {
        qDebug().noquote() << "无法创建备份目录:" << backupDir;
        return false;
    }
    const QStringList files = relativeTo(appDir, programFiles(appDir));
    const int total = files.size();
    FileCopier copier;
    QString lastFolder;
    bool allCopied = true;
    for (int done = 1; done <= total; ++done) {
        const QString &relative = files.at(done - 1);
        const QString destination = backupDir + QLatin1Char('/') + relative;
        makeFolderOf(destination, lastFolder);
        if (!copier.copy(appDir + QLatin1Char('/') + relative, destination)) {
            qDebug().noquote() << "备份文件失败:" << relative;
            allCopied = false;
        }
        if (isProgressStep(done, total)) {
            const int percent =
                BackupProgressStart + qMin(BackupProgressSpan, BackupProgressSpan * done / total);
            emit installProgress(percent, ProgressBackupFiles.arg(done).arg(total));
        }
    }
    qDebug() << "备份完成，成功率:" << (allCopied ? "全部成功" : "部分失败");
    return allCopied;
}

bool UpdateEngine::restoreBackup()
{
    qDebug() << "=== 开始恢复备份 ===";
    if (backupDir.isEmpty() || !QDir(backupDir).exists()) {
        qDebug().noquote() << "备份目录不存在或为空:" << backupDir;
        backupMustBeKept = true;
        return false;
    }
    qDebug().noquote() << "从备份恢复:" << backupDir << "->" << appDir;
    const QStringList files = relativeTo(backupDir, selectableFiles(backupDir));
    if (files.isEmpty()) {
        qDebug() << "备份目录为空";
        backupMustBeKept = true;
        return false;
    }
    const int total = files.size();
    qDebug() << "备份文件数:" << total;
    removeProgramFiles(appDir);

    FileCopier copier;
    QString lastFolder;
    int restored = 0;
    QStringList notRestored;
    for (const QString &relative : files) {
        const QString destination = appDir + QLatin1Char('/') + relative;
        makeFolderOf(destination, lastFolder);
        if (QFileInfo::exists(destination))
            QFile::remove(destination);
        if (copier.copy(backupDir + QLatin1Char('/') + relative, destination)) {
            qDebug().noquote() << "恢复文件成功:" << relative;
            ++restored;
        } else {
            qDebug().noquote() << "恢复文件失败:" << relative;
            notRestored.append(relative);
        }
        if (isProgressStep(restored, total))
            emit installProgress(RestoreProgressStart + RestoreProgressSpan * restored / total,
                                 ProgressRestoring.arg(restored).arg(total));
    }
    qDebug().noquote() << QStringLiteral("恢复完成: 成功 %1/%2").arg(restored).arg(total);
    if (!notRestored.isEmpty()) {
        // These files now exist only in the backup: it must outlive the run.
        backupMustBeKept = true;
        qWarning().noquote() << "备份目录保留:" << backupDir;
        for (const QString &relative : notRestored)
            qWarning().noquote() << "未恢复的文件:" << relative;
    }
    return restored > 0;
}
