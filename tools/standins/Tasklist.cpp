// Stand-in for Windows' tasklist, as the updater calls it:
//
//   tasklist [/NH] [/FI "IMAGENAME eq|ne <image>"]
//
// Prints the live processes in scope (see ProcessTable.h) in Windows' table
// layout, one row per process, with the image name as the process shows it
// (the file name of its executable); the filter compares names without regard to letter case. When
// nothing matches it prints Windows' INFO line instead. Names longer than the
// first column are printed whole rather than cut, so that the name always
// shows in the output while such a process runs. Exit code 0, or 1 for bad
// arguments.

#include "ProcessTable.h"

#include <cctype>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

namespace {

constexpr int ExitFailure = 1;

struct Options
{
    bool header = true;
    bool hasFilter = false;
    bool filterEquals = true;
    std::string filterImage;
};

std::string lowerCase(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// "IMAGENAME eq <image>": the key and the operator in any letter case.
bool parseFilter(const std::string &filter, Options &options)
{
    std::istringstream words(filter);
    std::string key;
    std::string op;
    if (!(words >> key >> op) || lowerCase(key) != "imagename" ||
        (lowerCase(op) != "eq" && lowerCase(op) != "ne"))
        return false;
    std::getline(words >> std::ws, options.filterImage);
    options.hasFilter = !options.filterImage.empty();
    options.filterEquals = lowerCase(op) == "eq";
    return options.hasFilter;
}

bool parseArguments(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string argument = lowerCase(argv[i]);
        if (argument == "/nh") {
            options.header = false;
        } else if (argument == "/fi" && i + 1 < argc) {
            if (!parseFilter(argv[++i], options)) {
                std::cerr << "ERROR: The search filter cannot be recognized.\n";
                return false;
            }
        } else {
            std::cerr << "ERROR: Invalid argument/option - '" << argv[i] << "'.\n"
                      << "Type \"TASKLIST /?\" for usage.\n";
            return false;
        }
    }
    return true;
}

bool matches(const Options &options, const standins::ProcessEntry &process)
{
    if (!options.hasFilter)
        return true;
    return standins::sameImageName(process.imageName, options.filterImage) == options.filterEquals;
}

// Resident memory in Windows' "12,345 K" form.
std::string memoryUsage(pid_t pid)
{
    std::string digits = std::to_string(standins::residentKilobytes(pid));
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return digits + " K";
}

void printHeader()
{
    std::cout << "\n"
              << "Image Name                     PID Session Name        Session#    Mem Usage\n"
              << "========================= ======== ================ =========== ============\n";
}

void printRow(const standins::ProcessEntry &process)
{
    std::cout << std::left << std::setw(25) << process.imageName << ' ' << std::right << std::setw(8)
              << process.pid << ' ' << std::left << std::setw(16) << "Console" << ' ' << std::right
              << std::setw(11) << 1 << ' ' << std::setw(12) << memoryUsage(process.pid) << '\n';
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parseArguments(argc, argv, options))
        return ExitFailure;

    bool any = false;
    const std::string scope = standins::scopeFolder();
    for (const auto &process : standins::listProcesses()) {
        if (!standins::isInScope(process, scope) || !matches(options, process))
            continue;
        if (!any && options.header)
            printHeader();
        any = true;
        printRow(process);
    }
    if (!any)
        std::cout << "INFO: No tasks are running which match the specified criteria.\n";
    return 0;
}
