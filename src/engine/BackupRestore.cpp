#include "FileCopier.h"
#include "ProgramFolderWalk.h"
#include "UpdateEngine.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace engine;

namespace {

using Entry = ProgramFolderWalk::Entry;
using Kind = ProgramFolderWalk::Kind;

bool isInside(const QString &canonicalPath, const QString &canonicalRoot)
{
    return canonicalPath == canonicalRoot || canonicalPath.startsWith(canonicalRoot + QLatin1Char('/'));
}

// Creates a folder below root unless a link on the way leads out of root: a copy
// must never write outside the folder it restores or backs up.
bool makeFolderInside(const QString &folder, const QString &canonicalRoot)
{
    QString existing = folder;
    while (!QFileInfo::exists(existing))
        existing = QFileInfo(existing).absolutePath();
    if (!isInside(QFileInfo(existing).canonicalFilePath(), canonicalRoot)) {
        qWarning().noquote() << "拒绝写入程序目录之外:" << folder;
        return false;
    }
    return QDir().mkpath(folder);
}

// Entries come folder by folder, so most of them need no folder made or checked.
class FolderMaker final
{
public:
    explicit FolderMaker(const QString &root) : canonicalRoot(QFileInfo(root).canonicalFilePath()) {}

    bool makeFolderOf(const QString &path)
    {
        const QString folder = QFileInfo(path).absolutePath();
        if (folder != lastFolder) {
            lastFolderMade = !canonicalRoot.isEmpty() && makeFolderInside(folder, canonicalRoot);
            lastFolder = folder;
        }
        return lastFolderMade;
    }

private:
    QString canonicalRoot;
    QString lastFolder;
    bool lastFolderMade = false;
};

bool copyEntry(FileCopier &copier, const Entry &entry, const QString &source, const QString &destination)
{
    return entry.kind == Kind::Link ? copier.copyLink(source, destination) : copier.copy(source, destination);
}

bool isProgressStep(int count, int total)
{
    return count % FilesPerProgressReport == 0 || count == total;
}

// Deleting first also removes files that a failed extraction added. A link is
// removed as a link: what it points to is never touched.
void removeProgramEntries(const QString &appDir)
{
    const ProgramFolderWalk walk(appDir, ProgramFolderWalk::Scope::WithoutBackupFolders);
    for (const Entry &entry : walk.entries()) {
        const QString path = appDir + QLatin1Char('/') + entry.relativePath;
        if (!QFile::remove(path))
            qDebug().noquote() << "警告：无法删除文件:" << path;
    }
}

// An entry the deletion could not remove stands in the way of its copy; if it
// cannot be removed either, the copy fails on it.
bool restoreEntry(FileCopier &copier, FolderMaker &folders, const Entry &entry, const QString &backupDir,
                  const QString &appDir)
{
    const QString destination = appDir + QLatin1Char('/') + entry.relativePath;
    if (!folders.makeFolderOf(destination))
        return false;
    const QFileInfo leftover(destination);
    if (leftover.exists() || leftover.isSymbolicLink())
        QFile::remove(destination);
    return copyEntry(copier, entry, backupDir + QLatin1Char('/') + entry.relativePath, destination);
}

} // namespace

bool UpdateEngine::createBackup()
{
    qDebug().noquote() << "创建备份到:" << backupDir;
    if (!QDir().mkpath(backupDir)) {
        qDebug().noquote() << "无法创建备份目录:" << backupDir;
        return false;
    }
    const ProgramFolderWalk walk(appDir, ProgramFolderWalk::Scope::WithoutBackupFolders);
    const int total = walk.entries().size();
    backedUpEntries = walk.entries();
    FileCopier copier;
    FolderMaker folders(backupDir);
    bool allCopied = true;
    for (int done = 1; done <= total; ++done) {
        const Entry &entry = walk.entries().at(done - 1);
        const QString destination = backupDir + QLatin1Char('/') + entry.relativePath;
        if (!folders.makeFolderOf(destination) ||
            !copyEntry(copier, entry, appDir + QLatin1Char('/') + entry.relativePath, destination)) {
            qDebug().noquote() << "备份文件失败:" << entry.relativePath;
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

// True only when every entry of the backup is back: anything less is not the previous version.
bool UpdateEngine::restoreBackup()
{
    qDebug() << "=== 开始恢复备份 ===";
    if (backupDir.isEmpty() || !QDir(backupDir).exists()) {
        qDebug().noquote() << "备份目录不存在或为空:" << backupDir;
        backupMustBeKept = true;
        return false;
    }
    qDebug().noquote() << "从备份恢复:" << backupDir << "->" << appDir;
    const ProgramFolderWalk backup(backupDir, ProgramFolderWalk::Scope::Everything);
    if (backup.entries().isEmpty()) {
        qDebug() << "备份目录为空";
        backupMustBeKept = true;
        return false;
    }
    const int total = backup.entries().size();
    qDebug() << "备份文件数:" << total;
    removeProgramEntries(appDir);

    FileCopier copier;
    FolderMaker folders(appDir);
    int restored = 0;
    QStringList notRestored;
    for (const Entry &entry : backup.entries()) {
        if (restoreEntry(copier, folders, entry, backupDir, appDir)) {
            qDebug().noquote() << "恢复文件成功:" << entry.relativePath;
            ++restored;
        } else {
            qDebug().noquote() << "恢复文件失败:" << entry.relativePath;
            notRestored.append(entry.relativePath);
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
    return notRestored.isEmpty();
}
