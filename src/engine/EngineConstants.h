#pragma once

// Texts, time limits and markers of the update engine, in one place.
// The error texts are an interface: the window classifies failures by words in them.

#include "TransactionConstants.h"

#include <QLatin1String>
#include <QString>

namespace engine {

// The marker of every file and folder of the transaction in the program folder, which no walk of the
// program and no package may touch.
using transaction::BackupMarker;

// Messages sent with errorOccurred
inline const QString ErrorProgramMissing = QStringLiteral("程序文件不存在，无法更新");
inline const QString ErrorDiskSpace = QStringLiteral("磁盘空间不足，无法完成更新");
inline const QString ErrorIntegrity = QStringLiteral("文件完整性校验失败");
inline const QString ErrorCannotSave = QStringLiteral("无法保存临时下载文件");
inline const QString ErrorDownloadPrefix = QStringLiteral("下载失败: ");
inline const QString ErrorProcessesNotClosed =
    QStringLiteral("无法关闭正在运行的程序，请手动关闭后重试，已恢复原版本");
inline const QString ErrorBackupFailed = QStringLiteral("创建备份失败，停止更新");
inline const QString ErrorInstallRestored = QStringLiteral("安装文件失败，已恢复原版本");
inline const QString ErrorInstallNotRestored = QStringLiteral("安装失败且无法恢复，需要重新安装");
inline const QString InstallSucceeded = QStringLiteral("安装已成功完成");

// Download status and progress texts
inline const QString StatusContacting = QStringLiteral("Contacting server...");
inline const QString StatusChecking = QStringLiteral("Checking file integrity...");
inline const QString ProgressUnknownLength = QStringLiteral("Download...");
inline const QString ProgressPercent = QStringLiteral("Download: %1%");
inline const QString ProgressDownloadFinished = QStringLiteral("Download finished");

// Installation progress texts
inline const QString ProgressClosing = QStringLiteral("Closing processes...");
inline const QString ProgressBackup = QStringLiteral("Creating backup...");
inline const QString ProgressBackupFiles = QStringLiteral("Files: %1/%2 ");
inline const QString ProgressInstalling = QStringLiteral("Installing files...");
inline const QString ProgressExtracting = QStringLiteral("Extracting files...");
inline const QString ProgressFinalizing = QStringLiteral("Finalizing...");
inline const QString ProgressFinalizingDone = QStringLiteral("Finalizing");
inline const QString ProgressRecoveryStarted = QStringLiteral("Recovery started...");
inline const QString ProgressRecoveryInProgress = QStringLiteral("Recovery in progress...");
inline const QString ProgressRestoring = QStringLiteral("Restoring files (%1/%2)");
inline const QString ProgressWaitingForOtherUpdate =
    QStringLiteral("Waiting for another update of this program to finish...");

// Progress scale: the download fills 0..70, the installation 70..100
constexpr int DownloadShare = 70;

// Work paths
inline const QString WorkFolderPrefix = QStringLiteral("QuillUpdate_");
inline const QString PackageFileName = QStringLiteral("update.zip");
inline const QString ConfigFileName = QStringLiteral("config.ini");

// Package checks
constexpr qint64 MaximumPackageBytes = 2047LL * 1024 * 1024;
// Bytes Qt may hold for the download before the engine has taken them; without a limit a
// fast server fills memory with a second copy of the package while the GUI thread catches up.
constexpr qint64 DownloadReadBufferBytes = 2 * 1024 * 1024;

// Appended to ErrorDownloadPrefix when a transfer is abandoned; the refusals are the package's own
inline const QString AbandonedTooLarge = QStringLiteral("the package is larger than %1 bytes");
inline const QString AbandonedNoAnswer = QStringLiteral("the server did not answer within %1 seconds");
inline const QString AbandonedSilent = QStringLiteral("no data received for %1 seconds");
inline const QString AbandonedUnfinished = QStringLiteral("the transfer ended before the whole package");
inline const QString AbandonedWrongResume = QStringLiteral("the server did not continue the same package");

// A broken transfer is asked for again this many times in a row; any attempt that brings the package further
// starts the count again. The first pause is doubled before each further attempt (1, 2, 4, 8, 16 s).
constexpr int DownloadResumeAttempts = 5;
constexpr int FirstResumePauseMs = 1000;
// From the request to the answer's head, and then between two arrivals of data.
constexpr int DownloadConnectLimitMs = 30000;
constexpr int DownloadSilenceLimitMs = 30000;

// Time limits and pauses, in milliseconds
constexpr int CancelWaitMs = 5000;
constexpr int PauseAfterProcessesClosedMs = 1000;
constexpr int PauseBeforeFinishMs = 300;
constexpr int PowerShellTimeoutMs = 60000;
constexpr int TarTimeoutMs = 30000;
constexpr int ExtractionProgressPauseMs = 80;

// Progress that the backup, extraction and restore report themselves
constexpr int BackupProgressStart = 75;
constexpr int BackupProgressSpan = 5;
constexpr int ExtractionProgressStart = 80;
constexpr int ExtractionProgressEnd = 95;
constexpr int ExtractionProgressStep = 3;
constexpr int RestoreProgressStart = 90;
constexpr int RestoreProgressSpan = 10;

// Progress points of the install worker between the steps
constexpr int InstallProgressStart = DownloadShare;
constexpr int RecoveryProgress = 90;
constexpr int FinalizingProgress = 95;
constexpr int InstallProgressEnd = 100;

} // namespace engine
