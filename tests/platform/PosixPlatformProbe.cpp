// Calls one platform function per start so that its effect on the whole process (exit code, relaunch,
// user id, the caller pkexec names) can be observed from the test. Started again through a fake pkexec, it
// writes what it received instead: its own executable, its arguments and its complete environment. Run as
// an ordinary user it also plays the one who swaps folders for links under the elevated side. It also starts
// a program for watching and ends before it, and asks whether an executable runs while running it itself.

#include "FileSafety.h"
#include "Platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

const char *const kCopyReportVariable = "FARLINK_COPY_REPORT";
const char *const kSkippedShutdownMarker = "shutdown code ran\n";
// Enough failed exchanges (the names are missing while the other side rebuilds) to end in seconds at most.
const long kSwapAttempts = 5000000;

void writeText(const char *text)
{
    const ssize_t ignored = write(STDOUT_FILENO, text, std::strlen(text));
    static_cast<void>(ignored);
}

void writeItem(std::FILE *file, const std::string &item)
{
    std::fwrite(item.c_str(), 1, item.size() + 1, file);
}

std::string ownExecutable()
{
    char buffer[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

// NUL-terminated items: the executable, the number of arguments, the arguments, then every environment
// entry. Written beside the target and renamed, so the test never reads half a report.
int writeCopyReport(const std::string &path, int argc, char **argv)
{
    const std::string partial = path + ".part";
    std::FILE *file = std::fopen(partial.c_str(), "wb");
    if (!file)
        return 3;
    writeItem(file, ownExecutable());
    writeItem(file, std::to_string(argc - 1));
    for (int index = 1; index < argc; ++index)
        writeItem(file, argv[index]);
    for (char **entry = environ; *entry; ++entry)
        writeItem(file, *entry);
    const bool written = std::fclose(file) == 0;
    return written && std::rename(partial.c_str(), path.c_str()) == 0 ? 0 : 3;
}

// 0: accepted and no child of ours is left (running or zombie); 1: refused; 2: a child was left behind.
int relaunch()
{
    if (!platform::relaunchElevated()) {
        writeText("relaunch refused\n");
        return 1;
    }
    const bool childLeft = waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD;
    writeText(childLeft ? "relaunch left a child behind\n" : "relaunch accepted\n");
    return childLeft ? 2 : 0;
}

void announceShutdownCode()
{
    writeText(kSkippedShutdownMarker);
}

int endProcess(const std::string &how, int exitCode)
{
    std::atexit(announceShutdownCode);
    writeText("ending\n");
    if (how == "terminate")
        platform::terminateCurrentProcess(exitCode);
    if (how == "exit")
        platform::exitImmediately(exitCode);
    writeText("unknown way to end\n");
    return 4;
}

// Exchanges the two names atomically, again and again, until it has done so the given number of times.
int swapNames(const char *first, const char *second, long swaps)
{
    long done = 0;
    long attempt = 0;
    for (; attempt < kSwapAttempts && done < swaps; ++attempt) {
        if (renameat2(AT_FDCWD, first, AT_FDCWD, second, RENAME_EXCHANGE) == 0)
            ++done;
    }
    writeText((std::to_string(done) + " swaps in " + std::to_string(attempt) + " attempts\n").c_str());
    return done == swaps ? 0 : 1;
}

int removeCallersEntry(const std::string &path, const std::string &kind)
{
    const std::string reason = platform::removeCallersEntry(path, kind == "folder");
    writeText(reason.empty() ? "removed\n" : (reason + "\n").c_str());
    return 0;
}

// Starts the program for watching with a descriptor of its own open that is not closed on exec, prints the
// program's id and ends without waiting for it.
int startWatched(const std::string &folder, int argc, char **argv)
{
    const int leaked = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const std::int64_t id = platform::startWatchedProgram(argv[0], arguments, folder);
    writeText((std::to_string(id) + "\n").c_str());
    close(leaked);
    return id > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (const char *reportPath = std::getenv(kCopyReportVariable))
        return writeCopyReport(reportPath, argc, argv);
    const std::string action = argc > 1 ? argv[1] : "";
    if (action == "admin") {
        writeText(platform::isRunningAsAdministrator() ? "administrator\n" : "not administrator\n");
        return 0;
    }
    if (action == "relaunch")
        return relaunch();
    if (action == "swap" && argc == 5)
        return swapNames(argv[2], argv[3], std::atol(argv[4]));
    if (action == "remove-callers" && argc == 4)
        return removeCallersEntry(argv[2], argv[3]);
    if (action == "watch" && argc >= 4)
        return startWatched(argv[2], argc - 3, argv + 3);
    if (action == "running" && argc == 3) {
        writeText(platform::isExecutableRunning(argv[2]) ? "running\n" : "not running\n");
        return 0;
    }
    if (argc == 3)
        return endProcess(action, std::atoi(argv[2]));
    writeText("usage: admin | relaunch [arguments...] | terminate <code> | exit <code> |\n"
              "       swap <first> <second> <times> | remove-callers <path> file|folder |\n"
              "       watch <folder> <program> [arguments...] | running <executable>\n");
    return 4;
}
