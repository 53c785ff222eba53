#include "Platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <sddl.h>
#include <shellapi.h>
#include <stdlib.h>
#include <string>
#include <vector>

namespace platform {
namespace {

const wchar_t *const kElevationVerb = L"runas";
const char *const kProgramDataRoot = "C:/ProgramData";
const DWORD kModulePathCapacity = MAX_PATH;
// Full control for Administrators and SYSTEM, inherited by everything created inside; "P" protects the list
// from the parent's entries, so the users who may create folders in ProgramData get nothing here.
const wchar_t *const kPrivateFolderSecurity = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
const char *const kTemporarySubfolder = "/Temp";

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

// A GUI program has no console, so failures go to the debugger output, where Qt's own messages go too.
void logFailure(const wchar_t *operation, const wchar_t *call, DWORD error)
{
    const std::wstring message =
        std::wstring(operation) + L": " + call + L" failed, error " + std::to_wstring(error) + L"\n";
    OutputDebugStringW(message.c_str());
}

std::wstring toWide(const std::string &utf8)
{
    if (utf8.empty())
        return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], size);
    return wide;
}

std::string toUtf8(const std::wstring &wide)
{
    if (wide.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], size, nullptr,
                        nullptr);
    return utf8;
}

std::string withForwardSlashes(std::string path)
{
    for (char &character : path) {
        if (character == '\\')
            character = '/';
    }
    while (path.size() > 3 && path.back() == '/')
        path.pop_back();
    return path;
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

// "c:" or "c:/", or a share root "//server/share".
bool isRoot(const std::string &path)
{
    if (path.size() <= 3 && path.size() >= 2 && path[1] == ':')
        return true;
    if (path.compare(0, 2, "//") != 0)
        return false;
    const std::string::size_type shareStart = path.find('/', 2);
    return shareStart != std::string::npos && path.find('/', shareStart + 1) == std::string::npos;
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

} // namespace platform
