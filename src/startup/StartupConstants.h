#pragma once

// Texts, patterns and time limits of the start-up, in one place.
// The log texts and the command-line option texts are part of the updater's interface.

#include "FarlinkVersion.h"

#include <QString>
#include <QStringList>

namespace startup {

// Application identity
inline const QString ApplicationName = QStringLiteral("FarlinkUpdater");
inline const QString ApplicationVersion = QStringLiteral(FARLINK_VERSION);

// Exit codes
constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
// --recover and --watch: the program folder could not be brought back whole
constexpr int ExitRecoveryFailed = 2;

// Command line
inline const QString ParserDescription = QStringLiteral("Farlink 更新程序");
inline const QStringList InfoOptionNames = {QStringLiteral("i"), QStringLiteral("info")};
inline const QString InfoOptionDescription = QStringLiteral("更新信息JSON文件路径");
inline const QString InfoOptionValueName = QStringLiteral("info-file");
inline const QStringList ModeOptionNames = {QStringLiteral("m"), QStringLiteral("mode")};
inline const QString ModeOptionDescription = QStringLiteral("更新模式: auto(自动检查) 或 manual(手动更新)");
inline const QString ModeOptionValueName = QStringLiteral("mode");
inline const QString DefaultMode = QStringLiteral("auto");

// Keys of the update-information file
inline const QString KeyAppPath = QStringLiteral("app_path");
inline const QString KeyNewVersion = QStringLiteral("new_version");
inline const QString KeyDownloadUrl = QStringLiteral("download_url");
inline const QString KeyMemo = QStringLiteral("memo");
inline const QString KeySha256 = QStringLiteral("sha256");
inline const QString KeySignature = QStringLiteral("signature");
inline const QString KeyTrialSeconds = QStringLiteral("trial_seconds");

// Separates the public keys built in through FARLINK_PACKAGE_PUBLIC_KEYS
constexpr char PublicKeySeparator = ';';

// The companion folder is the information file's path without this ending
inline const QString InfoFileEnding = QStringLiteral(".json");

// Log texts (char arrays so that QDebug writes them unquoted; values appended after them are quoted)
constexpr char LogInfoOptionMissing[] = "错误：必须通过 -i 参数传递JSON文件";
constexpr char LogCannotReadInfo[] = "无法读取JSON文件:";
constexpr char LogMalformedJson[] = "JSON格式不正确";
constexpr char LogIncomplete[] = "参数不完整";
constexpr char LogBadTrialSeconds[] = "trial_seconds 无效（应为 0 到 600 的整数）";
constexpr char LogMainProgramMissing[] = "主程序不存在:";
constexpr char LogCompanionRemoved[] = "good";
constexpr char LogCompanionKept[] = "伴随文件夹包含程序文件夹或是根目录，不删除:";
constexpr char LogCannotRemove[] = "无法删除:";
constexpr char LogElevationRequested[] = "已请求管理员权限重新运行程序";
constexpr char LogPackagesNotSigned[] = "未内置公钥：更新包不做签名校验";
constexpr char LogInfoKept[] = "更新信息文件不在临时目录中，保留该文件及其伴随文件夹:";
constexpr char LogSystemFolderRefused[] = "程序文件夹是系统文件夹，拒绝更新:";
constexpr char LogRecoveryUsage[] = "用法: FarlinkUpdater --recover <主程序路径>（其所在目录必须存在）";
constexpr char LogRecoveryNeedsAdministrator[] = "恢复需要管理员权限";
constexpr char LogWatchUsage[] = "用法: FarlinkUpdater --watch <主程序路径>（其所在目录必须存在）";
constexpr char LogWatchNeedsAdministrator[] = "试用期监视需要管理员权限";
constexpr char LogNoTrialUnderWay[] = "没有处于试用期的安装，只启动主程序:";
constexpr char LogTrialStarted[] = "新版本试用期开始，版本与时长（秒）:";
constexpr char LogTrialFailed[] = "试用期检查未通过:";
constexpr char LogProgramFolderUntrusted[] = "程序文件夹可被非管理员修改，拒绝更新:";
constexpr char LogInfoNotCallers[] = "更新信息文件不是调用者本人的普通文件，保留该文件及其伴随文件夹:";
constexpr char LogCompanionNotCallers[] = "伴随文件夹不是调用者本人的文件夹，不删除:";
constexpr char LogSweepPlaceUntrusted[] = "文件夹可被非管理员更改，不清理其中的旧工作文件夹:";

// Log file: <program-data root>/FarlinkUpdater/logs/updater-<yyyyMMdd-hhmmss>-<pid>.log, each folder
// level the elevated copy's own; a copy without administrator rights writes to
// <user's temporary folder>/FarlinkUpdater-logs instead. Nothing in those paths may match a sweep pattern,
// or the stale sweep would take the logs with it. A name already taken gets a number: -<n> before ".log".
inline const QStringList LogFolderLevelsBelowProgramData = {QStringLiteral("FarlinkUpdater"),
                                                            QStringLiteral("logs")};
inline const QString UserLogFolderName = QStringLiteral("FarlinkUpdater-logs");
inline const QString LogFileName = QStringLiteral("updater-%1-%2.log");
inline const QString NumberedLogFileName = QStringLiteral("updater-%1-%2-%3.log");
constexpr int LogFileNameAttempts = 100;
inline const QString LogFileTimeFormat = QStringLiteral("yyyyMMdd-hhmmss");
inline const QString LogFilePattern = QStringLiteral("updater-*.log");
inline const QString LogLineTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz");
constexpr int KeptLogFiles = 20;
constexpr char LogVersion[] = "FarlinkUpdater 版本:";
constexpr char LogArguments[] = "命令行参数:";
constexpr char LogCannotWriteLog[] = "无法写入日志文件:";
constexpr char LogInfoAppPath[] = "app_path:";
constexpr char LogInfoNewVersion[] = "new_version:";
constexpr char LogInfoDownloadUrl[] = "download_url:";
constexpr char LogInfoSha256[] = "sha256:";

// Box shown when the elevated copy could not be requested
inline const QString ElevationFailedTitle = QStringLiteral("权限请求失败");
inline const QString ElevationFailedText =
    QStringLiteral("无法获取管理员权限。程序需要管理员权限来管理服务。\n请手动以管理员身份运行此程序。");

// Companion folder removal, in milliseconds after the event loop starts
constexpr int CompanionRemovalDelayMs = 2000;
constexpr int CompanionRetryDelayMs = 1000;

// Stale work-folder sweep
inline const QString TempWorkPattern = QStringLiteral("VAZedure_*");
inline const QString ProgramDataWorkPattern = QStringLiteral("QuillUpdate_*");
constexpr qint64 StaleAfterSeconds = 300;

// Application-wide look
inline const QString FontFamily = QStringLiteral("Segoe UI");
inline const QString FontFamilyDeclaration = QStringLiteral("font-family: 'Segoe UI', Arial, sans-serif;");
inline const QStringList StyledWidgetClasses = {QStringLiteral("QWidget"), QStringLiteral("QLabel"),
                                                QStringLiteral("QPushButton"), QStringLiteral("QTextEdit"),
                                                QStringLiteral("QProgressBar")};

} // namespace startup
