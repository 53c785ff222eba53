#pragma once

// The process table as the Windows tool stand-ins see it: every live process
// with the image name Windows would show for it, the file name of its
// executable.
//
// taskkill and tasklist act only on the processes in their scope: those whose
// executable lies below the folder named by FARLINK_STANDIN_SCOPE. The product's
// daemon and server have fixed image names, so without a scope a test would end
// or see the processes of every other test and of the demo on the machine.
// Without the variable (or with a folder that does not exist) nothing is in
// scope: the tools then end nothing and list nothing.

#include <string>
#include <sys/types.h>
#include <vector>

namespace standins {

struct ProcessEntry
{
    pid_t pid = 0;
    pid_t parentPid = 0;
    std::string imageName;
    std::string executablePath;
};

// Name of the environment variable that names the scope folder.
constexpr const char ScopeVariable[] = "FARLINK_STANDIN_SCOPE";

// Live processes only: kernel threads and ended processes that wait for their
// parent (zombies) have no executable and are left out, as Windows lists no
// process that has ended.
std::vector<ProcessEntry> listProcesses();

// The scope folder with symbolic links resolved, as /proc shows executables (on
// Windows: the full path in the letter case on disk, with forward slashes, as
// executable paths are given); empty when the variable is unset or names no
// existing folder.
std::string scopeFolder();

// True when the process's executable lies below the scope folder; never when
// the scope is empty.
bool isInScope(const ProcessEntry &process, const std::string &scope);

// Image names compare without regard to ASCII letter case, as on Windows.
bool sameImageName(const std::string &a, const std::string &b);

// The file name of the executable of a process, empty when it cannot be read.
std::string imageNameOf(pid_t pid);

// The full path of the executable of a process, empty when it cannot be read.
std::string executablePathOf(pid_t pid);

// The processes whose parent chain leads to root, root excluded, children
// before their own children.
std::vector<ProcessEntry> descendantsOf(const std::vector<ProcessEntry> &table, pid_t root);

// True once the process has ended (gone or a zombie).
bool hasEnded(pid_t pid);

// Ends the process: at once when forced, otherwise by asking it to end where the system can (POSIX
// SIGTERM; Windows has no such request for a process without a window, so it ends it at once). A process
// already gone counts as ended. The reason of a failure goes to error.
bool endProcess(pid_t pid, bool force, std::string &error);

// The memory the process holds in RAM, in KiB; 0 when it cannot be read.
long residentKilobytes(pid_t pid);

} // namespace standins
