// Recovery of a run that was interrupted: by the journal's last record, the program folder is rolled back
// to the old version or the new version is completed, and the daemon is started again. Every action is
// safe to repeat, so a recovery that is itself interrupted is simply run again.

#include "InstallTransaction.h"

#include "FileCopier.h"
#include "FileSafety.h"
#include "LogonRecovery.h"

#include <QDebug>
#include <QDir>

using namespace transaction;
using Stage = InstallJournal::Stage;

namespace {

// From the complete backup until the old version is durably back, the program folder may be mixed.
bool needsRollBack(Stage stage)
{
    return stage == Stage::BackupComplete || stage == Stage::ExtractionStarted ||
           stage == Stage::RestoreStarted;
}

} // namespace

InstallTransaction::RecoveryOutcome InstallTransaction::recover(const QString &appPath, LockWait wait)
{
    setProgramPath(appPath);
    // Before the lock: nothing is created, read or run in a folder that others can change.
    if (!programFolderTrusted())
        return RecoveryOutcome::Failed;
    if (!lockFolder(wait)) {
        const bool busy = folderLock->heldByAnother();
        unlockFolder();
        return busy ? RecoveryOutcome::NothingToDo : RecoveryOutcome::Failed;
    }
    const RecoveryOutcome outcome = recoverInterrupted();
    unlockFolder();
    return outcome;
}

InstallTransaction::RecoveryOutcome InstallTransaction::recoverInterrupted()
{
    const InstallJournal journal(appDir);
    if (!journal.exists()) {
        reportStrayBackups();
        return RecoveryOutcome::NothingToDo;
    }
    qWarning().noquote() << "发现未完成的安装，开始恢复:" << appDir;
    // A journal in a folder that others can change may be theirs: it is not followed, the daemon found
    // there is not run, and no logon command is registered for it.
    if (!programFolderTrusted())
        return RecoveryOutcome::Failed;
    const InstallJournal::Reading reading = journal.read();
    if (!reading.record) {
        // Nothing can be judged from it, so nothing is touched.
        qCritical().noquote() << "安装日志无法使用，程序目录保持原样:" << reading.error;
        keepForNextAttempt();
        return RecoveryOutcome::Failed;
    }
    journalRecord = *reading.record;
    qDebug().noquote() << "安装日志阶段:" << InstallJournal::stageName(journalRecord.stage)
                       << "备份目录:" << journalRecord.backupFolder;
    // The run's own backup folder (when a run recovers before installing) is not the one to act on.
    return finishRecovery(appDir + QLatin1Char('/') + journalRecord.backupFolder);
}

InstallTransaction::RecoveryOutcome InstallTransaction::finishRecovery(const QString &journalBackupDir)
{
    if (journalRecord.stage == Stage::OnTrial)
        return judgeInterruptedTrial(journalBackupDir);
    if (journalRecord.stage == Stage::TrialRollBack)
        return rollBackTrial(journalBackupDir);
    const bool whole = backupFolderUsable(journalBackupDir) &&
                       (!needsRollBack(journalRecord.stage) || rollBackFrom(journalBackupDir));
    if (!whole) {
        keepForNextAttempt();
        return RecoveryOutcome::Failed;
    }
    qWarning().noquote() << "程序目录已恢复完整:" << appDir;
    releaseBackup(journalBackupDir, true);
    return RecoveryOutcome::Recovered;
}

void InstallTransaction::releaseBackup(const QString &journalBackupDir, bool startDaemon)
{
    removeFolder(journalBackupDir, "清理备份目录:");
    // The daemon first: a recovery killed before the journal is gone starts it again the next time.
    if (startDaemon)
        restartDaemon();
    // A backup that could not be removed keeps its journal, so that the next recovery removes it.
    if (platform::entryStatus(journalBackupDir.toStdString()).type == platform::EntryType::Missing)
        end();
    else
        qWarning().noquote() << "备份目录未能完全删除，保留安装日志:" << journalRecord.backupFolder;
}

// Whether only administrators can change the program folder and the folders above it; says why not.
bool InstallTransaction::programFolderTrusted() const
{
    const std::string distrust = platform::whyProgramFolderUntrusted(appDir.toStdString());
    if (distrust.empty())
        return true;
    qCritical().noquote() << "程序目录可被其他用户修改，不进行恢复:" << QString::fromStdString(distrust);
    return false;
}

// A real folder directly in the program folder, or nothing at all: a restore or a removal through a link
// (or junction) would reach whatever it leads to.
bool InstallTransaction::backupFolderUsable(const QString &folder) const
{
    const platform::EntryType type = platform::entryStatus(folder.toStdString()).type;
    if (type == platform::EntryType::Folder || type == platform::EntryType::Missing)
        return true;
    qCritical().noquote() << "安装日志所指的备份目录不是真实目录，程序目录保持原样:" << folder;
    return false;
}

bool InstallTransaction::rollBackFrom(const QString &folder)
{
    // A backup that lacks a listed file would make the restore delete a file that exists nowhere else.
    if (journalRecord.files.isEmpty() || !folderMatchesJournal(folder, "备份中的文件与清单不符:")) {
        qCritical().noquote() << "备份不完整，不能恢复:" << folder;
        return false;
    }
    if (!BackupCopy(appDir, folder).restore(observer.restoreProgress))
        mustKeepBackup = true;
    if (!folderMatchesJournal(appDir, "恢复后的文件与备份清单不符:"))
        return false;
    // Before the record: a rollback interrupted after it would otherwise never write the keys.
    if (journalRecord.stage == Stage::TrialRollBack)
        recordFailedVersion();
    return recordStage(Stage::Restored);
}

// Backup and journal stay; the next updater start, --recover or administrator logon tries again.
void InstallTransaction::keepForNextAttempt()
{
    mustKeepBackup = true;
    qCritical().noquote() << "无法恢复程序目录，保留备份和安装日志:" << appDir;
    LogonRecovery(appPath).registerCommand();
}

// Not ours to judge: left by something this program has no record of.
void InstallTransaction::reportStrayBackups() const
{
    const QStringList folders = QDir(appDir).entryList({BackupMarker + QLatin1Char('*')},
                                                       QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString &folder : folders)
        qWarning().noquote() << "发现没有安装日志的备份目录，保持不动:" << folder;
}
