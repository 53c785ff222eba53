#include "StandinSystem.h"

#include "ProcessTable.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace standins {
namespace {

// The service copy finds the write end of its starter's pipe here.
const char *const ReadyVariable = "FARLINK_STANDIN_READY_FD";

std::vector<std::string> commandLineOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> words;
    std::string word;
    while (std::getline(in, word, '\0'))
        words.push_back(word);
    return words;
}

} // namespace

std::string currentDirectory()
{
    std::vector<char> buffer(4096);
    return getcwd(buffer.data(), buffer.size()) ? buffer.data() : "";
}

bool appendToFile(const std::string &path, const std::string &text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

void detachStandardStreams()
{
    const int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd)
        dup2(null, fd);
    if (null > 2)
        close(null);
}

bool startServiceCopy()
{
    const std::string executable = executablePathOf(getpid());
    int ready[2];
    if (pipe(ready) != 0)
        return false;
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        close(ready[0]);
        setsid();
        setenv(ReadyVariable, std::to_string(ready[1]).c_str(), 1);
        execl(executable.c_str(), executable.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    char done = 0;
    const bool started = read(ready[0], &done, 1) == 1;
    close(ready[0]);
    return started;
}

void tellStarterServiceIsReady()
{
    const char *fd = std::getenv(ReadyVariable);
    if (!fd)
        return;
    const int ready = std::atoi(fd);
    const char done = 1;
    if (write(ready, &done, 1) == 1)
        close(ready);
    unsetenv(ReadyVariable);
}

bool isServiceOf(pid_t pid, const std::string &executable)
{
    if (pid == getpid() || executablePathOf(pid) != executable)
        return false;
    const auto words = commandLineOf(pid);
    return words.size() == 1 || (words.size() == 2 && words[1] == "run");
}

bool runToEnd(char **argv)
{
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return true;
}

std::string ownExecutableTail(std::size_t count)
{
    const int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat info;
    std::string tail;
    if (fstat(fd, &info) == 0) {
        const off_t start =
            info.st_size > static_cast<off_t>(count) ? info.st_size - static_cast<off_t>(count) : 0;
        tail.resize(static_cast<std::size_t>(info.st_size - start));
        const ssize_t got = pread(fd, tail.data(), tail.size(), start);
        tail.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    close(fd);
    return tail;
}

void crash()
{
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    std::signal(SIGSEGV, SIG_DFL);
    std::raise(SIGSEGV);
    _exit(128 + SIGSEGV);
}

} // namespace standins
