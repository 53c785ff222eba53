#pragma once

// What the Windows implementation files of the platform layer share. Internal to src/platform.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

namespace platform {
namespace windows {

// The access list of the updater's own folders: full control for Administrators and SYSTEM, inherited by
// everything created inside; "P" protects the list from the parent's entries, so the users who may create
// folders in ProgramData get nothing here.
constexpr wchar_t kPrivateFolderSecurity[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

// A GUI program has no console, so failures go to the debugger output, where Qt's own messages go too.
inline void logFailure(const wchar_t *operation, const wchar_t *call, DWORD error)
{
    const std::wstring message =
        std::wstring(operation) + L": " + call + L" failed, error " + std::to_wstring(error) + L"\n";
    OutputDebugStringW(message.c_str());
}

inline std::wstring toWide(const std::string &utf8)
{
    if (utf8.empty())
        return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], size);
    return wide;
}

inline std::string toUtf8(const std::wstring &wide)
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

inline std::string withForwardSlashes(std::string path)
{
    for (char &character : path) {
        if (character == '\\')
            character = '/';
    }
    while (path.size() > 3 && path.back() == '/')
        path.pop_back();
    return path;
}

// "c:" or "c:/", or a share root "//server/share" (forward slashes).
inline bool isRoot(const std::string &path)
{
    if (path.size() <= 3 && path.size() >= 2 && path[1] == ':')
        return true;
    if (path.compare(0, 2, "//") != 0)
        return false;
    const std::string::size_type shareStart = path.find('/', 2);
    return shareStart != std::string::npos && path.find('/', shareStart + 1) == std::string::npos;
}

} // namespace windows
} // namespace platform
