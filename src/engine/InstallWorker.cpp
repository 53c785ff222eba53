#include "FileSafety.h"
#include "PackageCheck.h"
#include "PauseScale.h"
#include "ProductConfig.h"
#include "UpdateEngine.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>

using namespace engine;

void UpdateEngine::startInstall()
{
    if (workerThread) {
        // The engine lives on the worker thread until its sequence has ended.
        if (thread() == workerThread) {
            qWarning() << "安装仍在进行，忽略新的安装请求";
            return;
        }
        // The finished run has already asked its thread to quit.
        workerThread->wait();
        delete workerThread;
        workerThread = nullptr;
    }
    workerThread = new QThread;
    moveToThread(workerThread);
    connect(workerThread, &QThread::started, this, &UpdateEngine::doInstallWork);
    workerThread->start();
}

void UpdateEngine::doInstallWork()
{
    qDebug() << "=== 开始执行安装（工作线程）===";
    if (prepareProgramFolder())
        runInstallSteps();
    // On trial the lock stays until the window has restarted the product and handed over to the watcher (the
    // process's end releases it): no other run judges the trial before the daemon has been started again.
    if (!onTrial)
        installTransaction.unlockFolder();
    moveToThread(QCoreApplication::instance()->thread());
    workerThread->quit();
}

void UpdateEngine::runInstallSteps()
{
    // Without a journal an interruption could not be repaired: nothing is changed then. The journal names
    // the backup folder from its first record, so the folder is made first: a name chosen before its folder
    // existed could be taken by anything in between, and a recovery would then act on that.
    if (!installTransaction.begin()) {
        cleanupTempDir();
        installTransaction.removeBackupUnlessNeeded();
        endInstallWithError(ErrorBackupFailed);
        return;
    }
    emit installProgress(InstallProgressStart, ProgressClosing);
    if (!closeRelatedProcesses()) {
        // Nothing in the program folder has been touched yet.
        emit installProgress(RecoveryProgress, ProgressRecoveryStarted);
        cleanupTempDir();
        installTransaction.removeBackupUnlessNeeded();
        installTransaction.endAndRestartDaemon();
        endInstallWithError(ErrorProcessesNotClosed);
        return;
    }
    pauseFor(PauseAfterProcessesClosedMs);

    emit installProgress(BackupProgressStart, ProgressBackup);
    if (!installTransaction.recordStage(InstallJournal::Stage::BackupStarted) || !createBackup() ||
        !installTransaction.recordBackupComplete()) {
        // The program files are untouched; a partial backup only holds copies of them.
        cleanupTempDir();
        installTransaction.removeBackupUnlessNeeded();
        installTransaction.endAndRestartDaemon();
        endInstallWithError(ErrorBackupFailed);
        return;
    }

    emit installProgress(ExtractionProgressStart, ProgressInstalling);
    installTransaction.recordStage(InstallJournal::Stage::ExtractionStarted);
    if (extractUpdatePackage())
        finishInstall();
    else
        restoreOldVersion();
}

// The product learns of its update only from config.ini: a config.ini that could not be written is no
// update, and the old version goes back (a product that keeps none is updated as before). A journal that
// still says the extraction was under way would make the next recovery put the backup back in any case, so
// the backup is put back now and kept for that recovery.
void UpdateEngine::finishInstall()
{
    emit installProgress(FinalizingProgress, ProgressFinalizing);
    const bool configPresent =
        platform::entryStatus(configPath.toUtf8().toStdString()).type != platform::EntryType::Missing;
    if (!updateConfigFile()) {
        if (configPresent) {
            qCritical() << "配置文件更新失败，恢复原版本";
            restoreOldVersion();
            return;
        }
        qWarning() << "配置文件更新失败，但程序更新已成功";
    }
    const bool recorded = trialSeconds > 0 ? installTransaction.recordOnTrial(newVersion, trialSeconds)
                                           : installTransaction.recordStage(InstallJournal::Stage::Installed);
    if (!recorded) {
        qCritical() << "无法记录安装完成，恢复原版本并保留备份";
        installTransaction.keepBackup();
        restoreOldVersion();
        return;
    }
    onTrial = trialSeconds > 0;
    // On trial the backup is the journal's: whoever ends the trial removes it.
    cleanupTempDir();
    installTransaction.removeBackupUnlessNeeded();
    pauseFor(PauseBeforeFinishMs);
    emit installProgress(InstallProgressEnd, ProgressFinalizingDone);
    qInfo().noquote() << InstallSucceeded;
    running = false;
    emit updateFinished(true, InstallSucceeded);
}

void UpdateEngine::restoreOldVersion()
{
    emit installProgress(RecoveryProgress, ProgressRecoveryInProgress);
    installTransaction.recordStage(InstallJournal::Stage::RestoreStarted);
    // Anything short of every file back is not the previous version: the user must reinstall. The backup
    // may then hold the only copy of the program files; the package stays beside it.
    if (!restoreBackup()) {
        endInstallWithError(ErrorInstallNotRestored);
        return;
    }
    installTransaction.recordRestoredIfWhole();
    cleanupTempDir();
    installTransaction.removeBackupUnlessNeeded();
    if (!installTransaction.backupMustBeKept())
        installTransaction.endAndRestartDaemon();
    endInstallWithError(ErrorInstallRestored);
}

void UpdateEngine::endInstallWithError(const QString &error)
{
    // The outcome the user is shown, so that the log file says how the run ended.
    qCritical().noquote() << error;
    running = false;
    emit errorOccurred(error);
}

// Under the lock, a journal left by an interrupted run is dealt with first: a backup of a half-new folder
// must never be taken for the old version.
bool UpdateEngine::prepareProgramFolder()
{
    if (!installTransaction.lockFolder(InstallTransaction::LockWait::UntilFree)) {
        endInstallWithError(ErrorBackupFailed);
        return false;
    }
    // A trial of this very version, begun by another updater while this one waited, is its watcher's to end.
    const std::optional<InstallJournal::Record> trial = installTransaction.trialUnderWay(appPath);
    const bool trialOfThisVersion = trial && trial->version == newVersion;
    if (!trialOfThisVersion &&
        installTransaction.recoverInterrupted() == InstallTransaction::RecoveryOutcome::Failed) {
        endInstallWithError(ErrorInstallNotRestored);
        return false;
    }
    if (ProductConfig(configPath).installedVersion() == newVersion) {
        finishAsAlreadyInstalled();
        return false;
    }
    // Judged at the download, but another updater may have installed a newer version while this one waited.
    if (!packageListing.isEmpty() &&
        !PackageCheck::fitsInstalledVersion(packageListing, appDir, configPath, newVersion)) {
        cleanupTempDir();
        endInstallWithError(ErrorIntegrity);
        return false;
    }
    return true;
}

// Another updater for the same product and version has done the work (two started a second apart): a second
// installation would stop the product only to start a second copy of its main program.
void UpdateEngine::finishAsAlreadyInstalled()
{
    qInfo().noquote() << "此版本已由另一个更新程序安装，不再重复安装:" << newVersion;
    cleanupTempDir();
    alreadyInstalled = true;
    running = false;
    emit installProgress(InstallProgressEnd, ProgressFinalizingDone);
    emit updateFinished(true, InstallSucceeded);
}

void UpdateEngine::completeInstallation()
{
    installTransaction.complete();
}
