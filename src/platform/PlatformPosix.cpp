#include "Platform.h"
#include <unistd.h>
namespace platform {
bool isRunningAsAdministrator() { return geteuid() == 0; }
bool relaunchElevated() { return false; }
void terminateCurrentProcess(int exitCode) { _exit(exitCode); }
void exitImmediately(int exitCode) { _exit(exitCode); }
std::string programDataRoot() { return "/var/tmp"; }
} // namespace platform
