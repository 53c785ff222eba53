#include "PauseScale.h"
#include "UpdateEngine.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

using namespace engine;

namespace {

const QString StopCommand = QStringLiteral("stop");
const QString ImageNameFilter = QStringLiteral("IMAGENAME eq %1");

QStringList forceKillArguments(const QString &imageName)
{
    return {QStringLiteral("/F"), QStringLiteral("/IM"), imageName, QStringLiteral("/T")};
}

// The stop command only asks; the kills below do the rest. A stop still running
// after the pause is killed when its QProcess goes.
void stopDaemonService(const QString &daemonPath)
{
    qDebug() << "停止守护进程服务...";
    QProcess stop;
    stop.start(daemonPath, {StopCommand}, QIODevice::ReadWrite);
    if (stop.waitForFinished(DaemonStopWaitMs))
        qDebug() << "服务停止命令完成，退出码:" << stop.exitCode();
    pauseFor(PauseAfterDaemonStopMs);
}

// A non-zero exit code usually means that no such process was running.
void forceKill(const QString &imageName)
{
    qDebug().noquote() << "强制关闭进程:" << imageName;
    QProcess taskkill;
    taskkill.start(TaskkillProgram, forceKillArguments(imageName), QIODevice::ReadWrite);
    if (taskkill.waitForFinished(TaskkillWaitMs))
        qDebug().noquote() << "关闭" << imageName << "退出码:" << taskkill.exitCode();
    pauseFor(PauseAfterTaskkillMs);
}

// Windows shows the image name in the list while such a process runs. The
// comparison is case-sensitive, and a tasklist that cannot run shows nothing.
bool appearsInTaskList(const QString &imageName)
{
    QProcess tasklist;
    tasklist.start(TasklistProgram, {QStringLiteral("/FI"), ImageNameFilter.arg(imageName)},
                   QIODevice::ReadWrite);
    tasklist.waitForFinished(TasklistWaitMs);
    return QString::fromLocal8Bit(tasklist.readAllStandardOutput()).contains(imageName, Qt::CaseSensitive);
}

void killLeftovers(const QStringList &imageNames)
{
    qDebug() << "检查残留进程...";
    for (const QString &imageName : imageNames) {
        if (!appearsInTaskList(imageName))
            continue;
        qDebug().noquote() << "发现残留进程:" << imageName << "，再次尝试关闭";
        QProcess::execute(TaskkillProgram, forceKillArguments(imageName));
    }
}

} // namespace

bool UpdateEngine::closeRelatedProcesses()
{
    qDebug() << "=== 开始关闭相关进程 ===";
    const QFileInfo program(appPath);
    const QString programFolder = program.absolutePath();
    const QString mainImageName = program.fileName();
    qDebug().noquote() << "程序目录:" << programFolder;
    qDebug().noquote() << "主程序名称:" << mainImageName;

    const QString daemonPath = programFolder + DaemonRelativePath;
    const bool daemonExists = QFile::exists(daemonPath);
    qDebug().noquote() << "守护进程路径:" << daemonPath << "存在:" << daemonExists;
    if (daemonExists)
        stopDaemonService(daemonPath);

    const QStringList imageNames{DaemonImageName, ServerImageName, mainImageName};
    for (const QString &imageName : imageNames)
        forceKill(imageName);
    killLeftovers(imageNames);

    const bool mainClosed = !appearsInTaskList(mainImageName);
    qDebug() << "主程序关闭状态:" << (mainClosed ? "已关闭" : "可能仍在运行");
    pauseFor(PauseAfterShutdownMs);
    qDebug() << "关闭进程完成";
    return mainClosed;
}
