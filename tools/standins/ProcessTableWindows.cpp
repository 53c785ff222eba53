// The process table of Windows (and of a Wine prefix, whose processes are the only ones its programs see).

#include "ProcessTable.h"
#include "WindowsText.h"

#include <windows.h>

#include <cstdlib>
#include <psapi.h>
#include <tlhelp32.h>

namespace standins {
namespace {

// Processes ended by the stand-ins leave with this code, as with taskkill /F.
constexpr UINT EndedExitCode = 1;

class Handle final
{
public:
    explicit Handle(HANDLE handle) : handle(handle) {}
    ~Handle()
    {
        if (isValid())
            CloseHandle(handle);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    bool isValid() const { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle; }

private:
    HANDLE handle;
};

DWORD processId(pid_t pid)
{
    return static_cast<DWORD>(pid);
}

// Forward slashes, like the other system's paths, so that callers split and compare them the same way.
std::string forwardSlashed(const std::wstring &path)
{
    std::string result = utf8Of(path);
    for (char &c : result) {
        if (c == '\\')
            c = '/';
    }
    return result;
}

} // namespace

std::string executablePathOf(pid_t pid)
{
    const Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId(pid)));
    if (!process.isValid())
        return {};
    std::wstring buffer(MAX_PATH * 4, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &length))
        return {};
    buffer.resize(length);
    return forwardSlashed(buffer);
}

std::string imageNameOf(pid_t pid)
{
    const std::string path = executablePathOf(pid);
    return path.substr(path.rfind('/') + 1);
}

std::vector<ProcessEntry> listProcesses()
{
    std::vector<ProcessEntry> table;
    const Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.isValid())
        return table;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        ProcessEntry process;
        process.pid = static_cast<pid_t>(entry.th32ProcessID);
        process.parentPid = static_cast<pid_t>(entry.th32ParentProcessID);
        process.imageName = utf8Of(entry.szExeFile);
        process.executablePath = executablePathOf(process.pid);
        if (process.pid != 0 && !process.imageName.empty())
            table.push_back(process);
    }
    return table;
}

std::string scopeFolder()
{
    const wchar_t *named = _wgetenv(wideOf(ScopeVariable).c_str());
    if (!named || *named == L'\0')
        return {};
    std::wstring full(GetFullPathNameW(named, 0, nullptr, nullptr), L'\0');
    full.resize(GetFullPathNameW(named, static_cast<DWORD>(full.size()), full.data(), nullptr));
    std::wstring onDisk(GetLongPathNameW(full.c_str(), nullptr, 0), L'\0');
    onDisk.resize(GetLongPathNameW(full.c_str(), onDisk.data(), static_cast<DWORD>(onDisk.size())));
    const DWORD attributes = onDisk.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(onDisk.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return {};
    std::string scope = forwardSlashed(onDisk);
    // "C:/folder/" and "C:/folder" name the same scope.
    if (scope.size() > 3 && scope.back() == '/')
        scope.pop_back();
    return scope;
}

bool endProcess(pid_t pid, bool, std::string &error)
{
    const Handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId(pid)));
    if (!process.isValid())
        return GetLastError() == ERROR_INVALID_PARAMETER; // already gone
    if (TerminateProcess(process.get(), EndedExitCode) ||
        WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0)
        return true;
    error = "Access is denied";
    return false;
}

long residentKilobytes(pid_t pid)
{
    const Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId(pid)));
    PROCESS_MEMORY_COUNTERS counters{};
    if (!process.isValid() || !GetProcessMemoryInfo(process.get(), &counters, sizeof(counters)))
        return 0;
    return static_cast<long>(counters.WorkingSetSize / 1024);
}

bool hasEnded(pid_t pid)
{
    const Handle process(OpenProcess(SYNCHRONIZE, FALSE, processId(pid)));
    return !process.isValid() || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

} // namespace standins
