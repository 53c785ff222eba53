#include "PauseScale.h"
#include "PowerShellCommand.h"
#include "UpdateEngine.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

using namespace engine;

namespace {

enum class ToolOutcome
{
    Succeeded,
    Failed,
    // Killed at its time limit but not gone: nothing else may write into the folder.
    StillRunning,
};

enum class ToolEnd
{
    Finished,
    NotStarted,
    KilledAndGone,
    StillRunning,
};

QStringList topLevelFiles(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
}

QString flagText(bool flag)
{
    return flag ? QStringLiteral("true") : QStringLiteral("false");
}

bool isExtractablePackage(const QString &zipPath)
{
    const QFileInfo package(zipPath);
    if (!package.exists()) {
        qDebug().noquote() << "错误：临时文件不存在:" << zipPath;
        return false;
    }
    qDebug() << "更新包大小:" << package.size() << "字节";
    if (package.size() < MinimumExtractablePackageBytes) {
        qDebug() << "错误：更新包文件太小，可能损坏";
        return false;
    }
    return true;
}

// A tool stopped at its limit may still hold a half-written file open; it is
// waited for so that the next writer never overlaps it.
ToolEnd runTool(QProcess &process, const QString &program, const QStringList &arguments, int timeoutMs)
{
    process.start(program, arguments, QIODevice::ReadWrite);
    if (process.waitForFinished(timeoutMs))
        return ToolEnd::Finished;
    if (process.state() == QProcess::NotRunning) {
        qWarning().noquote() << "无法启动解压工具:" << program << process.errorString();
        return ToolEnd::NotStarted;
    }
    qWarning().noquote() << "解压工具超时，终止:" << program << timeoutMs << "ms";
    process.kill();
    if (process.waitForFinished(KilledToolWaitMs))
        return ToolEnd::KilledAndGone;
    qCritical().noquote() << "解压工具终止后仍在运行:" << program;
    return ToolEnd::StillRunning;
}

ToolOutcome outcomeOfUnfinished(ToolEnd end)
{
    return end == ToolEnd::StillRunning ? ToolOutcome::StillRunning : ToolOutcome::Failed;
}

bool exitedCleanly(const QProcess &process)
{
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

ToolOutcome expandWithPowerShell(const QString &zipPath, const QString &appDir, int timeoutMs,
                                 QString &errorText)
{
    QProcess process;
    process.setWorkingDirectory(appDir);
    const QString encoded = encodePowerShellCommand(expandArchiveScript(zipPath, appDir));
    const ToolEnd end =
        runTool(process, PowerShellProgram,
                {QStringLiteral("-NoProfile"), QStringLiteral("-EncodedCommand"), encoded}, timeoutMs);
    if (end != ToolEnd::Finished)
        return outcomeOfUnfinished(end);
    const QString output = QString::fromLocal8Bit(process.readAllStandardOutput());
    const QString error = QString::fromLocal8Bit(process.readAllStandardError());
    qDebug() << "PowerShell退出码:" << process.exitCode();
    qDebug().noquote() << "PowerShell输出:" << output;
    qDebug().noquote() << "PowerShell错误:" << error;
    if (exitedCleanly(process))
        return ToolOutcome::Succeeded;
    errorText = error;
    return ToolOutcome::Failed;
}

ToolOutcome extractWithTar(const QString &zipPath, const QString &appDir, int timeoutMs)
{
    qDebug() << "尝试使用tar解压";
    QProcess process;
    process.setWorkingDirectory(appDir);
    const ToolEnd end = runTool(process, TarProgram,
                                {QStringLiteral("-xf"), zipPath, QStringLiteral("-C"), appDir}, timeoutMs);
    if (end != ToolEnd::Finished)
        return outcomeOfUnfinished(end);
    qDebug() << "tar退出码:" << process.exitCode();
    return exitedCleanly(process) ? ToolOutcome::Succeeded : ToolOutcome::Failed;
}

// Only logged: a new name proves nothing about the rest of the folder, so it
// never makes a run without a successful tool count as installed.
bool logNewTopLevelFiles(const QStringList &before, const QStringList &after)
{
    bool found = false;
    for (const QString &name : after) {
        if (!before.contains(name)) {
            qDebug().noquote() << "新增文件:" << name;
            found = true;
        }
    }
    return found;
}

} // namespace

bool UpdateEngine::extractUpdatePackage()
{
    qDebug() << "=== 开始解压更新包 ===";
    if (!isExtractablePackage(zipPath))
        return false;
    // Normally read by the download's integrity check; read here when this engine did not download it.
    if (packageListing.isEmpty() && !packageListing.read(zipPath))
        return false;
    const QStringList before = topLevelFiles(appDir);
    qDebug() << "解压前文件数:" << before.size();

    QString errorText;
    // An exit code proves nothing (a stub PowerShell exits 0 having written nothing): the
    // folder must hold every file of the package, else tar gets its turn.
    ToolOutcome outcome = expandWithPowerShell(zipPath, appDir, powerShellTimeoutMs, errorText);
    bool installed = outcome == ToolOutcome::Succeeded && packageListing.isInstalledIn(appDir);
    if (!installed && outcome != ToolOutcome::StillRunning) {
        outcome = extractWithTar(zipPath, appDir, tarTimeoutMs);
        installed = outcome == ToolOutcome::Succeeded && packageListing.isInstalledIn(appDir);
    }
    const bool commandSucceeded = outcome == ToolOutcome::Succeeded;

    for (int percent = ExtractionProgressStart; percent <= ExtractionProgressEnd;
         percent += ExtractionProgressStep) {
        emit installProgress(percent, ProgressExtracting);
        pauseFor(ExtractionProgressPauseMs);
    }

    const QStringList after = topLevelFiles(appDir);
    qDebug() << "解压后文件数:" << after.size();
    const bool newFiles = logNewTopLevelFiles(before, after);
    qDebug().noquote() << QStringLiteral("解压结果: 命令成功=%1, 新增文件=%2, 最终结果=%3")
                              .arg(flagText(commandSucceeded), flagText(newFiles), flagText(installed));
    if (!installed && !errorText.isEmpty())
        qDebug().noquote() << "解压错误:" << errorText;
    return installed;
}
