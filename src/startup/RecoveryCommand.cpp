#include "RecoveryCommand.h"

#include "HeadlessCommand.h"
#include "InstallTransaction.h"
#include "ProductObserver.h"
#include "StartupConstants.h"

#include <QFileInfo>

namespace startup {

namespace {

// The run that was interrupted had stopped the product's daemon; the recovery starts it again, and after
// a failed trial that it rolls back, the old main program too.
InstallTransaction::RecoveryOutcome recover(const QString &appPath, InstallTransaction::LockWait wait)
{
    return InstallTransaction(engine::productObserver(true)).recover(appPath, wait);
}

} // namespace

bool isRecoveryCommand(int argc, char *argv[])
{
    return isHeadlessCommand(argc, argv, transaction::RecoverOption);
}

int runRecoveryCommand(int argc, char *argv[])
{
    return runHeadlessCommand(
        argc, argv, {LogRecoveryUsage, LogRecoveryNeedsAdministrator}, [](const QString &program) {
            const InstallTransaction::RecoveryOutcome outcome =
                recover(program, InstallTransaction::LockWait::UntilFree);
            return outcome == InstallTransaction::RecoveryOutcome::Failed ? ExitRecoveryFailed : ExitSuccess;
        });
}

void recoverBeforeUpdate(const QString &appPath)
{
    recover(QFileInfo(appPath).absoluteFilePath(), InstallTransaction::LockWait::SkipWhenBusy);
}

} // namespace startup
