#include "ExtractionTools.h"

#include "PackageConstants.h"
#include "PackageListing.h"
#include "PowerShellCommand.h"

#include <QDebug>

using namespace engine;
using namespace package;

ExtractionTools::ExtractionTools(const QString &zipPath, const QString &appDir)
    : zipPath(zipPath), appDir(appDir)
{
}

bool ExtractionTools::extract(const PackageListing &listing, int powerShellTimeoutMs, int tarTimeoutMs)
{
    lastOutcome = expandWithPowerShell(powerShellTimeoutMs);
    bool installed = lastOutcome == Outcome::Succeeded && listing.isInstalledIn(appDir);
    if (!installed && lastOutcome != Outcome::StillRunning) {
        lastOutcome = extractWithTar(tarTimeoutMs);
        installed = lastOutcome == Outcome::Succeeded && listing.isInstalledIn(appDir);
    }
    return installed;
}

ExtractionTools::Outcome ExtractionTools::expandWithPowerShell(int timeoutMs)
{
    const QString encoded = encodePowerShellCommand(expandArchiveScript(zipPath, appDir));
    ToolProcess tool(PowerShellProgram,
                     {QStringLiteral("-NoProfile"), QStringLiteral("-EncodedCommand"), encoded});
    tool.setWorkingFolder(appDir);
    const ToolProcess::End end = runTool(tool, timeoutMs);
    if (end != ToolProcess::End::Finished)
        return outcomeOfUnfinished(end);
    const QString output = QString::fromLocal8Bit(tool.readOutput());
    const QString error = QString::fromLocal8Bit(tool.readErrors());
    qDebug() << "PowerShell退出码:" << tool.exitCode();
    qDebug().noquote() << "PowerShell输出:" << output;
    qDebug().noquote() << "PowerShell错误:" << error;
    if (tool.exitedCleanly())
        return Outcome::Succeeded;
    powerShellError = error;
    return Outcome::Failed;
}

ExtractionTools::Outcome ExtractionTools::extractWithTar(int timeoutMs)
{
    qDebug() << "尝试使用tar解压";
    ToolProcess tool(TarProgram, {QStringLiteral("-xf"), zipPath, QStringLiteral("-C"), appDir});
    tool.setWorkingFolder(appDir);
    // tar converts the zip's UTF-8 names to its locale: in the C locale of an elevated copy started without
    // LANG it would skip every non-ASCII name.
    tool.setEnvironmentVariable(ToolLocaleVariable, ToolUtf8Locale);
    const ToolProcess::End end = runTool(tool, timeoutMs);
    if (end != ToolProcess::End::Finished)
        return outcomeOfUnfinished(end);
    qDebug() << "tar退出码:" << tool.exitCode();
    return tool.exitedCleanly() ? Outcome::Succeeded : Outcome::Failed;
}

// Runs the tool and logs how it ended when it did not end by itself.
ToolProcess::End ExtractionTools::runTool(ToolProcess &tool, int timeoutMs)
{
    const ToolProcess::End end = tool.run(timeoutMs, KilledToolWaitMs);
    if (end == ToolProcess::End::NotStarted)
        qWarning().noquote() << "无法启动解压工具:" << tool.program() << tool.errorText();
    if (end == ToolProcess::End::KilledAndGone || end == ToolProcess::End::StillRunning)
        qWarning().noquote() << "解压工具超时，终止:" << tool.program() << timeoutMs << "ms";
    if (end == ToolProcess::End::StillRunning)
        qCritical().noquote() << "解压工具终止后仍在运行:" << tool.program();
    return end;
}

// A tool killed at its limit but not gone may still hold a half-written file open: nothing else may write
// into the folder then.
ExtractionTools::Outcome ExtractionTools::outcomeOfUnfinished(ToolProcess::End end)
{
    return end == ToolProcess::End::StillRunning ? Outcome::StillRunning : Outcome::Failed;
}
