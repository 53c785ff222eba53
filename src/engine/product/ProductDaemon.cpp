#include "ProductDaemon.h"

#include "PauseScale.h"
#include "Platform.h"
#include "ProductConstants.h"
#include "ToolProcess.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <memory>

using namespace product;
using engine::pauseFor;
using engine::scaledPauseMs;

ProductDaemon::ProductDaemon(const QString &appDir)
    : serverFolder(appDir + ServerSubfolder), executable(appDir + DaemonRelativePath)
{
}

bool ProductDaemon::exists() const
{
    return QFile::exists(executable);
}

// A stop still running after the pause is killed when its process object goes.
void ProductDaemon::stop() const
{
    qDebug() << "停止守护进程服务...";
    ToolProcess stop(executable, {DaemonStopCommand});
    stop.start();
    if (stop.waitForEnd(DaemonStopWaitMs))
        qDebug() << "服务停止命令完成，退出码:" << stop.exitCode();
    pauseFor(PauseAfterDaemonStopMs);
}

ToolProcess *ProductDaemon::installCommand(QObject *parent) const
{
    auto *install = new ToolProcess(executable, {DaemonInstallCommand}, parent);
    install->setWorkingFolder(serverFolder);
    return install;
}

bool ProductDaemon::startRun() const
{
    return ToolProcess::startDetached(executable, {DaemonRunCommand}, serverFolder) ||
           ToolProcess::startDetached(executable, {}, serverFolder);
}

bool ProductDaemon::restart() const
{
    if (!QFileInfo(executable).isFile()) {
        qDebug().noquote() << "守护进程不存在，无需启动:" << executable;
        return true;
    }
    qDebug().noquote() << "重新注册并启动守护进程:" << executable;
    const std::unique_ptr<ToolProcess> install(installCommand(nullptr));
    // The outcome of "install" does not matter, as in the restart after a success: "run" follows anyway.
    const ToolProcess::End end = install->run(scaledPauseMs(DaemonInstallLimitMs), KilledDaemonInstallWaitMs);
    if (end == ToolProcess::End::KilledAndGone || end == ToolProcess::End::StillRunning)
        qWarning() << "守护进程注册超时，已终止";
    pauseFor(DaemonRunDelayMs);
    if (startRun())
        return true;
    qWarning().noquote() << "守护进程无法启动:" << executable;
    return false;
}

bool ProductDaemon::serviceRunning(int graceMs) const
{
    if (!exists())
        return true;
    QElapsedTimer elapsed;
    elapsed.start();
    while (!platform::isExecutableRunning(executable.toStdString())) {
        if (elapsed.elapsed() >= graceMs)
            return false;
        QThread::msleep(DaemonServicePollMs);
    }
    // The daemon's short commands ("install", "run") run from the same file: only a process that is still
    // there a moment later is taken for the service.
    QThread::msleep(DaemonServiceConfirmMs);
    return platform::isExecutableRunning(executable.toStdString());
}
