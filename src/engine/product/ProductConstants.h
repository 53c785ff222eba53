#pragma once

// Names, commands and time limits of the product's outside world (its processes, its daemon, its
// config.ini), in one place.

#include <QLatin1String>
#include <QString>

namespace product {

// The product's images; the daemon lives in the server sub-folder of the product folder.
inline const QString DaemonImageName = QStringLiteral("QuillonDaemon.exe");
inline const QString ServerImageName = QStringLiteral("QuillonServer.exe");
inline const QString ServerSubfolder = QStringLiteral("/QuillonServer");
inline const QString DaemonRelativePath = ServerSubfolder + QLatin1Char('/') + DaemonImageName;

// The daemon's commands, run by the restart after a success and after every run that stopped the daemon
// and left the old version whole
inline const QString DaemonStopCommand = QStringLiteral("stop");
inline const QString DaemonInstallCommand = QStringLiteral("install");
inline const QString DaemonRunCommand = QStringLiteral("run");
constexpr int DaemonStopWaitMs = 5000;
constexpr int PauseAfterDaemonStopMs = 1000;
constexpr int DaemonInstallLimitMs = 10000;
// How long a daemon "install" killed at its limit may take to go away.
constexpr int KilledDaemonInstallWaitMs = 30000;
constexpr int DaemonRunDelayMs = 1000;

// Windows' process tools, with which the shutdown ends the product's images
inline const QString TaskkillProgram = QStringLiteral("taskkill");
inline const QString TasklistProgram = QStringLiteral("tasklist");
constexpr int TaskkillWaitMs = 3000;
constexpr int PauseAfterTaskkillMs = 1000;
constexpr int TasklistWaitMs = 30000;
constexpr int PauseAfterShutdownMs = 2000;

// Keys of the product's config.ini
inline const QString ConfigKeyVersion = QStringLiteral("App/Version");
inline const QString ConfigKeyLastPromptTime = QStringLiteral("Update/LastPromptTime");
inline const QString ConfigKeyLastCheckTime = QStringLiteral("Update/LastCheckTime");
inline const QString ConfigKeyLastUpdateTime = QStringLiteral("Update/LastUpdateTime");
inline const QString ConfigKeyLastUpdateVersion = QStringLiteral("Update/LastUpdateVersion");
inline const QString ConfigTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

} // namespace product
