#include "ProcessTable.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace standins {
namespace {

// A replaced or deleted executable keeps running under its old name; the
// kernel marks its link with this suffix.
const std::string DeletedSuffix = " (deleted)";

std::string procPath(pid_t pid, const char *entry)
{
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

// State letter and parent from /proc/<pid>/stat. The command name in
// parentheses may hold blanks and parentheses itself, so parse from the last ')'.
bool readStat(pid_t pid, char &state, pid_t &parentPid)
{
    std::ifstream in(procPath(pid, "stat"));
    std::string line;
    if (!std::getline(in, line))
        return false;
    const auto close = line.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream rest(line.substr(close + 1));
    return static_cast<bool>(rest >> state >> parentPid);
}

bool isNumber(const char *text)
{
    if (*text == '\0')
        return false;
    for (; *text; ++text) {
        if (!std::isdigit(static_cast<unsigned char>(*text)))
            return false;
    }
    return true;
}

} // namespace

std::string executablePathOf(pid_t pid)
{
    std::string buffer(4096, '\0');
    const ssize_t length = readlink(procPath(pid, "exe").c_str(), buffer.data(), buffer.size());
    if (length <= 0)
        return {};
    buffer.resize(static_cast<size_t>(length));
    if (buffer.size() > DeletedSuffix.size() &&
        buffer.compare(buffer.size() - DeletedSuffix.size(), DeletedSuffix.size(), DeletedSuffix) == 0)
        buffer.resize(buffer.size() - DeletedSuffix.size());
    return buffer;
}

std::string imageNameOf(pid_t pid)
{
    const std::string path = executablePathOf(pid);
    return path.substr(path.rfind('/') + 1);
}

std::vector<ProcessEntry> listProcesses()
{
    std::vector<ProcessEntry> table;
    DIR *proc = opendir("/proc");
    if (!proc)
        return table;
    while (const dirent *entry = readdir(proc)) {
        if (!isNumber(entry->d_name))
            continue;
        ProcessEntry process;
        process.pid = static_cast<pid_t>(std::stol(entry->d_name));
        char state = '?';
        if (!readStat(process.pid, state, process.parentPid) || state == 'Z')
            continue;
        process.executablePath = executablePathOf(process.pid);
        process.imageName = process.executablePath.substr(process.executablePath.rfind('/') + 1);
        if (!process.imageName.empty())
            table.push_back(process);
    }
    closedir(proc);
    return table;
}

std::string scopeFolder()
{
    const char *named = std::getenv(ScopeVariable);
    if (!named || *named == '\0')
        return {};
    char resolved[PATH_MAX];
    struct stat info = {};
    if (!realpath(named, resolved) || stat(resolved, &info) != 0 || !S_ISDIR(info.st_mode))
        return {};
    return resolved;
}

bool endProcess(pid_t pid, bool force, std::string &error)
{
    if (kill(pid, force ? SIGKILL : SIGTERM) == 0 || errno == ESRCH)
        return true;
    error = std::strerror(errno);
    return false;
}

long residentKilobytes(pid_t pid)
{
    std::ifstream status(procPath(pid, "status"));
    std::string line;
    long kilobytes = 0;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            kilobytes = std::stol(line.substr(6));
    }
    return kilobytes;
}

bool hasEnded(pid_t pid)
{
    char state = '?';
    pid_t parentPid = 0;
    return !readStat(pid, state, parentPid) || state == 'Z';
}

} // namespace standins
