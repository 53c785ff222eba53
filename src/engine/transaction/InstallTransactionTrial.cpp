// The trial after an installation. The journal says "on trial" while the new version shows whether it runs;
// the watcher ends the trial with its verdict, and a recovery that finds the trial interrupted judges by the
// daemon's service alone. Both end it under the folder lock and only if the journal still names the same
// backup, so that two runs never both act on one trial.

#include "InstallTransaction.h"

#include "FileSafety.h"

#include <QDebug>
#include <QFileInfo>

using namespace transaction;
using Stage = InstallJournal::Stage;

bool InstallTransaction::recordOnTrial(const QString &version, int trialSeconds)
{
    journalRecord.version = version;
    journalRecord.trialSeconds = trialSeconds;
    if (!recordStage(Stage::OnTrial))
        return false;
    // From now on the backup belongs to the journal: whoever ends the trial removes it.
    backupFolderOwned = false;
    return true;
}

std::optional<InstallJournal::Record> InstallTransaction::trialUnderWay(const QString &appPath)
{
    setProgramPath(appPath);
    const InstallJournal journal(appDir);
    if (!journal.exists())
        return std::nullopt;
    const InstallJournal::Reading reading = journal.read();
    if (!reading.record) {
        qCritical().noquote() << "安装日志无法使用:" << reading.error;
        return std::nullopt;
    }
    if (reading.record->stage != Stage::OnTrial)
        return std::nullopt;
    return reading.record;
}

InstallTransaction::RecoveryOutcome InstallTransaction::endTrial(const QString &backupFolder, bool healthy)
{
    if (!lockFolder(LockWait::UntilFree)) {
        unlockFolder();
        return RecoveryOutcome::Failed;
    }
    RecoveryOutcome outcome = RecoveryOutcome::NothingToDo;
    const InstallJournal::Reading reading = InstallJournal(appDir).read();
    if (reading.record && reading.record->stage == Stage::OnTrial &&
        reading.record->backupFolder == backupFolder) {
        journalRecord = *reading.record;
        const QString folder = appDir + QLatin1Char('/') + backupFolder;
        outcome = healthy ? commitTrial(folder) : rollBackTrial(folder);
    } else {
        qDebug() << "试用期已由另一次运行结束";
    }
    unlockFolder();
    return outcome;
}

// The watcher is gone (killed, or the machine restarted): a daemon that runs is the sign that the new
// version works, since whoever reaches this machine remotely needs nothing more. A daemon that is down may
// never have been started again (a kill before the restart): it is started once before it is judged.
InstallTransaction::RecoveryOutcome InstallTransaction::judgeInterruptedTrial(const QString &journalBackupDir)
{
    bool daemonRuns = observer.daemonServiceRunning && observer.daemonServiceRunning(appDir);
    if (!daemonRuns && observer.daemonServiceRunning) {
        qWarning() << "守护进程服务未运行，重新启动后再判定试用结果";
        restartDaemon();
        daemonRuns = observer.daemonServiceRunning(appDir);
    }
    qWarning().noquote() << (daemonRuns ? "试用期被中断，守护进程服务正在运行，确认新版本:"
                                        : "试用期被中断，守护进程服务未运行，恢复原版本:")
                         << journalRecord.version;
    return daemonRuns ? commitTrial(journalBackupDir) : rollBackTrial(journalBackupDir);
}

// "installed" first: from there a recovery only removes what is left of the backup.
InstallTransaction::RecoveryOutcome InstallTransaction::commitTrial(const QString &journalBackupDir)
{
    qInfo().noquote() << "试用期通过，新版本已确认:" << journalRecord.version;
    if (!recordStage(Stage::Installed)) {
        qCritical().noquote() << "无法记录试用期结果，保留备份和安装日志:" << appDir;
        return RecoveryOutcome::Failed;
    }
    releaseBackup(journalBackupDir, false);
    return RecoveryOutcome::Recovered;
}

// The record comes first, so that an interruption from here on finishes the rollback whatever runs then.
InstallTransaction::RecoveryOutcome InstallTransaction::rollBackTrial(const QString &journalBackupDir)
{
    qCritical().noquote() << "新版本试用失败，恢复原版本:" << journalRecord.version;
    if (journalRecord.stage != Stage::TrialRollBack && !recordStage(Stage::TrialRollBack)) {
        keepForNextAttempt();
        return RecoveryOutcome::Failed;
    }
    // Files in use cannot be put back: the product is stopped as the installation stops it.
    if (observer.stopProduct && !observer.stopProduct(appPath)) {
        qCritical() << "无法关闭产品进程，暂不恢复";
        keepForNextAttempt();
        return RecoveryOutcome::Failed;
    }
    if (!backupFolderUsable(journalBackupDir) || !rollBackFrom(journalBackupDir)) {
        keepForNextAttempt();
        return RecoveryOutcome::Failed;
    }
    qWarning().noquote() << "程序目录已恢复完整:" << appDir;
    releaseBackup(journalBackupDir, true);
    if (observer.startMainProgram)
        observer.startMainProgram(appPath);
    return RecoveryOutcome::Recovered;
}

void InstallTransaction::recordFailedVersion() const
{
    if (observer.recordFailedVersion)
        observer.recordFailedVersion(appDir, journalRecord.version);
}
