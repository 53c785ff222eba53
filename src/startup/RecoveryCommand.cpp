#include "RecoveryCommand.h"

#include "InstallTransaction.h"
#include "LogFile.h"
#include "PathSafety.h"
#include "Platform.h"
#include "ProductDaemon.h"
#include "StartupConstants.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>

#include <cstring>

namespace startup {

namespace {

// The folder of the main executable must exist; the executable itself may be missing after an
// interruption, and the recovery brings it back.
bool isUsableProgramPath(const QStringList &arguments)
{
    return arguments.size() == 3 && !arguments.at(2).isEmpty() &&
           QFileInfo(QFileInfo(arguments.at(2)).absolutePath()).isDir();
}

// The run that was interrupted had stopped the product's daemon; the recovery starts it again.
InstallTransaction::RecoveryOutcome recover(const QString &appPath, InstallTransaction::LockWait wait)
{
    InstallTransaction::Observer observer;
    observer.restartDaemon = [](const QString &appDir) { ProductDaemon(appDir).restart(); };
    return InstallTransaction(observer).recover(appPath, wait);
}

} // namespace

bool isRecoveryCommand(int argc, char *argv[])
{
    return argc >= 2 && std::strcmp(argv[1], transaction::RecoverOption.toLatin1().constData()) == 0;
}

int runRecoveryCommand(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    convertNamesAsUtf8();
    // A recovery at logon has no console: its file is the only record of what it did.
    const bool administrator = platform::isRunningAsAdministrator();
    const LogFile log(LogFile::placeFor(administrator), QCoreApplication::arguments());
    QCoreApplication::setApplicationName(ApplicationName);
    QCoreApplication::setApplicationVersion(ApplicationVersion);
    const QStringList arguments = QCoreApplication::arguments();
    if (!isUsableProgramPath(arguments)) {
        qCritical().noquote() << LogRecoveryUsage;
        return ExitFailure;
    }
    if (!administrator) {
        qCritical() << LogRecoveryNeedsAdministrator;
        return ExitRecoveryFailed;
    }
    // The folder checked is the folder recovered: no link on the way that could be turned elsewhere.
    const QString program = realPath(QFileInfo(arguments.at(2)).absoluteFilePath());
    if (!isTrustedProgramFolder(QFileInfo(program).path()))
        return ExitRecoveryFailed;
    const InstallTransaction::RecoveryOutcome outcome =
        recover(program, InstallTransaction::LockWait::UntilFree);
    return outcome == InstallTransaction::RecoveryOutcome::Failed ? ExitRecoveryFailed : ExitSuccess;
}

void recoverBeforeUpdate(const QString &appPath)
{
    recover(QFileInfo(appPath).absoluteFilePath(), InstallTransaction::LockWait::SkipWhenBusy);
}

} // namespace startup
