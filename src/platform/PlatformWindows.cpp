#include "Platform.h"
#include "WindowsShared.h"

#include <map>
#include <sddl.h>
#include <shellapi.h>
#include <stdlib.h>
#include <string>
#include <tlhelp32.h>
#include <vector>

namespace platform {
using namespace windows;
namespace {

const wchar_t *const kElevationVerb = L"runas";
const char *const kProgramDataRoot = "C:/ProgramData";
const DWORD kModulePathCapacity = MAX_PATH;
const char *const kTemporarySubfolder = "/Temp";
const wchar_t *const kRunOnceKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// Exit codes from here up are exception codes (NTSTATUS errors): the program ended by a crash.
const DWORD kFirstExceptionCode = 0xC0000000;
const DWORD kLongPathCapacity = 32768;

bool isBlank(wchar_t character)
{
    return character == L' ' || character == L'\t';
}

// What follows the program path, split off the way Windows itself splits it: a quoted program path ends at
// the next quote (quotes cannot be escaped there), an unquoted one at the first blank. The rest is handed on
// untouched, so the copy parses exactly the arguments this process parsed.
const wchar_t *argumentsAfterProgramPath(const wchar_t *commandLine)
{
    const wchar_t *position = commandLine;
    if (*position == L'"') {
        ++position;
        while (*position != L'\0' && *position != L'"')
            ++position;
        if (*position == L'"')
            ++position;
    } else {
        while (*position != L'\0' && !isBlank(*position))
            ++position;
    }
    while (isBlank(*position))
        ++position;
    return position;
}

// Letters folded to lower case (ASCII is enough: the folders compared are the system's own).
std::string comparable(const std::string &path)
{
    std::string folded = withForwardSlashes(path);
    for (char &character : folded) {
        if (character >= 'A' && character <= 'Z')
            character = static_cast<char>(character - 'A' + 'a');
    }
    return folded;
}

std::string windowsFolder()
{
    wchar_t folder[kModulePathCapacity] = {};
    const UINT length = GetSystemWindowsDirectoryW(folder, kModulePathCapacity);
    if (length == 0 || length >= kModulePathCapacity) {
        logFailure(L"windowsFolder", L"GetSystemWindowsDirectoryW", GetLastError());
        return "C:/Windows";
    }
    return withForwardSlashes(toUtf8(std::wstring(folder, length)));
}

bool isInsideOrSame(const std::string &path, const std::string &folder)
{
    return path == folder || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

// Write access is what FlushFileBuffers asks for; folders open only with backup semantics.
bool flushHandleOf(const std::wstring &path, const wchar_t *operation)
{
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        logFailure(operation, L"CreateFileW", GetLastError());
        return false;
    }
    const bool flushed = FlushFileBuffers(handle) != 0;
    if (!flushed)
        logFailure(operation, L"FlushFileBuffers", GetLastError());
    CloseHandle(handle);
    return flushed;
}

HKEY openRunOnceKey(const wchar_t *operation)
{
    HKEY key = nullptr;
    const LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_SET_VALUE, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) {
        logFailure(operation, L"RegCreateKeyExW", static_cast<DWORD>(result));
        return nullptr;
    }
    return key;
}

// One argument as the C runtime's parser (CommandLineToArgvW) reads it back: quoted when empty or holding a
// blank or quote; inside quotes a quote is escaped, and so are the backslashes before it or before the end.
std::wstring quotedArgument(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t character : argument) {
        if (character == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(character == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += character;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

std::wstring withBackslashes(const std::string &path)
{
    std::wstring wide = toWide(path);
    for (wchar_t &character : wide) {
        if (character == L'/')
            character = L'\\';
    }
    return wide;
}

// The program name ends at the next quote whatever precedes it, so it is quoted as it is (a Windows path
// holds no quote).
std::wstring commandLineOf(const std::wstring &program, const std::vector<std::string> &arguments)
{
    std::wstring commandLine = L"\"" + program + L"\"";
    for (const std::string &argument : arguments)
        commandLine += L" " + quotedArgument(toWide(argument));
    return commandLine;
}

// A program started for watching: its handle until it is seen to end, then how it ended.
struct WatchedProgram
{
    HANDLE handle = nullptr;
    ProgramEnd end;
};

SRWLOCK watchedProgramsLock = SRWLOCK_INIT;

std::map<std::int64_t, WatchedProgram> &watchedPrograms()
{
    static std::map<std::int64_t, WatchedProgram> programs;
    return programs;
}

ProgramEnd endedWith(DWORD exitCode)
{
    ProgramEnd end;
    end.running = false;
    end.crashed = exitCode >= kFirstExceptionCode;
    end.exitCode = exitCode;
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

// Looks at the handle once; the first answer that the program ended is kept and the handle let go.
void updateEnd(WatchedProgram &program)
{
    const DWORD waited = WaitForSingleObject(program.handle, 0);
    if (waited == WAIT_TIMEOUT)
        return;
    DWORD exitCode = 0;
    if (waited == WAIT_OBJECT_0 && GetExitCodeProcess(program.handle, &exitCode)) {
        program.end = endedWith(exitCode);
    } else {
        logFailure(L"watchedProgramEnd", L"WaitForSingleObject", GetLastError());
        program.end = unknownEnd();
    }
    CloseHandle(program.handle);
    program.handle = nullptr;
}

// Paths compare as Windows compares file names: letter case ignored, either slash.
bool samePath(std::wstring first, std::wstring second)
{
    for (std::wstring *path : {&first, &second}) {
        for (wchar_t &character : *path) {
            if (character == L'/')
                character = L'\\';
        }
    }
    return CompareStringOrdinal(first.c_str(), -1, second.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Whether the process still runs the executable at path; a process that ended but that someone still holds
// a handle to is listed, but does not count. One that may not be looked at does not count either.
bool processRuns(DWORD pid, const std::wstring &path)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return false;
    std::wstring image(kLongPathCapacity, L'\0');
    DWORD length = kLongPathCapacity;
    DWORD exitCode = 0;
    const bool runs = QueryFullProcessImageNameW(process, 0, &image[0], &length) &&
                      GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE &&
                      samePath(image.substr(0, length), path);
    CloseHandle(process);
    return runs;
}

} // namespace

bool isRunningAsAdministrator()
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                  0, 0, 0, 0, &administrators)) {
        logFailure(L"isRunningAsAdministrator", L"AllocateAndInitializeSid", GetLastError());
        return false;
    }
    BOOL member = FALSE;
    const BOOL checked = CheckTokenMembership(nullptr, administrators, &member);
    if (!checked)
        logFailure(L"isRunningAsAdministrator", L"CheckTokenMembership", GetLastError());
    FreeSid(administrators);
    return checked && member == TRUE;
}

bool relaunchElevated()
{
    wchar_t executable[kModulePathCapacity] = {};
    const DWORD length = GetModuleFileNameW(nullptr, executable, kModulePathCapacity);
    // A path that filled the whole buffer was cut short; starting it could run a different program.
    if (length == 0 || length >= kModulePathCapacity) {
        logFailure(L"relaunchElevated", L"GetModuleFileNameW",
                   length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
        return false;
    }

    SHELLEXECUTEINFOW request = {};
    request.cbSize = sizeof(request);
    request.fMask = 0;
    request.hwnd = nullptr;
    request.lpVerb = kElevationVerb;
    request.lpFile = executable;
    request.lpParameters = argumentsAfterProgramPath(GetCommandLineW());
    request.lpDirectory = nullptr;
    request.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&request)) {
        logFailure(L"relaunchElevated", L"ShellExecuteExW", GetLastError());
        return false;
    }
    return true;
}

void terminateCurrentProcess(int exitCode)
{
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    // Only reached if the system refused to end the process; the caller relies on never coming back.
    _exit(exitCode);
}

void exitImmediately(int exitCode)
{
    _exit(exitCode);
}

std::string programDataRoot()
{
    return kProgramDataRoot;
}

FolderCreation createPrivateFolder(const std::string &path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateFolderSecurity, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        logFailure(L"createPrivateFolder", L"ConvertStringSecurityDescriptorToSecurityDescriptorW",
                   GetLastError());
        return FolderCreation::Failed;
    }
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    // Fails with ERROR_ALREADY_EXISTS for anything of that name, a junction or link included, without
    // following it.
    const BOOL created = CreateDirectoryW(toWide(path).c_str(), &attributes);
    const DWORD error = created ? ERROR_SUCCESS : GetLastError();
    LocalFree(descriptor);
    if (created)
        return FolderCreation::Created;
    if (error == ERROR_ALREADY_EXISTS)
        return FolderCreation::NameTaken;
    logFailure(L"createPrivateFolder", L"CreateDirectoryW", error);
    return FolderCreation::Failed;
}

bool isSystemFolder(const std::string &folder)
{
    const std::string path = comparable(folder);
    return isRoot(path) || path == comparable(kProgramDataRoot) ||
           isInsideOrSame(path, comparable(windowsFolder()));
}

std::string systemTemporaryFolder()
{
    return windowsFolder() + kTemporarySubfolder;
}

void withUtf8CharacterSet(const std::function<void()> &work)
{
    // libarchive converts a zip's UTF-8 names to wide strings here, whatever the code page.
    work();
}

bool flushFile(const std::string &path)
{
    return flushHandleOf(toWide(path), L"flushFile");
}

bool flushFolder(const std::string &)
{
    // NTFS writes folder changes through its own journal; nothing to flush per folder.
    return true;
}

bool flushFileSystemOf(const std::string &path)
{
    wchar_t volume[kModulePathCapacity] = {};
    if (!GetVolumePathNameW(toWide(path).c_str(), volume, kModulePathCapacity)) {
        logFailure(L"flushFileSystemOf", L"GetVolumePathNameW", GetLastError());
        return false;
    }
    // GetVolumePathNameW gives the root folder (C:\ ); the volume itself (\\.\C:) is what takes a flush.
    std::wstring device = volume;
    while (!device.empty() && device.back() == L'\\')
        device.pop_back();
    if (device.size() == 2 && device[1] == L':')
        device = L"\\\\.\\" + device;
    return flushHandleOf(device, L"flushFileSystemOf");
}

bool setRunOnceCommand(const std::string &name, const std::string &command)
{
    const HKEY key = openRunOnceKey(L"setRunOnceCommand");
    if (!key)
        return false;
    const std::wstring value = toWide(command);
    const LONG result =
        RegSetValueExW(key, toWide(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        logFailure(L"setRunOnceCommand", L"RegSetValueExW", static_cast<DWORD>(result));
    return result == ERROR_SUCCESS;
}

bool removeRunOnceCommand(const std::string &name)
{
    const HKEY key = openRunOnceKey(L"removeRunOnceCommand");
    if (!key)
        return false;
    const LONG result = RegDeleteValueW(key, toWide(name).c_str());
    RegCloseKey(key);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
        logFailure(L"removeRunOnceCommand", L"RegDeleteValueW", static_cast<DWORD>(result));
        return false;
    }
    return true;
}

std::int64_t startWatchedProgram(const std::string &program, const std::vector<std::string> &arguments,
                                 const std::string &folder)
{
    const std::wstring executable = withBackslashes(program);
    std::wstring commandLine = commandLineOf(executable, arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // No handle inherited and no console of the updater's: the program runs on by itself once the updater
    // has ended, and the updater's console keys (Ctrl+C) do not reach it.
    if (!CreateProcessW(executable.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                        CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS, nullptr, withBackslashes(folder).c_str(),
                        &startup, &process)) {
        logFailure(L"startWatchedProgram", L"CreateProcessW", GetLastError());
        return 0;
    }
    CloseHandle(process.hThread);
    AcquireSRWLockExclusive(&watchedProgramsLock);
    WatchedProgram &watched = watchedPrograms()[process.dwProcessId];
    watched.handle = process.hProcess;
    watched.end = ProgramEnd();
    ReleaseSRWLockExclusive(&watchedProgramsLock);
    return process.dwProcessId;
}

ProgramEnd watchedProgramEnd(std::int64_t id)
{
    AcquireSRWLockExclusive(&watchedProgramsLock);
    const auto found = watchedPrograms().find(id);
    ProgramEnd end = unknownEnd();
    if (found != watchedPrograms().end()) {
        if (found->second.handle)
            updateEnd(found->second);
        end = found->second.end;
    }
    ReleaseSRWLockExclusive(&watchedProgramsLock);
    return end;
}

bool isExecutableRunning(const std::string &path)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        logFailure(L"isExecutableRunning", L"CreateToolhelp32Snapshot", GetLastError());
        return false;
    }
    const std::wstring wanted = toWide(path);
    const DWORD ownPid = GetCurrentProcessId();
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    bool running = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !running;
         more = Process32NextW(snapshot, &entry))
        running = entry.th32ProcessID != ownPid && entry.th32ProcessID != 0 &&
                  processRuns(entry.th32ProcessID, wanted);
    CloseHandle(snapshot);
    return running;
}

} // namespace platform
