#include "ProductProcesses.h"

#include "PauseScale.h"
#include "ProductConstants.h"
#include "ProductDaemon.h"
#include "ToolProcess.h"

#include <QDebug>
#include <QFileInfo>

using namespace product;
using engine::pauseFor;

namespace {

const QString ImageNameFilter = QStringLiteral("IMAGENAME eq %1");

QStringList forceKillArguments(const QString &imageName)
{
    return {QStringLiteral("/F"), QStringLiteral("/IM"), imageName, QStringLiteral("/T")};
}

} // namespace

ProductProcesses::ProductProcesses(const QString &appPath)
    : programFolder(QFileInfo(appPath).absolutePath()),
      mainImageName(QFileInfo(appPath).fileName()), imageNames{DaemonImageName, ServerImageName,
                                                               mainImageName}
{
}

bool ProductProcesses::closeAll() const
{
    qDebug() << "=== 开始关闭相关进程 ===";
    qDebug().noquote() << "程序目录:" << programFolder;
    qDebug().noquote() << "主程序名称:" << mainImageName;

    const ProductDaemon daemon(programFolder);
    const bool daemonExists = daemon.exists();
    qDebug().noquote() << "守护进程路径:" << daemon.path() << "存在:" << daemonExists;
    if (daemonExists)
        daemon.stop();

    for (const QString &imageName : imageNames)
        forceKill(imageName);
    killLeftovers();

    const bool mainClosed = !appearsInTaskList(mainImageName);
    qDebug() << "主程序关闭状态:" << (mainClosed ? "已关闭" : "可能仍在运行");
    pauseFor(PauseAfterShutdownMs);
    qDebug() << "关闭进程完成";
    return mainClosed;
}

// A non-zero exit code usually means that no such process was running.
void ProductProcesses::forceKill(const QString &imageName)
{
    qDebug().noquote() << "强制关闭进程:" << imageName;
    ToolProcess taskkill(TaskkillProgram, forceKillArguments(imageName));
    taskkill.start();
    if (taskkill.waitForEnd(TaskkillWaitMs))
        qDebug().noquote() << "关闭" << imageName << "退出码:" << taskkill.exitCode();
    pauseFor(PauseAfterTaskkillMs);
}

// Windows shows the image name in the list while such a process runs. The comparison is case-sensitive, and
// a tasklist that cannot run shows nothing.
bool ProductProcesses::appearsInTaskList(const QString &imageName)
{
    ToolProcess tasklist(TasklistProgram, {QStringLiteral("/FI"), ImageNameFilter.arg(imageName)});
    tasklist.start();
    tasklist.waitForEnd(TasklistWaitMs);
    return QString::fromLocal8Bit(tasklist.readOutput()).contains(imageName, Qt::CaseSensitive);
}

// The second kill is waited for without a limit, its output going to the updater's own.
void ProductProcesses::killLeftovers() const
{
    qDebug() << "检查残留进程...";
    for (const QString &imageName : imageNames) {
        if (!appearsInTaskList(imageName))
            continue;
        qDebug().noquote() << "发现残留进程:" << imageName << "，再次尝试关闭";
        ToolProcess taskkill(TaskkillProgram, forceKillArguments(imageName));
        taskkill.forwardOutput();
        taskkill.start();
        taskkill.waitForEnd(-1);
    }
}
