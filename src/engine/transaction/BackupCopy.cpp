#include "BackupCopy.h"

#include "FileCopier.h"
#include "FileSafety.h"
#include "TransactionConstants.h"

#include <QDebug>
#include <QFile>
#include <QHash>
#include <QSet>

#include <functional>

using namespace transaction;

namespace {

using Entry = ProgramFolderWalk::Entry;
using Kind = ProgramFolderWalk::Kind;

QString below(const QString &root, const QString &relative)
{
    return root + QLatin1Char('/') + relative;
}

bool copyEntry(const Entry &entry, const QString &sourceRoot, const QString &targetRoot)
{
    const QString source = below(sourceRoot, entry.relativePath);
    const QString target = below(targetRoot, entry.relativePath);
    return entry.kind == Kind::Link ? copySymbolicLink(source, target) : copyRegularFile(source, target);
}

// The end of the row of regular files from first on that lie in first's folder; first itself when it is a
// link.
int endOfFolderRun(const QVector<Entry> &entries, int first)
{
    const QString &path = entries.at(first).relativePath;
    const QStringRef folder = path.leftRef(path.lastIndexOf(QLatin1Char('/')) + 1);
    int last = first;
    while (last < entries.size() && entries.at(last).kind == Kind::File &&
           entries.at(last).relativePath.startsWith(folder) &&
           entries.at(last).relativePath.indexOf(QLatin1Char('/'), folder.size()) < 0)
        ++last;
    return last;
}

// Regular files of one folder, each copied as copyRegularFile copies it, through one opening of the folder
// and one of its copy; copied(entry, success) after each.
void copyFolderRun(const QVector<Entry> &run, const QString &sourceRoot, const QString &targetRoot,
                   const std::function<void(const Entry &, bool)> &copied)
{
    const int slash = run.first().relativePath.lastIndexOf(QLatin1Char('/'));
    const QString folder = run.first().relativePath.left(qMax(slash, 0));
    std::vector<std::string> names;
    for (const Entry &entry : run)
        names.push_back(entry.relativePath.mid(slash + 1).toStdString());
    platform::copyFilesBetween((folder.isEmpty() ? sourceRoot : below(sourceRoot, folder)).toStdString(),
                               (folder.isEmpty() ? targetRoot : below(targetRoot, folder)).toStdString(),
                               names,
                               [&](size_t index, bool success) { copied(run.at(int(index)), success); });
}

// Owner, group and others: the "user" flags say what this process may do, and nobody may write a locked file.
QFileDevice::Permissions modeOf(const QString &path)
{
    return QFile::permissions(path) &
           ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
}

void reportAtStep(const BackupCopy::Progress &progress, int count, int total)
{
    if (progress && (count % FilesPerProgressReport == 0 || count == total))
        progress(count, total);
}

// Each folder after the one that holds it, so that every copy finds its folder there. Returns those that
// could not be made.
QStringList makeFolders(const QStringList &folders, const QString &root)
{
    QStringList failed;
    for (const QString &relative : folders) {
        if (!makeRealFolder(below(root, relative))) {
            qWarning().noquote() << "无法创建目录:" << below(root, relative);
            failed.append(relative);
        }
    }
    return failed;
}

// A program file with the bytes and permissions of its copy needs nothing put back: a file that cannot be
// changed (held by another program, locked by the system) but is right then does not fail the restore.
bool matchesBackup(const Entry &current, const Entry *saved, const QString &appDir, const QString &backupDir)
{
    if (!saved || current.kind != Kind::File || saved->kind != Kind::File || current.size != saved->size)
        return false;
    const QString path = below(appDir, current.relativePath);
    const QString copy = below(backupDir, saved->relativePath);
    return modeOf(path) == modeOf(copy) && platform::sameContents(path.toStdString(), copy.toStdString());
}

void removeEntry(const QString &path, const char *failureLog)
{
    if (!platform::removeTree(path.toStdString()))
        qDebug().noquote() << failureLog << path;
}

// Clears the way for the copies: files and links that differ from the backup go, then every folder the
// backup does not hold, with whatever is left in it, so that a file which became a folder becomes a file
// again. Links are removed as themselves. Returns the entries that are already as the backup holds them.
QSet<QString> clearChangedEntries(const ProgramFolderWalk &backup, const QString &backupDir,
                                  const QString &appDir)
{
    QHash<QString, const Entry *> saved;
    for (const Entry &entry : backup.entries())
        saved.insert(entry.relativePath, &entry);
    const ProgramFolderWalk program(appDir, ProgramFolderWalk::Scope::WithoutBackupFolders);
    QSet<QString> unchanged;
    for (const Entry &entry : program.entries()) {
        if (matchesBackup(entry, saved.value(entry.relativePath), appDir, backupDir))
            unchanged.insert(entry.relativePath);
        else
            removeEntry(below(appDir, entry.relativePath), "警告：无法删除文件:");
    }
    const QSet<QString> savedFolders(backup.folders().cbegin(), backup.folders().cend());
    for (const QString &folder : program.folders()) {
        if (!savedFolders.contains(folder))
            removeEntry(below(appDir, folder), "警告：无法删除目录:");
    }
    return unchanged;
}

} // namespace

BackupCopy::BackupCopy(const QString &appDir, const QString &backupDir) : appDir(appDir), backupDir(backupDir)
{
}

bool BackupCopy::backUp(const Progress &progress)
{
    qDebug().noquote() << "创建备份到:" << backupDir;
    const ProgramFolderWalk walk(appDir, ProgramFolderWalk::Scope::WithoutBackupFolders);
    const int total = walk.entries().size();
    backedUp = walk.entries();
    bool allCopied = makeFolders(walk.folders(), backupDir).isEmpty();
    int done = 0;
    const auto copiedOne = [&](const Entry &entry, bool copied) {
        if (!copied) {
            qDebug().noquote() << "备份文件失败:" << entry.relativePath;
            allCopied = false;
        }
        reportAtStep(progress, ++done, total);
    };
    for (int first = 0; first < total;) {
        const int last = endOfFolderRun(walk.entries(), first);
        if (last == first) {
            copiedOne(walk.entries().at(first), copyEntry(walk.entries().at(first), appDir, backupDir));
            ++first;
        } else {
            copyFolderRun(walk.entries().mid(first, last - first), appDir, backupDir, copiedOne);
            first = last;
        }
    }
    qDebug() << "备份完成，成功率:" << (allCopied ? "全部成功" : "部分失败");
    return allCopied;
}

bool BackupCopy::restore(const Progress &progress) const
{
    qDebug() << "=== 开始恢复备份 ===";
    if (!backupFolderUsable())
        return false;
    qDebug().noquote() << "从备份恢复:" << backupDir << "->" << appDir;
    const ProgramFolderWalk backup(backupDir, ProgramFolderWalk::Scope::Everything);
    if (backup.entries().isEmpty()) {
        qDebug() << "备份目录为空";
        return false;
    }
    const int total = backup.entries().size();
    qDebug() << "备份文件数:" << total;
    const QSet<QString> unchanged = clearChangedEntries(backup, backupDir, appDir);

    QStringList notRestored = makeFolders(backup.folders(), appDir);
    int restored = 0;
    for (const Entry &entry : backup.entries()) {
        if (unchanged.contains(entry.relativePath)) {
            qDebug().noquote() << "文件与备份相同，无需恢复:" << entry.relativePath;
            ++restored;
        } else if (copyEntry(entry, backupDir, appDir)) {
            qDebug().noquote() << "恢复文件成功:" << entry.relativePath;
            ++restored;
        } else {
            qDebug().noquote() << "恢复文件失败:" << entry.relativePath;
            notRestored.append(entry.relativePath);
        }
        reportAtStep(progress, restored, total);
    }
    qDebug().noquote() << QStringLiteral("恢复完成: 成功 %1/%2").arg(restored).arg(total);
    if (notRestored.isEmpty())
        return true;
    // These files now exist only in the backup: it must outlive the run.
    qWarning().noquote() << "备份目录保留:" << backupDir;
    for (const QString &relative : notRestored)
        qWarning().noquote() << "未恢复的文件:" << relative;
    return false;
}

bool BackupCopy::backupFolderUsable() const
{
    if (!backupDir.isEmpty() &&
        platform::entryStatus(backupDir.toStdString()).type == platform::EntryType::Folder)
        return true;
    qDebug().noquote() << "备份目录不存在或为空:" << backupDir;
    return false;
}
