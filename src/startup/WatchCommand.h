#pragma once

namespace startup {

// Whether the command line asks for the watcher of a trial: FarlinkUpdater --watch <main executable>,
// started by the window after a successful installation on trial.
bool isWatchCommand(int argc, char *argv[]);

// Starts the main program, watches the product for the trial period the journal gives, then ends the trial:
// the new version is committed, or rolled back and the old main program started. Exit codes as for
// --recover: 0 the trial ended (or none was under way), 2 a rollback could not bring the old version back
// whole, 1 a bad command line.
int runWatchCommand(int argc, char *argv[]);

} // namespace startup
