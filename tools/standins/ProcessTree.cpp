// The parts of the process table that are the same on every system.

#include "ProcessTable.h"

#include <cctype>

namespace standins {

bool isInScope(const ProcessEntry &process, const std::string &scope)
{
    if (scope.empty())
        return false;
    // The separator keeps a sibling folder that merely shares the prefix ("/a/b2" for "/a/b") out; a root
    // ("/", "C:/") already ends with one.
    const std::string prefix = scope.back() == '/' ? scope : scope + '/';
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

} // namespace standins
