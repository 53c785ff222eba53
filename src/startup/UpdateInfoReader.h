#pragma once

#include "UpdateInfo.h"

#include <QStringList>

#include <functional>
#include <optional>

namespace startup {

// The command-line and update-information step. arguments is the whole command line, program
// first. Help and unknown options end the process inside QCommandLineParser. Every rejection is
// one critical log line and yields nothing: the caller ends with exit code 1.
// Once the file has been read it is deleted and the companion folder's removal armed, both only when the
// file lies in a temporary folder and is the caller's own; the current directory becomes the updater's own
// folder. app_path is handed on as its real path; a product folder that is a system folder, or that anyone
// but administrators can change, is rejected.
// beforeProgramCheck, when given, runs with app_path just before the main executable's existence is
// checked: a recovery of an interrupted update may bring it back.
// Ends the process for --help, --version and a command line that cannot be parsed, as readUpdateInfo
// would, and returns otherwise. Those answers need no administrator rights, so they come before elevation.
void answerCommandLineOptions(const QStringList &arguments);

std::optional<UpdateInfo>
readUpdateInfo(const QStringList &arguments,
               const std::function<void(const QString &appPath)> &beforeProgramCheck = {});

} // namespace startup
