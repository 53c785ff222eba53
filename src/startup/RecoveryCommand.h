#pragma once

#include <QString>
#include <QStringList>

namespace startup {

// Whether the command line asks for a recovery only: FarlinkUpdater --recover <main executable>. Read from
// the raw arguments, before any application object exists, since such a run opens no window.
bool isRecoveryCommand(int argc, char *argv[]);

// Runs that recovery without a window (after the administrator check) and tells the exit code:
// 0 nothing to do or the program folder whole again, 2 it could not be brought back (backup and journal
// kept; also without administrator rights, and for a folder that anyone but administrators can change,
// which is not touched), 1 a bad command line.
int runRecoveryCommand(int argc, char *argv[]);

// The recovery at every start with an update-information file, before the window: a new update then starts
// from a whole program folder. Skipped while another updater works on the folder.
void recoverBeforeUpdate(const QString &appPath);

} // namespace startup
