#include "Platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <shellapi.h>
#include <stdlib.h>
#include <string>

namespace platform {
namespace {

const wchar_t *const kElevationVerb = L"runas";
const char *const kProgramDataRoot = "C:/ProgramData";
const DWORD kModulePathCapacity = MAX_PATH;

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

} // namespace platform
