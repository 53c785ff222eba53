#include "ApplicationSetup.h"
#include "ElevationRequest.h"
#include "LogFile.h"
#include "PackageKeys.h"
#include "PackagePublicKeys.h"
#include "PathSafety.h"
#include "Platform.h"
#include "RecoveryCommand.h"
#include "StaleWorkFolderSweep.h"
#include "StartupConstants.h"
#include "UpdateInfoReader.h"
#include "UpdaterWindow.h"
#include "WatchCommand.h"

#include <QApplication>
#include <QPointer>

namespace {

// The window ends the process with exit code 0 in its destructor, so returning from here
// happens only if it did not.
int runUpdaterWindow(const UpdateInfo &info, const QStringList &publicKeys)
{
    const QPointer<UpdaterWindow> window = new UpdaterWindow;
    window->setExpectedSha256(info.sha256);
    window->setPackageSignature(info.signature, publicKeys);
    window->setTrialSeconds(info.trialSeconds);
    window->setUpdateInfo(info.appPath, info.newVersion, info.downloadUrl, info.mode, info.memo);
    window->setWindowFlags(window->windowFlags() | Qt::Tool);
    window->show();
    QApplication::exec();
    delete window.data(); // null when Qt already deleted it after its close event
    return startup::ExitSuccess;
}

} // namespace

int main(int argc, char *argv[])
{
    if (startup::isRecoveryCommand(argc, argv))
        return startup::runRecoveryCommand(argc, argv);
    if (startup::isWatchCommand(argc, argv))
        return startup::runWatchCommand(argc, argv);
    QApplication application(argc, argv);
    startup::convertNamesAsUtf8();
    // Before any mode is chosen, so that every run, early exits included, leaves its record: the copy
    // without administrator rights (asking for elevation, --help, --version) in the user's temporary
    // folder, the elevated one in the program-data folder.
    const bool administrator = platform::isRunningAsAdministrator();
    const startup::LogFile log(startup::LogFile::placeFor(administrator), QCoreApplication::arguments());
    QGuiApplication::setQuitOnLastWindowClosed(true);
    QCoreApplication::setApplicationName(startup::ApplicationName);
    QCoreApplication::setApplicationVersion(startup::ApplicationVersion);
    startup::answerCommandLineOptions(QCoreApplication::arguments());
    if (!administrator)
        return startup::requestElevatedCopy();

    startup::sweepStaleWorkFolders();
    const std::optional<UpdateInfo> info =
        startup::readUpdateInfo(QCoreApplication::arguments(), startup::recoverBeforeUpdate);
    if (!info)
        return startup::ExitFailure;
    const QStringList publicKeys = startup::packagePublicKeys(BuiltInPackagePublicKeys);

    startup::applyApplicationLook(application);
    return runUpdaterWindow(*info, publicKeys);
}
