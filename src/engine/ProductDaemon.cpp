#include "ProductDaemon.h"

#include "EngineConstants.h"
#include "PauseScale.h"

#include <QDebug>
#include <QFileInfo>
#include <QProcess>

using namespace engine;

ProductDaemon::ProductDaemon(const QString &appDir)
    : serverFolder(appDir + ServerSubfolder), executable(appDir + DaemonRelativePath)
{
}

bool ProductDaemon::restart() const
{
    if (!QFileInfo(executable).isFile()) {
        qDebug().noquote() << "守护进程不存在，无需启动:" << executable;
        return true;
    }
    qDebug().noquote() << "重新注册并启动守护进程:" << executable;
    QProcess install;
    install.setWorkingDirectory(serverFolder);
    install.start(executable, {DaemonInstallCommand}, QIODevice::ReadWrite);
    // The outcome of "install" does not matter, as in the restart after a success: "run" follows anyway.
    if (install.waitForStarted() && !install.waitForFinished(scaledPauseMs(DaemonInstallLimitMs))) {
        qWarning() << "守护进程注册超时，已终止";
        install.kill();
        install.waitForFinished();
    }
    pauseFor(DaemonRunDelayMs);
    if (QProcess::startDetached(executable, {DaemonRunCommand}, serverFolder))
        return true;
    const bool started = QProcess::startDetached(executable, {}, serverFolder);
    if (!started)
        qWarning().noquote() << "守护进程无法启动:" << executable;
    return started;
}
