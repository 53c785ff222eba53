#include "StandinSystem.h"

#include "ProcessTable.h"
#include "WindowsText.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace standins {
namespace {

constexpr DWORD ServiceReadyWaitMs = 10000;
constexpr DWORD LongPathCapacity = 32768;

// Named after the service copy's process id, so that the copy finds it without inheriting any handle
// (an inherited handle would also hand it the caller's pipes).
std::wstring readyEventName(DWORD pid)
{
    return L"Local\\QuillonStandinServiceReady-" + std::to_wstring(pid);
}

std::wstring quoted(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring result = L"\"";
    for (const wchar_t c : argument) {
        if (c == L'"')
            result += L'\\';
        result += c;
    }
    return result + L"\"";
}

bool sameText(const std::string &a, const std::string &b)
{
    return CompareStringOrdinal(wideOf(a).c_str(), -1, wideOf(b).c_str(), -1, TRUE) == CSTR_EQUAL;
}

} // namespace

std::string currentDirectory()
{
    std::wstring buffer(GetCurrentDirectoryW(0, nullptr), L'\0');
    buffer.resize(GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data()));
    return utf8Of(buffer);
}

bool appendToFile(const std::string &path, const std::string &text)
{
    const HANDLE file =
        CreateFileW(wideOf(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size();
    CloseHandle(file);
    return ok;
}

void detachStandardStreams()
{
    std::freopen("NUL", "r", stdin);
    std::freopen("NUL", "w", stdout);
    std::freopen("NUL", "w", stderr);
}

bool startServiceCopy()
{
    const std::wstring executable = wideOf(executablePathOf(static_cast<pid_t>(GetCurrentProcessId())));
    std::wstring commandLine = quoted(executable);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr,
                        &startup, &process))
        return false;
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyEventName(process.dwProcessId).c_str());
    ResumeThread(process.hThread);
    const HANDLE waitFor[] = {ready, process.hProcess};
    const DWORD woken = ready ? WaitForMultipleObjects(2, waitFor, FALSE, ServiceReadyWaitMs) : WAIT_FAILED;
    if (ready)
        CloseHandle(ready);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return woken == WAIT_OBJECT_0;
}

void tellStarterServiceIsReady()
{
    const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, readyEventName(GetCurrentProcessId()).c_str());
    if (!ready)
        return;
    SetEvent(ready);
    CloseHandle(ready);
}

bool isServiceOf(pid_t pid, const std::string &executable)
{
    return static_cast<DWORD>(pid) != GetCurrentProcessId() && sameText(executablePathOf(pid), executable);
}

bool runToEnd(char **argv)
{
    std::wstring commandLine;
    for (char **argument = argv; *argument; ++argument)
        commandLine += (commandLine.empty() ? L"" : L" ") + quoted(wideOf(*argument));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(wideOf(argv[0]).c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return false;
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::string ownExecutableTail(std::size_t count)
{
    std::wstring path(LongPathCapacity, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), LongPathCapacity));
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    LARGE_INTEGER size{};
    std::string tail;
    if (GetFileSizeEx(file, &size)) {
        LARGE_INTEGER start{};
        start.QuadPart =
            size.QuadPart > static_cast<LONGLONG>(count) ? size.QuadPart - static_cast<LONGLONG>(count) : 0;
        tail.resize(static_cast<std::size_t>(size.QuadPart - start.QuadPart));
        DWORD got = 0;
        if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) ||
            !ReadFile(file, tail.data(), static_cast<DWORD>(tail.size()), &got, nullptr))
            got = 0;
        tail.resize(got);
    }
    CloseHandle(file);
    return tail;
}

void crash()
{
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(EXCEPTION_ACCESS_VIOLATION));
    ExitProcess(static_cast<UINT>(EXCEPTION_ACCESS_VIOLATION));
}

} // namespace standins
