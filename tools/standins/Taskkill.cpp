// Stand-in for Windows' taskkill, as the updater calls it:
//
//   taskkill [/F] [/T] /IM <image> [/IM <image> ...]
//
// Ends every process in scope (see ProcessTable.h) whose image name (the file
// name of its executable, compared without regard to letter case) is <image>; with /T also every
// process below it in the process tree. /F ends at once (SIGKILL); without it
// the process is asked to end (SIGTERM). Wildcards are not expanded: a name
// matches only itself.
//
// Exit code 0 when every matching process was ended, 128 when no process
// matches, 1 for bad arguments or a process that could not be ended.

#include "ProcessTable.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int ExitNotFound = 128;
constexpr int ExitFailure = 1;
// How long to wait for the ended processes to be gone, so that a tasklist
// run right afterwards no longer shows them.
constexpr auto EndWait = std::chrono::seconds(2);

struct Options
{
    bool force = false;
    bool tree = false;
    std::vector<std::string> images;
};

bool isSwitch(const std::string &argument, const char *name)
{
    return standins::sameImageName(argument, name) ||
           (argument.size() > 1 && argument[0] == '-' &&
            standins::sameImageName("/" + argument.substr(1), name));
}

bool parseArguments(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (isSwitch(argument, "/F")) {
            options.force = true;
        } else if (isSwitch(argument, "/T")) {
            options.tree = true;
        } else if (isSwitch(argument, "/IM") && i + 1 < argc) {
            options.images.push_back(argv[++i]);
        } else {
            std::cerr << "ERROR: Invalid argument/option - '" << argument << "'.\n"
                      << "Type \"TASKKILL /?\" for usage.\n";
            return false;
        }
    }
    if (options.images.empty()) {
        std::cerr << "ERROR: Invalid syntax. Neither /FI nor /PID nor /IM were specified.\n"
                  << "Type \"TASKKILL /?\" for usage.\n";
        return false;
    }
    return true;
}

void reportEnded(const Options &options, const standins::ProcessEntry &process)
{
    if (options.tree) {
        std::cout << "SUCCESS: The process with PID " << process.pid << " (child process of PID "
                  << process.parentPid << ") has been terminated.\n";
    } else if (options.force) {
        std::cout << "SUCCESS: The process \"" << process.imageName << "\" with PID " << process.pid
                  << " has been terminated.\n";
    } else {
        std::cout << "SUCCESS: Sent termination signal to the process \"" << process.imageName
                  << "\" with PID " << process.pid << ".\n";
    }
}

bool endProcess(const Options &options, const standins::ProcessEntry &process)
{
    std::string error;
    if (!standins::endProcess(process.pid, options.force, error)) {
        std::cerr << "ERROR: The process with PID " << process.pid << " could not be terminated.\n"
                  << "Reason: " << error << ".\n";
        return false;
    }
    reportEnded(options, process);
    return true;
}

void addOnce(std::vector<standins::ProcessEntry> &targets, const standins::ProcessEntry &process)
{
    const auto same = [&process](const standins::ProcessEntry &other) { return other.pid == process.pid; };
    if (std::none_of(targets.begin(), targets.end(), same))
        targets.push_back(process);
}

// The matching processes in scope, each followed by its tree when /T is given.
// The tree is taken whole: what a process of this scope started belongs to it.
std::vector<standins::ProcessEntry> targetsFor(const Options &options, const std::string &image)
{
    const auto table = standins::listProcesses();
    const std::string scope = standins::scopeFolder();
    std::vector<standins::ProcessEntry> targets;
    for (const auto &process : table) {
        if (process.pid == getpid() || !standins::isInScope(process, scope) ||
            !standins::sameImageName(process.imageName, image))
            continue;
        addOnce(targets, process);
        if (options.tree) {
            for (const auto &child : standins::descendantsOf(table, process.pid))
                addOnce(targets, child);
        }
    }
    return targets;
}

void waitUntilEnded(const std::vector<pid_t> &pids)
{
    const auto deadline = std::chrono::steady_clock::now() + EndWait;
    for (const pid_t pid : pids) {
        while (!standins::hasEnded(pid) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parseArguments(argc, argv, options))
        return ExitFailure;

    int exitCode = 0;
    std::vector<pid_t> ended;
    for (const std::string &image : options.images) {
        const auto targets = targetsFor(options, image);
        if (targets.empty()) {
            std::cerr << "ERROR: The process \"" << image << "\" not found.\n";
            exitCode = exitCode == 0 ? ExitNotFound : exitCode;
            continue;
        }
        for (const auto &process : targets) {
            if (endProcess(options, process))
                ended.push_back(process.pid);
            else
                exitCode = ExitFailure;
        }
    }
    if (options.force)
        waitUntilEnded(ended);
    return exitCode;
}
