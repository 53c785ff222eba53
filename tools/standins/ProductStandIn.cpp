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
//
// From the executable file itself: a copy behaves badly when a line
//   FARLINK_STANDIN_MODE=<mode>
// ends its last 4 KiB (appended to the copy, "\n" before and after; the bytes
// travel with the copy through a package, a backup and a restore, which an
// environment variable would not). The modes:
//   crash-after-ms:N         main executable: records its start, then crashes N ms
//                            later (killed by SIGSEGV without a core dump; on
//                            Windows exit code 0xC0000005, an access violation)
//   exit-after-ms:N          main executable: records its start, then exits with
//                            0 N ms later, as when the user closes it
//   service-dies-after-ms:N  daemon: the service records "service", then exits
//                            with 1 N ms later
//   service-never-starts     daemon: "run" records itself and returns 0 without
//                            starting the service; the service itself records
//                            "service-refused" and exits with 1 at once
// A mode meant for the other kind of executable is ignored; an unknown one is
// refused with exit code 2 before anything is recorded.

#include "ProcessTable.h"
#include "StandinSystem.h"

#include <chrono>
#include <cstddef>
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
constexpr int ExitServiceFailed = 1;
constexpr int ExitBadArguments = 2;
constexpr int ExitCannotStart = 127;
constexpr auto StopWait = std::chrono::seconds(2);
// Split so that the whole key never stands in the executable's own bytes.
const std::string ModeKey = std::string("FARLINK_STANDIN_") + "MODE=";
constexpr std::size_t ModeTailBytes = 4096;
constexpr std::size_t MaxDelayDigits = 9; // keeps a delay within a long everywhere
const std::string CrashAfterMode = "crash-after-ms";
const std::string ExitAfterMode = "exit-after-ms";
const std::string ServiceDiesAfterMode = "service-dies-after-ms";
const std::string ServiceNeverStartsMode = "service-never-starts";

// How this copy behaves: normally when name is empty; delay only for the modes that take one.
struct Mode
{
    std::string name;
    long delayMs = 0;
};

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

bool isDelay(const std::string &text)
{
    return !text.empty() && text.size() <= MaxDelayDigits &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

// The mode line at the end of the executable file; false, with the reason on standard error, for a mode
// that is not one of the above.
bool readMode(Mode &mode)
{
    const std::string tail = standins::ownExecutableTail(ModeTailBytes);
    const std::string::size_type key = tail.rfind('\n' + ModeKey);
    if (key == std::string::npos)
        return true;
    const std::string::size_type valueStart = key + 1 + ModeKey.size();
    const std::string value = tail.substr(valueStart, tail.find('\n', valueStart) - valueStart);
    const std::string::size_type colon = value.find(':');
    mode.name = value.substr(0, colon);
    const std::string delay = colon == std::string::npos ? std::string() : value.substr(colon + 1);
    const bool delayed =
        mode.name == CrashAfterMode || mode.name == ExitAfterMode || mode.name == ServiceDiesAfterMode;
    if ((delayed && isDelay(delay)) || (mode.name == ServiceNeverStartsMode && colon == std::string::npos)) {
        mode.delayMs = delayed ? std::atol(delay.c_str()) : 0;
        return true;
    }
    std::cerr << "unknown stand-in mode: " << value << '\n';
    return false;
}

void waitFor(const Mode &mode)
{
    standins::detachStandardStreams();
    std::this_thread::sleep_for(std::chrono::milliseconds(mode.delayMs));
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

int runDaemon(int argc, char **argv, const Mode &mode)
{
    if (argc < 2) {
        if (mode.name == ServiceNeverStartsMode) {
            record("service-refused", {});
            return ExitServiceFailed;
        }
        record("service", {});
        standins::tellStarterServiceIsReady();
        if (mode.name != ServiceDiesAfterMode)
            runUntilEnded();
        waitFor(mode);
        return ExitServiceFailed;
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
        return mode.name == ServiceNeverStartsMode || standins::startServiceCopy() ? 0 : ExitCannotStart;
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
    Mode mode;
    if (!readMode(mode))
        return ExitBadArguments;
    if (standins::sameImageName(ownImageName(), DaemonImageName))
        return runDaemon(argc, argv, mode);
    record("start", std::vector<std::string>(argv + 1, argv + argc));
    if (mode.name != CrashAfterMode && mode.name != ExitAfterMode)
        runUntilEnded();
    waitFor(mode);
    if (mode.name == CrashAfterMode)
        standins::crash();
    return 0;
}
