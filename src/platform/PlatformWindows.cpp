#include "Platform.h"
#include "WindowsShared.h"

#include <sddl.h>
#include <shellapi.h>
#include <stdlib.h>
#include <string>
#include <vector>

namespace platform {
using namespace windows;
namespace {

const wchar_t *const kElevationVerb = L"runas";
const char *const kProgramDataRoot = "C:/ProgramData";
const DWORD kModulePathCapacity = MAX_PATH;
const char *const kTemporarySubfolder = "/Temp";
const wchar_t *const kRunOnceKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

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

} // namespace platform
