#include "InstallTransaction.h"

#include "FileCopier.h"
#include "FileSafety.h"
#include "LogonRecovery.h"
#include "Platform.h"
#include "UniqueFolder.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

using namespace transaction;
using Stage = InstallJournal::Stage;

InstallTransaction::InstallTransaction(Observer observer, int unjudgedLockHolderWaitMs)
    : observer(std::move(observer)), unjudgedLockHolderWaitMs(unjudgedLockHolderWaitMs)
{
}

InstallTransaction::~InstallTransaction() = default;

void InstallTransaction::setProgramPath(const QString &appPath)
{
    this->appPath = appPath;
    appDir = QFileInfo(appPath).absolutePath();
}

bool InstallTransaction::lockFolder(LockWait wait)
{
    folderLock = std::make_unique<FolderLock>(appDir, unjudgedLockHolderWaitMs);
    return folderLock->take(wait, [this] {
        if (observer.waitingForFolder)
            observer.waitingForFolder();
    });
}

void InstallTransaction::unlockFolder()
{
    folderLock.reset();
}

bool InstallTransaction::begin()
{
    return createBackupFolder() && beginJournal();
}

// A new folder of this run's own, made under the folder lock: a name that another run, or anyone else, has
// taken is passed over, never used or followed, so no run writes into or removes another one's backup.
bool InstallTransaction::createBackupFolder()
{
    backupFolderOwned = false;
    mustKeepBackup = false;
    const QString base =
        appDir + QLatin1Char('/') + BackupMarker + QDateTime::currentDateTime().toString(BackupTimeFormat);
    backupDir = createUniqueFolder(base, platform::createFolder,
                                   {"备份目录名称已被占用，跳过:", "无法创建备份目录:"});
    backupFolderOwned = !backupDir.isEmpty();
    return backupFolderOwned;
}

bool InstallTransaction::beginJournal()
{
    journalRecord = {Stage::Started, QFileInfo(backupDir).fileName(), {}, {}, 0};
    // The logon command goes first: a journal without it would wait for the next updater start.
    LogonRecovery(appPath).registerCommand();
    return InstallJournal(appDir).write(journalRecord);
}

bool InstallTransaction::backUp()
{
    if (!backupFolderOwned && !createBackupFolder())
        return false;
    BackupCopy copy(appDir, backupDir);
    const bool allCopied = copy.backUp(observer.backupProgress);
    backedUpEntries = copy.entries();
    return allCopied;
}

bool InstallTransaction::recordStage(Stage stage)
{
    // These stages promise that files are on disk, not only in the system's cache.
    if ((stage == Stage::BackupComplete || stage == Stage::Restored || stage == Stage::Installed ||
         stage == Stage::OnTrial) &&
        !platform::flushFileSystemOf(appDir.toStdString()))
        qWarning().noquote() << "无法将文件写入磁盘:" << appDir;
    journalRecord.stage = stage;
    return InstallJournal(appDir).write(journalRecord);
}

bool InstallTransaction::recordBackupComplete()
{
    journalRecord.files.clear();
    journalRecord.files.reserve(backedUpEntries.size());
    for (const ProgramFolderWalk::Entry &entry : backedUpEntries) {
        const bool link = entry.kind == ProgramFolderWalk::Kind::Link;
        const qint64 size = link ? 0 : QFileInfo(backupDir + QLatin1Char('/') + entry.relativePath).size();
        journalRecord.files.append({entry.relativePath, size, link});
    }
    return recordStage(Stage::BackupComplete);
}

bool InstallTransaction::restore()
{
    const bool whole = BackupCopy(appDir, backupDir).restore(observer.restoreProgress);
    if (!whole)
        mustKeepBackup = true;
    return whole;
}

void InstallTransaction::recordRestoredIfWhole()
{
    if (!mustKeepBackup && !folderMatchesJournal(appDir, "恢复后的文件与备份清单不符:"))
        mustKeepBackup = true;
    // Without the record the journal still asks for a restore, which needs the backup.
    if (!mustKeepBackup && !recordStage(Stage::Restored))
        mustKeepBackup = true;
}

void InstallTransaction::removeBackupUnlessNeeded()
{
    if (!backupFolderOwned)
        return;
    if (mustKeepBackup) {
        qWarning().noquote() << "恢复未完成，保留备份目录:" << backupDir;
        return;
    }
    removeBackup();
    // Whatever has the name from now on is not this run's.
    backupFolderOwned = false;
}

void InstallTransaction::removeBackup()
{
    removeFolder(backupDir, "清理备份目录:");
}

void InstallTransaction::end()
{
    if (InstallJournal(appDir).remove())
        LogonRecovery(appPath).removeCommand();
}

// Whoever reaches this machine remotely needs the daemon back. The journal goes only once the daemon runs,
// so that a kill in between is recovered with the daemon started.
void InstallTransaction::endAndRestartDaemon()
{
    restartDaemon();
    end();
}

void InstallTransaction::complete()
{
    if (!InstallJournal(appDir).exists())
        return;
    // Another updater holding the folder now has taken over this journal, or written its own.
    if (!lockFolder(LockWait::SkipWhenBusy)) {
        unlockFolder();
        return;
    }
    const InstallJournal::Reading reading = InstallJournal(appDir).read();
    if (reading.record && reading.record->stage == Stage::Installed &&
        reading.record->backupFolder == QFileInfo(backupDir).fileName())
        end();
    unlockFolder();
}

bool InstallTransaction::folderMatchesJournal(const QString &folder, const char *mismatchLog) const
{
    bool matches = true;
    for (const InstallJournal::BackedUpFile &file : journalRecord.files) {
        if (!InstallJournal::isListedEntry(folder + QLatin1Char('/') + file.path, file)) {
            qWarning().noquote() << mismatchLog << file.path;
            matches = false;
        }
    }
    return matches;
}

void InstallTransaction::restartDaemon() const
{
    if (observer.restartDaemon)
        observer.restartDaemon(appDir);
}
