#pragma once

// The operating-system seam: the only place with operating-system conditionals.
// Kept free of Qt so that the Windows implementation builds with a plain
// mingw-w64 cross compiler.

#include <string>

namespace platform {

// True when the process may manage the product's service: a member of the
// built-in Administrators group on Windows, effective user id 0 elsewhere.
bool isRunningAsAdministrator();

// Asks the system to start this executable again, elevated, with the same
// arguments (Windows: "runas"; elsewhere: pkexec found on PATH). Returns whether
// the request was accepted; nothing waits for the copy. Logs its own failure.
bool relaunchElevated();

// Ends the process at once with the exit code, skipping destructors, atexit
// handlers and Qt's shutdown (TerminateProcess on Windows).
[[noreturn]] void terminateCurrentProcess(int exitCode);

// Ends the process at once with the exit code through the C runtime's _exit.
[[noreturn]] void exitImmediately(int exitCode);

// Root of the machine-wide data folder, forward slashes, no trailing slash:
// "C:/ProgramData" on Windows, $PROGRAMDATA (when set and not empty) or
// "/var/tmp" elsewhere.
std::string programDataRoot();

} // namespace platform
