#include "ProcessTable.h"

#include <cctype>
#include <climits>
#include <cstdlib>
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

bool isInScope(const ProcessEntry &process, const std::string &scope)
{
    if (scope.empty())
        return false;
    // The separator keeps a sibling folder that merely shares the prefix ("/a/b2" for "/a/b") out.
    const std::string prefix = scope == "/" ? scope : scope + '/';
    return process.executablePath.compare(0, prefix.size(), prefix) == 0;
}

bool sameImageName(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::vector<ProcessEntry> descendantsOf(const std::vector<ProcessEntry> &table, pid_t root)
{
    std::vector<ProcessEntry> found;
    std::vector<pid_t> parents{root};
    for (size_t next = 0; next < parents.size(); ++next) {
        for (const ProcessEntry &process : table) {
            if (process.parentPid == parents[next] && process.pid != root) {
                found.push_back(process);
                parents.push_back(process.pid);
            }
        }
    }
    return found;
}

bool hasEnded(pid_t pid)
{
    char state = '?';
    pid_t parentPid = 0;
    return !readStat(pid, state, parentPid) || state == 'Z';
}

} // namespace standins
