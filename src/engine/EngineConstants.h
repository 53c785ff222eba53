#pragma once

// Texts, time limits and markers of the update engine, in one place.
// The error texts are an interface: the window classifies failures by words in them.

#include <QLatin1String>
#include <QString>

namespace engine {

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
// Names <name>_1 to _<this> are tried when a work or backup folder's name (QuillUpdate_<seconds>,
// _update_backup_<time>) is taken.
inline const QString FolderNameSuffixSeparator = QStringLiteral("_");
constexpr int MaximumFolderNameSuffix = 1000;
inline const QString PackageFileName = QStringLiteral("update.zip");
inline const QString ConfigFileName = QStringLiteral("config.ini");
inline const QString BackupMarker = QStringLiteral("_update_backup_");
inline const QString BackupTimeFormat = QStringLiteral("yyyyMMdd_hhmmss");
inline const QString DaemonImageName = QStringLiteral("QuillonDaemon.exe");
inline const QString ServerImageName = QStringLiteral("QuillonServer.exe");
// The product's daemon lives in this sub-folder of the product folder; the window restarts it from there.
inline const QString ServerSubfolder = QStringLiteral("/QuillonServer");
inline const QString DaemonRelativePath = ServerSubfolder + QLatin1Char('/') + DaemonImageName;

// Crash safety. Both files carry the backup marker, so that no walk of the program folder copies or
// deletes them; a recovery finds them from the program folder alone.
inline const QString JournalFileName = BackupMarker + QStringLiteral("journal.json");
inline const QString FolderLockFileName = BackupMarker + QStringLiteral("lock");
constexpr int JournalFormat = 1;
// Far above the list of any real product (50,000 files take about 4 MB).
constexpr qint64 MaximumJournalBytes = 64 * 1024 * 1024;
// A folder lock whose holder cannot be judged (an empty file, as a power cut leaves one, or a holder on
// another machine) is taken for stale after this long; a live holder on this machine is waited for as long
// as it runs. The wait looks at the holder again at every poll.
constexpr int UnjudgedLockHolderWaitMs = 60000;
constexpr int FolderLockPollMs = 1000;
// Far above the few lines QLockFile writes.
constexpr qint64 MaximumLockFileBytes = 4096;
// The logon command's value name: this prefix and a digest of the program folder, one per product.
inline const QString RunOnceValuePrefix = QStringLiteral("FarlinkUpdaterRecovery_");
inline const QString RecoverOption = QStringLiteral("--recover");

// The product's daemon commands, run by the restart after a success and after every run that stopped
// the daemon and left the old version whole
inline const QString DaemonInstallCommand = QStringLiteral("install");
inline const QString DaemonRunCommand = QStringLiteral("run");
constexpr int DaemonInstallLimitMs = 10000;
constexpr int DaemonRunDelayMs = 1000;

// Package checks
constexpr qint64 MinimumDownloadedPackageBytes = 1025; // 1024 bytes or fewer fail
constexpr qint64 MaximumPackageBytes = 2047LL * 1024 * 1024;
// Most the download reserves on the strength of an announced length, before the data is there.
constexpr qint64 MaximumReservedBeforeDataBytes = 64LL * 1024 * 1024;
// Bytes Qt may hold for the download before the engine has taken them; without a limit a
// fast server fills memory with a second copy of the package while the GUI thread catches up.
constexpr qint64 DownloadReadBufferBytes = 2 * 1024 * 1024;
constexpr int Sha256HexDigits = 64;
constexpr int Ed25519PublicKeyBytes = 32;
constexpr int Ed25519SignatureBytes = 64;

// Reasons appended to ErrorDownloadPrefix when a transfer is refused or abandoned
inline const QString RefusedNoUrl = QStringLiteral("no package URL was given");
inline const QString RefusedInvalidUrl = QStringLiteral("the package URL is not valid");
inline const QString RefusedNoScheme = QStringLiteral("the package URL has no scheme");
inline const QString RefusedScheme = QStringLiteral("only http and https are allowed, not %1");
inline const QString RefusedNoHost = QStringLiteral("the package URL has no host");
inline const QString AbandonedTooLarge = QStringLiteral("the package is larger than %1 bytes");
constexpr qint64 MinimumExtractablePackageBytes = 100;

// Time limits and pauses, in milliseconds
constexpr int CancelWaitMs = 5000;
constexpr int DaemonStopWaitMs = 5000;
constexpr int PauseAfterDaemonStopMs = 1000;
constexpr int TaskkillWaitMs = 3000;
constexpr int PauseAfterTaskkillMs = 1000;
constexpr int TasklistWaitMs = 30000;
constexpr int PauseAfterShutdownMs = 2000;
constexpr int PauseAfterProcessesClosedMs = 1000;
constexpr int PauseBeforeFinishMs = 300;
constexpr int PowerShellTimeoutMs = 60000;
constexpr int TarTimeoutMs = 30000;
constexpr int ExtractionProgressPauseMs = 80;
// How long a killed extraction tool may take to go away before nothing else may write.
constexpr int KilledToolWaitMs = 10000;

// Progress that the backup, extraction and restore report themselves
constexpr int FilesPerProgressReport = 10;
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

// Process tools of the shutdown step
inline const QString TaskkillProgram = QStringLiteral("taskkill");
inline const QString TasklistProgram = QStringLiteral("tasklist");

// Extraction tools; the script's %1 is the package and %2 the program folder,
// both already quoted for PowerShell's single-quoted literals.
inline const QString PowerShellProgram = QStringLiteral("powershell");
inline const QString TarProgram = QStringLiteral("tar");
inline const QString ExpandArchiveScript =
    QStringLiteral("try { Expand-Archive -LiteralPath '%1' -DestinationPath '%2' -Force -ErrorAction Stop; "
                   "exit 0 } catch { Write-Error $_; exit 1 }");
// tar runs with a UTF-8 locale, so that the zip's UTF-8 names reach the disk whatever locale the updater has.
inline const QString ToolLocaleVariable = QStringLiteral("LC_ALL");
inline const QString ToolUtf8Locale = QStringLiteral("C.UTF-8");

// Keys of the product's config.ini
inline const QString ConfigKeyVersion = QStringLiteral("App/Version");
inline const QString ConfigKeyLastPromptTime = QStringLiteral("Update/LastPromptTime");
inline const QString ConfigKeyLastCheckTime = QStringLiteral("Update/LastCheckTime");
inline const QString ConfigKeyLastUpdateTime = QStringLiteral("Update/LastUpdateTime");
inline const QString ConfigKeyLastUpdateVersion = QStringLiteral("Update/LastUpdateVersion");
inline const QString ConfigTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

} // namespace engine
