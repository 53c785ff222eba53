#include "TrialWatch.h"

#include "Platform.h"
#include "ProductConstants.h"
#include "ProductDaemon.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

using namespace product;

TrialWatch::TrialWatch(const QString &appPath, int trialMs) : appPath(appPath), trialMs(trialMs) {}

TrialWatch::Verdict TrialWatch::run(const std::function<bool()> &stillOnTrial)
{
    Verdict verdict{true, {}};
    if (!startMainProgram())
        return {false, QStringLiteral("主程序无法启动")};
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < trialMs) {
        if (mainProgramFailed(verdict))
            return verdict;
        if (!stillOnTrial())
            return verdict;
        QThread::msleep(TrialPollMs);
    }
    if (mainProgramFailed(verdict))
        return verdict;
    const ProductDaemon daemon(QFileInfo(appPath).absolutePath());
    if (!daemon.serviceRunning())
        return {false, QStringLiteral("试用期结束时守护进程服务未运行: ") + daemon.path()};
    return verdict;
}

bool TrialWatch::startMainProgram()
{
    const QString folder = QFileInfo(appPath).absolutePath();
    mainProgram = platform::startWatchedProgram(appPath.toStdString(), {}, folder.toStdString());
    if (mainProgram == 0) {
        qCritical().noquote() << "无法启动主程序:" << appPath;
        return false;
    }
    qDebug().noquote() << "已启动主程序，进程号:" << mainProgram;
    return true;
}

bool TrialWatch::mainProgramFailed(Verdict &verdict)
{
    if (mainProgramEnded)
        return false;
    const platform::ProgramEnd end = platform::watchedProgramEnd(mainProgram);
    if (end.running)
        return false;
    mainProgramEnded = true;
    if (!end.crashed && end.exitCode == 0) {
        qDebug() << "主程序已正常退出（退出码 0）";
        return false;
    }
    verdict.healthy = false;
    verdict.reason = end.crashed ? QStringLiteral("主程序崩溃退出，代码: %1").arg(end.exitCode)
                                 : QStringLiteral("主程序异常退出，退出码: %1").arg(end.exitCode);
    return true;
}
