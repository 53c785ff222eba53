#include "ProductObserver.h"
#include "UpdateEngine.h"

using namespace engine;

// The transaction reports through the engine's signals: what the window shows while it waits, backs up and
// restores. Called from the worker thread, as the steps themselves.
InstallTransaction::Observer UpdateEngine::transactionObserver()
{
    // The restart that follows the installation starts the main program.
    InstallTransaction::Observer observer = productObserver(false);
    observer.waitingForFolder = [this] {
        emit installProgress(InstallProgressStart, ProgressWaitingForOtherUpdate);
    };
    observer.backupProgress = [this](int done, int total) {
        const int percent = BackupProgressStart + qMin(BackupProgressSpan, BackupProgressSpan * done / total);
        emit installProgress(percent, ProgressBackupFiles.arg(done).arg(total));
    };
    observer.restoreProgress = [this](int restored, int total) {
        emit installProgress(RestoreProgressStart + RestoreProgressSpan * restored / total,
                             ProgressRestoring.arg(restored).arg(total));
    };
    return observer;
}

bool UpdateEngine::createBackup()
{
    return installTransaction.backUp();
}

bool UpdateEngine::restoreBackup()
{
    return installTransaction.restore();
}
