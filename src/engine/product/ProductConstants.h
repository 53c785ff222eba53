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
// A service just started by "run" may take a moment to appear in the process list.
constexpr int DaemonServiceGraceMs = 5000;
constexpr int DaemonServicePollMs = 200;
// Not scaled: it must outlast a short command's end on a loaded machine, in the tests too.
constexpr int DaemonServiceConfirmMs = 1000;

// Windows' process tools, with which the shutdown ends the product's images
inline const QString TaskkillProgram = QStringLiteral("taskkill");
inline const QString TasklistProgram = QStringLiteral("tasklist");
constexpr int TaskkillWaitMs = 3000;
constexpr int PauseAfterTaskkillMs = 1000;
constexpr int TasklistWaitMs = 30000;
constexpr int PauseAfterShutdownMs = 2000;

// The trial after an update: how often the watcher looks at the product's main program.
constexpr int TrialPollMs = 200;

// Keys of the product's config.ini
inline const QString ConfigKeyVersion = QStringLiteral("App/Version");
inline const QString ConfigKeyLastPromptTime = QStringLiteral("Update/LastPromptTime");
inline const QString ConfigKeyLastCheckTime = QStringLiteral("Update/LastCheckTime");
inline const QString ConfigKeyLastUpdateTime = QStringLiteral("Update/LastUpdateTime");
inline const QString ConfigKeyLastUpdateVersion = QStringLiteral("Update/LastUpdateVersion");
inline const QString ConfigKeyFailedVersion = QStringLiteral("Update/FailedVersion");
inline const QString ConfigKeyFailedTime = QStringLiteral("Update/FailedTime");
inline const QString ConfigTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

} // namespace product
