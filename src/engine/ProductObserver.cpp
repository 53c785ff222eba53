#include "ProductObserver.h"

#include "EngineConstants.h"
#include "PauseScale.h"
#include "ProductConfig.h"
#include "ProductConstants.h"
#include "ProductDaemon.h"
#include "ProductProcesses.h"
#include "ToolProcess.h"

#include <QFileInfo>

namespace engine {

InstallTransaction::Observer productObserver(bool startMainProgram)
{
    InstallTransaction::Observer observer;
    observer.restartDaemon = [](const QString &appDir) { ProductDaemon(appDir).restart(); };
    observer.stopProduct = [](const QString &appPath) { return ProductProcesses(appPath).closeAll(); };
    observer.recordFailedVersion = [](const QString &appDir, const QString &version) {
        ProductConfig(appDir + QLatin1Char('/') + ConfigFileName).recordFailedVersion(version);
    };
    observer.daemonServiceRunning = [](const QString &appDir) {
        return ProductDaemon(appDir).serviceRunning(scaledPauseMs(product::DaemonServiceGraceMs));
    };
    if (startMainProgram) {
        observer.startMainProgram = [](const QString &appPath) {
            ToolProcess::startDetached(appPath, {}, QFileInfo(appPath).absolutePath());
        };
    }
    return observer;
}

} // namespace engine
