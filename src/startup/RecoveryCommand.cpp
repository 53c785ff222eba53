#include "RecoveryCommand.h"

#include "EngineConstants.h"
#include "LogFile.h"
#include "PathSafety.h"
#include "Platform.h"
#include "StartupConstants.h"
#include "UpdateEngine.h"

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

} // namespace

bool isRecoveryCommand(int argc, char *argv[])
{
    return argc >= 2 && std::strcmp(argv[1], engine::RecoverOption.toLatin1().constData()) == 0;
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
    UpdateEngine engine;
    const UpdateEngine::RecoveryOutcome outcome =
        engine.recoverProgramFolder(program, UpdateEngine::LockWait::Wait);
    return outcome == UpdateEngine::RecoveryOutcome::Failed ? ExitRecoveryFailed : ExitSuccess;
}

void recoverBeforeUpdate(const QString &appPath)
{
    UpdateEngine engine;
    engine.recoverProgramFolder(QFileInfo(appPath).absoluteFilePath(), UpdateEngine::LockWait::SkipWhenBusy);
}

} // namespace startup
