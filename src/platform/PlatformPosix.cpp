#include "Platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <locale.h>
#include <map>
#include <mutex>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace platform {
namespace {

const char *const kElevationTool = "pkexec";
const char *const kEnvironmentTool = "/usr/bin/env";
const char *const kFallbackSearchPath = "/usr/local/bin:/usr/bin:/bin";
const char *const kOwnExecutableLink = "/proc/self/exe";
const char *const kOwnCommandLine = "/proc/self/cmdline";
const char *const kProgramDataVariable = "PROGRAMDATA";
const char *const kDefaultProgramDataRoot = "/var/tmp";
const char *const kSystemTemporaryFolder = "/tmp";
const char *const kUtf8Locale = "C.UTF-8";
const mode_t kPrivateFolderMode = 0700;
// Top-level folders of the system; they and the folders directly inside them are never a product folder.
const char *const kSystemTopFolders[] = {"usr", "bin", "sbin", "etc", "boot", "var"};
const char *const kLibraryFolderPrefix = "lib"; // lib, lib32, lib64, libx32...
const char *const kNullDevice = "/dev/null";
const char *const kProcessFolder = "/proc";
const char *const kExecutableLinkName = "/exe";
// The first descriptor a watched program does not inherit: only its standard streams are passed on.
const int kFirstUninheritedDescriptor = 3;

// pkexec starts its program with an almost empty environment. The elevated copy must still open its window
// on the user's display (X11 or Wayland, through the Qt platform plugin the user chose) and must use the same
// work and temporary folders as this process, so exactly these are handed on through env. Nothing else is,
// so the copy running as root does not pick up the caller's library paths, plugin paths and the like.
const char *const kForwardedVariables[] = {"DISPLAY",         "XAUTHORITY",      "WAYLAND_DISPLAY",
                                           "XDG_RUNTIME_DIR", "QT_QPA_PLATFORM", "PROGRAMDATA",
                                           "TMPDIR"};

void logRelaunchFailure(const std::string &reason)
{
    std::fprintf(stderr, "relaunchElevated: %s\n", reason.c_str());
}

void logFailure(const char *operation, const std::string &path)
{
    std::fprintf(stderr, "%s %s: %s\n", operation, path.c_str(), std::strerror(errno));
}

// Opens the path read-only (a folder too) with the extra open flags, runs the call on it and closes it again.
bool withOpenPath(const char *operation, const std::string &path, int flags, int (*call)(int))
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0) {
        logFailure(operation, path);
        return false;
    }
    const bool done = call(fd) == 0;
    if (!done)
        logFailure(operation, path);
    close(fd);
    return done;
}

bool isExecutableFile(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The shell's lookup: the first executable regular file in the PATH entries, an empty entry being the
// current directory.
std::string findOnPath(const std::string &name)
{
    const char *searchPath = std::getenv("PATH");
    const std::string entries = searchPath ? searchPath : kFallbackSearchPath;
    std::string::size_type start = 0;
    while (true) {
        const std::string::size_type end = entries.find(':', start);
        const std::string directory = entries.substr(start, end - start);
        const std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + name;
        if (isExecutableFile(candidate))
            return candidate;
        if (end == std::string::npos)
            return {};
        start = end + 1;
    }
}

std::string ownExecutablePath()
{
    std::vector<char> buffer(256);
    while (true) {
        const ssize_t length = readlink(kOwnExecutableLink, buffer.data(), buffer.size());
        if (length < 0)
            return {};
        if (static_cast<size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<size_t>(length));
        buffer.resize(buffer.size() * 2);
    }
}

// The arguments exactly as this process received them, before QApplication removed the ones it consumed.
bool readOwnArguments(std::vector<std::string> &arguments)
{
    std::ifstream file(kOwnCommandLine, std::ios::binary);
    if (!file)
        return false;
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string::size_type start = content.find('\0');
    if (start == std::string::npos)
        return false;
    ++start;
    while (start < content.size()) {
        const std::string::size_type end = content.find('\0', start);
        arguments.push_back(content.substr(start, end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return true;
}

std::vector<std::string> forwardedAssignments()
{
    std::vector<std::string> assignments;
    for (const char *name : kForwardedVariables) {
        if (const char *value = std::getenv(name))
            assignments.push_back(std::string(name) + "=" + value);
    }
    return assignments;
}

void reportErrno(int reportFd)
{
    const int error = errno;
    ssize_t written;
    do {
        written = write(reportFd, &error, sizeof error);
    } while (written < 0 && errno == EINTR);
}

// Runs in the forked middle child. The caller may have other threads, so only async-signal-safe calls are
// made here. The grandchild is orphaned as soon as the middle child exits, so nobody has to reap it.
[[noreturn]] void runDetachedGrandchild(char *const argv[], int reportFd)
{
    const pid_t grandchild = fork();
    if (grandchild == 0) {
        execve(argv[0], argv, environ);
        reportErrno(reportFd);
        _exit(127);
    }
    if (grandchild < 0)
        reportErrno(reportFd);
    _exit(0);
}

void reapChild(pid_t child)
{
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Zero when the program was started; otherwise the errno of the failed fork or exec.
int readStartError(int reportFd)
{
    int error = 0;
    ssize_t received;
    do {
        received = read(reportFd, &error, sizeof error);
    } while (received < 0 && errno == EINTR);
    if (received == 0)
        return 0;
    return received == static_cast<ssize_t>(sizeof error) ? error : EIO;
}

// Starts the program without waiting for it and without leaving a child behind. A close-on-exec pipe tells
// whether the exec succeeded: it reaches end-of-file on success and carries errno on failure.
bool startDetached(const std::vector<std::string> &command)
{
    std::vector<char *> argv;
    for (const std::string &argument : command)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);

    int reportPipe[2];
    if (pipe2(reportPipe, O_CLOEXEC) != 0) {
        logRelaunchFailure(std::string("pipe failed: ") + std::strerror(errno));
        return false;
    }
    const pid_t middle = fork();
    if (middle == 0) {
        close(reportPipe[0]);
        runDetachedGrandchild(argv.data(), reportPipe[1]);
    }
    const int forkError = errno;
    close(reportPipe[1]);
    if (middle < 0) {
        close(reportPipe[0]);
        logRelaunchFailure(std::string("fork failed: ") + std::strerror(forkError));
        return false;
    }
    reapChild(middle);
    const int startError = readStartError(reportPipe[0]);
    close(reportPipe[0]);
    if (startError != 0) {
        logRelaunchFailure("could not start " + command.front() + ": " + std::strerror(startError));
        return false;
    }
    return true;
}

// The folder's own mode, set through a descriptor of the folder itself: the umask may have narrowed what
// mkdir was given, and a name is never followed.
bool setPrivateMode(const std::string &path)
{
    return withOpenPath("createPrivateFolder: fchmod", path, O_DIRECTORY | O_NOFOLLOW,
                        [](int folder) { return fchmod(folder, kPrivateFolderMode); });
}

std::vector<std::string> pathComponents(const std::string &path)
{
    std::vector<std::string> components;
    std::string::size_type start = 0;
    while (start < path.size()) {
        const std::string::size_type end = path.find('/', start);
        const std::string component = path.substr(start, end - start);
        if (!component.empty())
            components.push_back(component);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return components;
}

bool isSystemTopFolder(const std::string &name)
{
    for (const char *system : kSystemTopFolders) {
        if (name == system)
            return true;
    }
    return name.compare(0, std::strlen(kLibraryFolderPrefix), kLibraryFolderPrefix) == 0;
}

std::string realPathOf(const std::string &path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

void logSpawnFailure(const std::string &program, int error)
{
    std::fprintf(stderr, "startWatchedProgram %s: %s\n", program.c_str(), std::strerror(error));
}

// The first error among the results of setup calls that return an error number, 0 when all succeeded.
int firstError(std::initializer_list<int> results)
{
    for (const int result : results) {
        if (result != 0)
            return result;
    }
    return 0;
}

// The watched program starts as if from a fresh logon rather than inside the updater: in a session of its
// own (no terminal hang-up or keyboard signal of the updater's reaches it), its standard streams on the null
// device (nobody reads the headless updater's streams, and the program must not hold them open after the
// updater has ended), no other descriptor of the updater's, every signal unblocked and at its default action.
int prepareSpawn(posix_spawn_file_actions_t &actions, posix_spawnattr_t &attributes,
                 const std::string &folder)
{
    sigset_t noSignals;
    sigset_t allSignals;
    sigemptyset(&noSignals);
    sigfillset(&allSignals);
    return firstError({posix_spawn_file_actions_addchdir_np(&actions, folder.c_str()),
                       posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, kNullDevice, O_RDONLY, 0),
                       posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, kNullDevice, O_WRONLY, 0),
                       posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO),
                       posix_spawn_file_actions_addclosefrom_np(&actions, kFirstUninheritedDescriptor),
                       posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                                                 POSIX_SPAWN_SETSIGDEF),
                       posix_spawnattr_setsigmask(&attributes, &noSignals),
                       posix_spawnattr_setsigdefault(&attributes, &allSignals)});
}

// Programs started for watching, by process id; an entry that no longer runs keeps how it ended, because a
// reaped child cannot be asked again.
std::mutex &watchedProgramsLock()
{
    static std::mutex lock;
    return lock;
}

std::map<std::int64_t, ProgramEnd> &watchedPrograms()
{
    static std::map<std::int64_t, ProgramEnd> programs;
    return programs;
}

ProgramEnd endFromStatus(int status)
{
    ProgramEnd end;
    end.running = false;
    end.crashed = WIFSIGNALED(status);
    end.exitCode = end.crashed ? WTERMSIG(status) : WEXITSTATUS(status);
    return end;
}

ProgramEnd unknownEnd()
{
    ProgramEnd end;
    end.running = false;
    end.crashed = true;
    end.exitCode = -1;
    return end;
}

// The executable a process runs, empty for a process that has ended (a zombie has no such link) or that
// may not be looked at. The link of an executable replaced or deleted since ends in " (deleted)" and so
// matches no path.
std::string executableOfProcess(const std::string &pid)
{
    char target[PATH_MAX];
    const std::string link = std::string(kProcessFolder) + "/" + pid + kExecutableLinkName;
    const ssize_t length = readlink(link.c_str(), target, sizeof target);
    return length > 0 && static_cast<size_t>(length) < sizeof target
               ? std::string(target, static_cast<size_t>(length))
               : std::string();
}

bool isProcessId(const char *name)
{
    if (*name == '\0')
        return false;
    for (const char *character = name; *character; ++character) {
        if (*character < '0' || *character > '9')
            return false;
    }
    return true;
}

} // namespace

bool isRunningAsAdministrator()
{
    return geteuid() == 0;
}

bool relaunchElevated()
{
    const std::string elevationTool = findOnPath(kElevationTool);
    if (elevationTool.empty()) {
        logRelaunchFailure(std::string(kElevationTool) + " not found on PATH");
        return false;
    }
    const std::string executable = ownExecutablePath();
    if (executable.empty()) {
        logRelaunchFailure(std::string("cannot resolve ") + kOwnExecutableLink + ": " + std::strerror(errno));
        return false;
    }
    // env takes every leading word with '=' for an assignment, so it would not run such a path.
    if (executable.find('=') != std::string::npos) {
        logRelaunchFailure("cannot relaunch a program whose path contains '=': " + executable);
        return false;
    }
    std::vector<std::string> arguments;
    if (!readOwnArguments(arguments)) {
        logRelaunchFailure(std::string("cannot read ") + kOwnCommandLine);
        return false;
    }

    std::vector<std::string> command{elevationTool, kEnvironmentTool};
    const std::vector<std::string> assignments = forwardedAssignments();
    command.insert(command.end(), assignments.begin(), assignments.end());
    command.push_back(executable);
    command.insert(command.end(), arguments.begin(), arguments.end());
    return startDetached(command);
}

void terminateCurrentProcess(int exitCode)
{
    _exit(exitCode);
}

void exitImmediately(int exitCode)
{
    _exit(exitCode);
}

std::string programDataRoot()
{
    const char *value = std::getenv(kProgramDataVariable);
    std::string root = (value && *value) ? value : kDefaultProgramDataRoot;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

FolderCreation createPrivateFolder(const std::string &path)
{
    // mkdir creates nothing and fails with EEXIST when anything, a dangling link included, has the name.
    if (mkdir(path.c_str(), kPrivateFolderMode) != 0) {
        if (errno == EEXIST)
            return FolderCreation::NameTaken;
        logFailure("createPrivateFolder: mkdir", path);
        return FolderCreation::Failed;
    }
    if (!setPrivateMode(path)) {
        rmdir(path.c_str());
        return FolderCreation::Failed;
    }
    return FolderCreation::Created;
}

bool isSystemFolder(const std::string &folder)
{
    const std::vector<std::string> components = pathComponents(folder);
    if (components.empty())
        return true;
    if (components.size() <= 2 && isSystemTopFolder(components.front()))
        return true;
    return folder == realPathOf(programDataRoot());
}

std::string systemTemporaryFolder()
{
    return kSystemTemporaryFolder;
}

void withUtf8CharacterSet(const std::function<void()> &work)
{
    const locale_t utf8 = newlocale(LC_CTYPE_MASK, kUtf8Locale, static_cast<locale_t>(nullptr));
    if (utf8 == static_cast<locale_t>(nullptr)) {
        // Names then keep to ASCII, and a package with any other is refused.
        logFailure("newlocale", kUtf8Locale);
        work();
        return;
    }
    const locale_t previous = uselocale(utf8);
    work();
    uselocale(previous);
    freelocale(utf8);
}

bool flushFile(const std::string &path)
{
    return withOpenPath("fsync", path, 0, fsync);
}

bool flushFolder(const std::string &path)
{
    return withOpenPath("fsync", path, 0, fsync);
}

bool flushFileSystemOf(const std::string &path)
{
    return withOpenPath("syncfs", path, 0, syncfs);
}

bool setRunOnceCommand(const std::string &name, const std::string &)
{
    std::fprintf(stderr, "RunOnce %s: no logon hook on this system, nothing registered\n", name.c_str());
    return true;
}

bool removeRunOnceCommand(const std::string &)
{
    return true;
}

std::int64_t startWatchedProgram(const std::string &program, const std::vector<std::string> &arguments,
                                 const std::string &folder)
{
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int error = posix_spawn_file_actions_init(&actions);
    if (error != 0) {
        logSpawnFailure(program, error);
        return 0;
    }
    error = posix_spawnattr_init(&attributes);
    // glibc runs the child until its exec, so a missing program or folder comes back here as the error.
    pid_t pid = 0;
    if (error == 0) {
        error = prepareSpawn(actions, attributes, folder);
        if (error == 0)
            error = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        logSpawnFailure(program + " in " + folder, error);
        return 0;
    }
    const std::lock_guard<std::mutex> guard(watchedProgramsLock());
    watchedPrograms()[pid] = ProgramEnd();
    return pid;
}

ProgramEnd watchedProgramEnd(std::int64_t id)
{
    const std::lock_guard<std::mutex> guard(watchedProgramsLock());
    const auto found = watchedPrograms().find(id);
    if (found == watchedPrograms().end())
        return unknownEnd();
    if (!found->second.running)
        return found->second;
    int status = 0;
    pid_t reaped;
    do {
        reaped = waitpid(static_cast<pid_t>(id), &status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == 0)
        return found->second;
    if (reaped < 0) {
        // Reaped by someone else (SIGCHLD ignored, or another waitpid): it ended, how is lost.
        logFailure("watchedProgramEnd: waitpid", std::to_string(id));
        found->second = unknownEnd();
    } else {
        found->second = endFromStatus(status);
    }
    return found->second;
}

bool isExecutableRunning(const std::string &path)
{
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved))
        return false;
    DIR *processes = opendir(kProcessFolder);
    if (!processes) {
        logFailure("isExecutableRunning: opendir", kProcessFolder);
        return false;
    }
    const std::string ownPid = std::to_string(getpid());
    bool running = false;
    while (const dirent *entry = readdir(processes)) {
        if (isProcessId(entry->d_name) && entry->d_name != ownPid &&
            executableOfProcess(entry->d_name) == resolved) {
            running = true;
            break;
        }
    }
    closedir(processes);
    return running;
}

} // namespace platform
