// Stand-in for the product's own executables. One program, copied under the
// product's names:
//
//   QuillonDaemon.exe <command>      the daemon (its file name, in any letter case)
//       stop       ends the service processes run from this same executable file
//       install    does nothing more than record itself
//       run        starts the service as a detached process and returns
//       (none)     is the service itself and runs until ended
//   <any other name> [arguments]     the main executable, QuillonServer.exe and the
//                                    like: records its start and runs until ended
//   <any name> --guard <n> <program> [arguments]
//                                    starts <program>, and starts it again each time
//                                    it ends, n times; returns after the last run.
//                                    A process that comes back once after being
//                                    ended, as one restarted by a watchdog would.
//
// Every start and daemon command is appended as one line to a log:
//   <image name> TAB <event> TAB <pid> TAB <working directory> [TAB <argument>]...
// The event is the daemon's command word ("stop", "install", "run", or an
// unknown word), "service" for the daemon's service process, "start" for a main
// executable. The log is $FARLINK_STANDIN_LOG when set, otherwise
// standin-log.txt beside the executable.
//
// From the environment:
//   FARLINK_STANDIN_HANG        comma-separated daemon commands that do not
//                               return but run until ended, e.g. "install"
//   FARLINK_STANDIN_LIFETIME_S  seconds after which a process that runs until
//                               ended ends by itself (default 600, 0 = never),
//                               so that a failed test leaves nothing behind for long

#include "ProcessTable.h"
#include "StandinSystem.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string DaemonImageName = "QuillonDaemon.exe";
const std::string GuardSwitch = "--guard";
constexpr long DefaultLifetimeSeconds = 600;
constexpr int ExitUnknownCommand = 1;
constexpr int ExitBadArguments = 2;
constexpr int ExitCannotStart = 127;
constexpr auto StopWait = std::chrono::seconds(2);

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

std::string ownExecutable()
{
    return standins::executablePathOf(getpid());
}

std::string ownImageName()
{
    return standins::imageNameOf(getpid());
}

std::string logPath()
{
    const std::string configured = environment("FARLINK_STANDIN_LOG");
    if (!configured.empty())
        return configured;
    const std::string executable = ownExecutable();
    return executable.substr(0, executable.rfind('/') + 1) + "standin-log.txt";
}

// One write per line, so that lines of processes writing at the same time do not mix.
void record(const std::string &event, const std::vector<std::string> &arguments)
{
    std::string line =
        ownImageName() + '\t' + event + '\t' + std::to_string(getpid()) + '\t' + standins::currentDirectory();
    for (const std::string &argument : arguments)
        line += '\t' + argument;
    line += '\n';
    if (!standins::appendToFile(logPath(), line))
        std::cerr << "cannot write the log " << logPath() << '\n';
}

[[noreturn]] void runUntilEnded()
{
    standins::detachStandardStreams();
    const std::string configured = environment("FARLINK_STANDIN_LIFETIME_S");
    const long lifetime = configured.empty() ? DefaultLifetimeSeconds : std::atol(configured.c_str());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
    while (lifetime <= 0 || std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::exit(0);
}

bool commandHangs(const std::string &command)
{
    std::istringstream list(environment("FARLINK_STANDIN_HANG"));
    std::string word;
    while (std::getline(list, word, ',')) {
        if (word == command)
            return true;
    }
    return false;
}

int stopService()
{
    const std::string executable = ownExecutable();
    std::vector<pid_t> stopped;
    for (const auto &process : standins::listProcesses()) {
        std::string error;
        if (standins::isServiceOf(process.pid, executable) && standins::endProcess(process.pid, false, error))
            stopped.push_back(process.pid);
    }
    const auto deadline = std::chrono::steady_clock::now() + StopWait;
    for (const pid_t pid : stopped) {
        while (!standins::hasEnded(pid) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

int runDaemon(int argc, char **argv)
{
    if (argc < 2) {
        record("service", {});
        standins::tellStarterServiceIsReady();
        runUntilEnded();
    }
    const std::string command = argv[1];
    record(command, {});
    if (commandHangs(command))
        runUntilEnded();
    if (command == "stop")
        return stopService();
    if (command == "install")
        return 0;
    // Returns once the service has recorded itself, so the log is complete when "run" ends.
    if (command == "run")
        return standins::startServiceCopy() ? 0 : ExitCannotStart;
    std::cerr << "Unknown command: " << command << '\n';
    return ExitUnknownCommand;
}

int guard(int argc, char **argv)
{
    if (argc < 4) {
        std::cerr << "usage: " << argv[0] << " --guard <restarts> <program> [arguments]\n";
        return ExitBadArguments;
    }
    const int restarts = std::atoi(argv[2]);
    for (int run = 0; run <= restarts; ++run) {
        if (!standins::runToEnd(argv + 3))
            return ExitCannotStart;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && argv[1] == GuardSwitch)
        return guard(argc, argv);
    if (standins::sameImageName(ownImageName(), DaemonImageName))
        return runDaemon(argc, argv);
    record("start", std::vector<std::string>(argv + 1, argv + argc));
    runUntilEnded();
}
