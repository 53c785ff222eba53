#include "PauseScale.h"
#include "PowerShellCommand.h"
#include "ProgramFolderWalk.h"
#include "UpdateEngine.h"

#include "FileSafety.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QVector>

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
    // tar converts the zip's UTF-8 names to its locale: in the C locale of an elevated copy started without
    // LANG it would skip every non-ASCII name.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(ToolLocaleVariable, ToolUtf8Locale);
    process.setProcessEnvironment(environment);
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

// What is at a path of the program folder, as far as the check after the extraction cares.
struct EntryKind
{
    platform::EntryType type;
    bool setId;

    bool operator==(const EntryKind &other) const { return type == other.type && setId == other.setId; }
};

struct FoundEntry
{
    QString relativePath;
    EntryKind kind;
};

void walkFolder(const QString &root, const QString &relativeFolder, QVector<FoundEntry> &found)
{
    const QString folder = relativeFolder.isEmpty() ? root : root + QLatin1Char('/') + relativeFolder;
    const QStringList names =
        QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString relative = relativeFolder.isEmpty() ? name : relativeFolder + QLatin1Char('/') + name;
        if (ProgramFolderWalk::isInBackupFolder(relative))
            continue;
        const platform::EntryStatus status =
            platform::entryStatus((root + QLatin1Char('/') + relative).toUtf8().toStdString());
        found.append({relative, {status.type, status.setIdBits}});
        // Links and junctions are listed, never entered.
        if (status.type == platform::EntryType::Folder)
            walkFolder(root, relative, found);
    }
}

// Everything in the program folder but the backup folders and files, whatever its kind.
QVector<FoundEntry> programFolderEntries(const QString &appDir)
{
    QVector<FoundEntry> found;
    const QString root = QFileInfo(appDir).canonicalFilePath();
    if (!root.isEmpty())
        walkFolder(root, QString(), found);
    return found;
}

QHash<QString, EntryKind> kindsByWindowsName(const QVector<FoundEntry> &entries)
{
    QHash<QString, EntryKind> kinds;
    for (const FoundEntry &entry : entries)
        kinds.insert(PackageListing::windowsNameKey(entry.relativePath), entry.kind);
    return kinds;
}

// Why an entry found after the extraction may not stay, or an empty text. What was there before and is
// not in the package is left to its owner as long as the extraction did not change its kind.
QString strayReason(const EntryKind &kind, bool listed, const EntryKind *before)
{
    if (!listed && before && *before == kind)
        return QString();
    if (kind.type == platform::EntryType::Link)
        return QStringLiteral("是链接");
    if (kind.type == platform::EntryType::Other)
        return QStringLiteral("是设备、管道或套接字");
    // A folder may inherit setgid from its parent; only a file runs with it.
    if (kind.setId && kind.type != platform::EntryType::Folder)
        return QStringLiteral("带有 setuid/setgid 位");
    if (listed)
        return QString();
    return before ? QStringLiteral("类型已改变") : QStringLiteral("不在更新包中，解压前也不存在");
}

// A tool that writes more than the package (another archive hidden in the file, or a tool that is not what
// it claims) must not leave it behind: nothing may be new unless the package lists it, and nothing the
// package lists may be a link, a device or a set-id file.
bool holdsOnlyThePackage(const QString &appDir, const QHash<QString, EntryKind> &before,
                         const PackageListing &listing)
{
    for (const FoundEntry &entry : programFolderEntries(appDir)) {
        const auto earlier = before.constFind(PackageListing::windowsNameKey(entry.relativePath));
        const QString reason = strayReason(entry.kind, listing.holds(entry.relativePath),
                                           earlier == before.cend() ? nullptr : &earlier.value());
        if (!reason.isEmpty()) {
            qWarning().noquote() << "安装校验失败:" << entry.relativePath << reason;
            return false;
        }
    }
    return true;
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
    const QHash<QString, EntryKind> kindsBefore = kindsByWindowsName(programFolderEntries(appDir));

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
    installed = installed && holdsOnlyThePackage(appDir, kindsBefore, packageListing);

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
