#pragma once

// The operating-system seam: the only place with operating-system conditionals.
// Kept free of Qt so that the Windows implementation builds with a plain
// mingw-w64 cross compiler.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// True when the process may manage the product's service: a member of the
// built-in Administrators group on Windows, effective user id 0 elsewhere.
bool isRunningAsAdministrator();

// Asks the system to start this executable again, elevated, with the same
// arguments (Windows: "runas"; elsewhere: pkexec found on PATH). Returns whether
// the request was accepted; nothing waits for the copy. Logs its own failure.
bool relaunchElevated();

// Ends the process at once with the exit code, skipping destructors, atexit
// handlers and Qt's shutdown (TerminateProcess on Windows).
[[noreturn]] void terminateCurrentProcess(int exitCode);

// Ends the process at once with the exit code through the C runtime's _exit.
[[noreturn]] void exitImmediately(int exitCode);

// Root of the machine-wide data folder, forward slashes, no trailing slash:
// "C:/ProgramData" on Windows, $PROGRAMDATA (when set and not empty) or
// "/var/tmp" elsewhere.
std::string programDataRoot();

// What createPrivateFolder found.
enum class FolderCreation
{
    Created,   // a new, empty folder that only administrators may enter
    NameTaken, // something (folder, file or link) already has the name; it was left alone
    Failed     // any other failure, logged
};

// Creates a new folder at the path and never uses or follows what is already there. On Windows its access
// list grants only Administrators and SYSTEM and inherits nothing from the parent; elsewhere its mode is 0700
// whatever the umask. The parent must exist. path is UTF-8 with forward slashes.
FolderCreation createPrivateFolder(const std::string &path);

// True for a folder that must never become the product folder, which is backed up, overwritten and emptied
// by a restore: a file-system root, the program-data root, the Windows folder or anything inside it;
// elsewhere
// "/", "/usr", "/bin", "/sbin", "/lib*", "/etc", "/boot", "/var" and the folders directly inside them.
// folder is a real path (links resolved), UTF-8, forward slashes, no trailing slash except a root's.
bool isSystemFolder(const std::string &folder);

// The machine's shared temporary folder, forward slashes: "<Windows folder>/Temp" on Windows, "/tmp"
// elsewhere. The user's own one is the caller's business.
std::string systemTemporaryFolder();

// Runs work with the C library's character set UTF-8 on the calling thread, whatever the process's locale,
// and puts the thread's locale back afterwards. libarchive converts the names it reads to that character set:
// in the C locale of an elevated copy started without LANG every non-ASCII name would be lost (POSIX:
// uselocale with C.UTF-8). On Windows libarchive keeps names as wide strings, so work just runs.
void withUtf8CharacterSet(const std::function<void()> &work);

// Durability. Each returns whether the data reached stable storage and logs its own failure.
// The file's contents and attributes (fsync; FlushFileBuffers on Windows).
bool flushFile(const std::string &path);
// A folder's entries, so that a rename or removal inside it survives a power cut (fsync of the folder;
// on Windows NTFS journals its folders, and the volume flush below covers them).
bool flushFolder(const std::string &path);
// Everything written to the file system that holds the path (syncfs; on Windows FlushFileBuffers on the
// volume, which needs administrator rights).
bool flushFileSystemOf(const std::string &path);

// Commands that Windows runs once, at the next administrator logon (values under
// HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce). Name and command are UTF-8. Elsewhere
// there is no such hook: both do nothing, say so on standard error and return true.
bool setRunOnceCommand(const std::string &name, const std::string &command);
// Removing a value that is not there succeeds.
bool removeRunOnceCommand(const std::string &name);

// Watching the product after an update. A program started for watching runs on after the updater ends and
// is not ended with it; its id is the process id.
// Starts program (UTF-8, full path) with the arguments in folder, not waiting for it; 0 when it could not be
// started (logged). It inherits the environment and nothing else of the caller's: no handle or descriptor,
// no console or terminal; its standard streams lead nowhere. Windows: CreateProcessW, the handle kept for
// watchedProgramEnd; elsewhere posix_spawn in a session of its own, the child reaped by watchedProgramEnd.
std::int64_t startWatchedProgram(const std::string &program, const std::vector<std::string> &arguments,
                                 const std::string &folder);

struct ProgramEnd
{
    bool running = true;
    // Ended by a crash: killed by a signal (POSIX), an exception code as its exit code (Windows: 0xC0000000
    // and above), or ended in a way that could not be learnt. A non-zero exit code alone is not a crash.
    bool crashed = false;
    // Of a program that ended: its exit code (on Windows as the unsigned 32-bit value, so an exception code
    // reads 0xC0000005 and not a negative number), the signal number on POSIX when crashed, -1 when unknown.
    std::int64_t exitCode = 0;
};
// Looks without waiting; once ended, gives the same answer at every call. An id this process did not start
// reads as ended, crashed, exit code -1.
ProgramEnd watchedProgramEnd(std::int64_t id);

// Whether a process other than the caller runs the executable at path (UTF-8, forward slashes), compared by
// its full path (letter case ignored and either slash on Windows; links resolved elsewhere). A process that
// has ended but is not yet reaped, or (POSIX) that runs a file since deleted or replaced, does not count;
// nor does one the caller may not inspect. Windows: the process list and each process's image path; elsewhere
// /proc/<pid>/exe.
bool isExecutableRunning(const std::string &path);

} // namespace platform
