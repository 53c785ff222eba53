#include "FileSafety.h"
#include "WindowsAccessRules.h"

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

namespace platform {
using namespace windows;
namespace {

// Administrators, SYSTEM and TrustedInstaller: no one else may change what the elevated updater relies on.
const char *const kTrustedSids[] = {"S-1-5-32-544", "S-1-5-18",
                                    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};
// An entry for CREATOR OWNER that only applies to children gives a creator rights over what it created.
const char *const kCreatorOwnerSid = "S-1-3-0";
// What lets others rename, remove or replace a folder's entries, or give themselves that right. Adding
// entries stays open to all, as it is for "C:/".
const DWORD kEntryChangingRights = DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER;
// ... and what lets them add or rewrite content: closed in the program folder and the files acted on.
const DWORD kContentChangingRights = kEntryChangingRights | FILE_WRITE_DATA | FILE_APPEND_DATA;
const DWORD kAnyRight = ~DWORD(0);
struct RightName
{
    DWORD right;
    const char *name;
};
const RightName kRightNames[] = {
    {FILE_WRITE_DATA, "write/add-file"},
    {FILE_APPEND_DATA, "append/add-folder"},
    {DELETE, "delete"},
    {FILE_DELETE_CHILD, "delete-child"},
    {WRITE_DAC, "write-permissions"},
    {WRITE_OWNER, "write-owner"},
    {FILE_READ_DATA, "read/list"},
    {FILE_EXECUTE, "execute/traverse"},
};

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// While a handle with a data right is open without FILE_SHARE_DELETE, no one can rename or delete what it
// holds, so it cannot be swapped for a link or junction meanwhile.
const DWORD kSharePinned = FILE_SHARE_READ | FILE_SHARE_WRITE;
const DWORD kUnfollowed = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
const DWORD kInspectAccess = READ_CONTROL | FILE_READ_ATTRIBUTES;
const DWORD kPinAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
const DWORD kRemovalAccess =
    DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | READ_CONTROL;
// Attributes a copy takes over, and those that may be written back when the read-only one is cleared.
const DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
const DWORD kSettableAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;
const DWORD kChunkBytes = 64 * 1024;
const DWORD kListingBytes = 64 * 1024;
// Deeper trees are left alone rather than risking the stack of a removal that recurses per folder.
const int kMaxTreeDepth = 512;
const wchar_t *const kLongPathPrefix = L"\\\\?\\";
const wchar_t *const kLongUncPrefix = L"\\\\?\\UNC\\";
const wchar_t *const kNtPathPrefix = L"\\??\\";
const char *const kReplacementInfix = ".farlink-new-";
const DWORD kReparseBufferBytes = 16 * 1024;
const DWORD kRelativeSymbolicLink = 1;
const wchar_t *const kRestorePrivilege = L"SeRestorePrivilege";

// The fixed part of a symbolic link's reparse data (the system's header for it is a driver header).
struct SymbolicLinkReparse
{
    DWORD tag;
    WORD dataLength;
    WORD reserved;
    WORD substituteOffset;
    WORD substituteLength;
    WORD printOffset;
    WORD printLength;
    DWORD flags;
};

class Handle
{
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : value(handle) {}
    Handle(Handle &&other) noexcept : value(other.release()) {}
    Handle &operator=(Handle &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle() { reset(INVALID_HANDLE_VALUE); }

    bool valid() const { return value != INVALID_HANDLE_VALUE && value != nullptr; }
    HANDLE get() const { return value; }
    HANDLE release()
    {
        const HANDLE kept = value;
        value = INVALID_HANDLE_VALUE;
        return kept;
    }
    void reset(HANDLE handle)
    {
        if (valid())
            CloseHandle(value);
        value = handle;
    }

private:
    HANDLE value = INVALID_HANDLE_VALUE;
};

// What a path names, opened without following a link or junction.
struct Opened
{
    Handle handle;
    EntryType type = EntryType::Missing;
    BY_HANDLE_FILE_INFORMATION info = {};
    // Why it cannot be used as what the path names; empty for a plain entry or a missing one. A path that
    // led elsewhere (a link or junction above the last component, or one that the system does not report as
    // a reparse point: Wine's view of a Unix link) is a Link with a problem: nothing may be done through it.
    std::string problem;
};

std::string errorText(DWORD error)
{
    return "error " + std::to_string(error);
}

void logProblem(const wchar_t *operation, const std::string &problem)
{
    OutputDebugStringW((std::wstring(operation) + L": " + toWide(problem) + L"\n").c_str());
}

std::string logged(const wchar_t *operation, const std::string &problem)
{
    if (!problem.empty())
        logProblem(operation, problem);
    return problem;
}

// "C:/a/b" as "C:\a\b".
std::wstring dosPath(const std::string &path)
{
    std::wstring dos = toWide(withForwardSlashes(path));
    for (wchar_t &character : dos) {
        if (character == L'/')
            character = L'\\';
    }
    return dos.size() == 2 && dos[1] == L':' ? dos + L'\\' : dos;
}

// "C:\a\b" as "\\?\C:\a\b", "\\server\share\a" as "\\?\UNC\server\share\a": the form the system's final
// path takes, and one without the MAX_PATH limit.
std::wstring withLongPrefix(const std::wstring &dos)
{
    if (dos.compare(0, 2, L"\\\\") == 0)
        return kLongUncPrefix + dos.substr(2);
    return kLongPathPrefix + dos;
}

std::wstring nativePath(const std::string &path)
{
    return withLongPrefix(dosPath(path));
}

// The folder holding the path, empty for a root.
std::string parentOf(const std::string &path)
{
    const std::string::size_type slash = path.find_last_of('/');
    if (isRoot(path) || slash == std::string::npos)
        return {};
    std::string parent = path.substr(0, slash);
    return parent.size() == 2 && parent[1] == ':' ? parent + '/' : parent;
}

// A final path as the other paths here are written: "C:/a/b", "//server/share/a".
std::string displayPath(const std::wstring &native)
{
    if (native.compare(0, wcslen(kLongUncPrefix), kLongUncPrefix) == 0)
        return withForwardSlashes("//" + toUtf8(native.substr(wcslen(kLongUncPrefix))));
    if (native.compare(0, wcslen(kLongPathPrefix), kLongPathPrefix) == 0)
        return withForwardSlashes(toUtf8(native.substr(wcslen(kLongPathPrefix))));
    return withForwardSlashes(toUtf8(native));
}

std::string childPath(const std::string &folder, const std::wstring &name)
{
    return folder + (folder.back() == '/' ? "" : "/") + toUtf8(name);
}

std::wstring finalPathOf(HANDLE handle)
{
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()), flags);
    if (length >= path.size()) {
        path.resize(length);
        length = GetFinalPathNameByHandleW(handle, &path[0], length, flags);
    }
    path.resize(length < path.size() ? length : 0);
    return path;
}

// The path with any short (8.3) component written out, as the final path has it; as it is when that fails.
// Wine expands nothing behind the long-path prefix, so the plain form is expanded.
std::wstring longPathOf(const std::string &path)
{
    const std::wstring dos = dosPath(path);
    std::wstring expanded(dos.size() + MAX_PATH, L'\0');
    const DWORD length = GetLongPathNameW(dos.c_str(), &expanded[0], static_cast<DWORD>(expanded.size()));
    return withLongPrefix(length > 0 && length < expanded.size() ? expanded.substr(0, length) : dos);
}

bool sameText(const std::wstring &first, const std::wstring &second)
{
    return CompareStringOrdinal(first.data(), static_cast<int>(first.size()), second.data(),
                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

EntryType typeOf(HANDLE handle, DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return EntryType::Link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return EntryType::Folder;
    return GetFileType(handle) == FILE_TYPE_DISK ? EntryType::File : EntryType::Other;
}

// The last component is opened as itself (a reparse point is not followed), and the handle's final path
// must be the path asked for, so that a junction or link above it shows.
Opened openEntry(const std::string &path, DWORD access, DWORD share)
{
    Opened entry;
    const std::wstring native = nativePath(path);
    entry.handle.reset(
        CreateFileW(native.c_str(), access, share, nullptr, OPEN_EXISTING, kUnfollowed, nullptr));
    const DWORD error = entry.handle.valid() ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return entry;
    entry.type = EntryType::Other;
    if (error != ERROR_SUCCESS || !GetFileInformationByHandle(entry.handle.get(), &entry.info)) {
        entry.problem = path + ": cannot be opened, " + errorText(error ? error : GetLastError());
        return entry;
    }
    const std::wstring final = finalPathOf(entry.handle.get());
    if (!sameText(final, longPathOf(path))) {
        entry.type = EntryType::Link;
        entry.problem = path + ": reached through a link or junction (it leads to " +
                        (final.empty() ? std::string("an unknown place") : displayPath(final)) + ")";
        return entry;
    }
    entry.type = typeOf(entry.handle.get(), entry.info.dwFileAttributes);
    return entry;
}

const char *describe(EntryType type)
{
    switch (type) {
    case EntryType::Missing:
        return "missing";
    case EntryType::File:
        return "a file";
    case EntryType::Folder:
        return "a folder";
    case EntryType::Link:
        return "a link or junction";
    case EntryType::Other:
        break;
    }
    return "a device, pipe or socket";
}

// Why the entry is not a real one of the expected type, or empty.
std::string whyNot(const Opened &entry, const std::string &path, EntryType expected)
{
    if (!entry.problem.empty())
        return entry.problem;
    if (entry.type == expected)
        return {};
    return path + ": " + describe(entry.type) + ", not " + describe(expected);
}

// The folder a new entry goes into, held open so that it cannot be renamed or replaced meanwhile.
Opened pinParent(const std::string &path, std::string &problem)
{
    const std::string parent = parentOf(path);
    Opened folder = openEntry(parent, kPinAccess, kSharePinned);
    problem = parent.empty() ? path + ": has no parent folder" : whyNot(folder, parent, EntryType::Folder);
    return folder;
}

std::string sidText(PSID sid)
{
    wchar_t *text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text))
        return "an unreadable account";
    const std::string result = toUtf8(text);
    LocalFree(text);
    return result;
}

std::string readCallerSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        logFailure(L"readCallerSid", L"OpenProcessToken", GetLastError());
        return {};
    }
    const Handle owned(token);
    std::vector<BYTE> user(SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER));
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size)) {
        logFailure(L"readCallerSid", L"GetTokenInformation", GetLastError());
        return {};
    }
    return sidText(reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid);
}

// The user of the process token, the same before and after elevation.
const std::string &callerSid()
{
    static const std::string sid = readCallerSid();
    return sid;
}

// Wine has no Windows accounts: a file shows the Unix user that owns it as the account running Wine when that
// is the process's own user (the elevated one), and as another account otherwise, with rights from its Unix
// mode. There the process's own account is the administrator; on Windows a user's own account never is.
bool runsUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

bool isTrusted(const std::string &sid)
{
    for (const char *trusted : kTrustedSids) {
        if (sid == trusted)
            return true;
    }
    static const bool wine = runsUnderWine();
    return wine && !sid.empty() && sid == callerSid();
}

// Owner and access list of what a handle holds.
class Security
{
public:
    explicit Security(HANDLE handle)
    {
        error =
            GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner, nullptr, nullptr, nullptr, &descriptor);
    }
    Security(const Security &) = delete;
    Security &operator=(const Security &) = delete;
    ~Security() { LocalFree(descriptor); }

    DWORD error = ERROR_SUCCESS;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
};

// The owner's SID in string form, empty when it cannot be read.
std::string ownerOf(HANDLE handle)
{
    const Security security(handle);
    return security.error == ERROR_SUCCESS ? sidText(security.owner) : std::string();
}

std::string rightNames(DWORD rights)
{
    std::string names;
    for (const RightName &known : kRightNames) {
        if (rights & known.right)
            names += (names.empty() ? "" : ", ") + std::string(known.name);
        rights &= ~known.right;
    }
    return rights == 0 ? names : names + (names.empty() ? "" : ", ") + "other rights";
}

DWORD mappedRights(DWORD mask)
{
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    MapGenericMask(&mask, &mapping);
    return mask;
}

// What one entry of an access list grants someone other than the administrators out of the rights, e.g.
// "S-1-1-0 holds delete"; empty when nothing. Entries for children only count when withChildren is set.
std::string grantOf(PACL dacl, DWORD index, DWORD rights, bool withChildren)
{
    ACE_HEADER *header = nullptr;
    if (!GetAce(dacl, index, reinterpret_cast<void **>(&header)))
        return "access entry " + std::to_string(index) + " cannot be read";
    const bool childrenOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
    if (header->AceType == ACCESS_ALLOWED_COMPOUND_ACE_TYPE ||
        header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
        header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE)
        return "access entry " + std::to_string(index) + " is of a kind this check does not read";
    if ((header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) ||
        (childrenOnly && !withChildren))
        return {};
    auto *entry = reinterpret_cast<ACCESS_ALLOWED_ACE *>(header);
    const std::string sid = sidText(&entry->SidStart);
    const DWORD held = mappedRights(entry->Mask) & rights;
    if (held == 0 || isTrusted(sid) || (childrenOnly && sid == kCreatorOwnerSid))
        return {};
    return sid + " holds " + rightNames(held) + (childrenOnly ? " (on what is created inside)" : "");
}

// Every entry that grants someone else one of the closed rights, with the rights.
std::string grantsToOthers(PACL dacl, Closure closure)
{
    const DWORD rights = closure == Closure::Entries   ? kEntryChangingRights
                         : closure == Closure::Content ? kContentChangingRights
                                                       : kAnyRight;
    std::string grants;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        const std::string grant = grantOf(dacl, index, rights, closure != Closure::Entries);
        if (!grant.empty())
            grants += (grants.empty() ? "" : "; ") + grant;
    }
    return grants;
}

// An owner may always change the access list, so only an administrator may be one.
std::string ownerProblem(PSECURITY_DESCRIPTOR descriptor)
{
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    const std::string sid =
        GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ? sidText(owner) : sidText(nullptr);
    return isTrusted(sid) ? std::string() : "owned by " + sid + ", who may change its permissions";
}

std::string protectionProblem(PSECURITY_DESCRIPTOR descriptor)
{
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED))
        return {};
    return "its access list takes entries from the folder above";
}

// Owner and access list of what a handle holds, for whyDescriptorOpen.
std::string whyHandleOpen(const std::string &path, HANDLE handle, Closure closure)
{
    const Security security(handle);
    if (security.error != ERROR_SUCCESS)
        return path + ": its access list cannot be read, " + errorText(security.error);
    // Wine keeps no access list and inherits nothing: the list it shows comes from the Unix mode alone.
    static const bool listsInherit = !runsUnderWine();
    return whyDescriptorOpen(path, security.descriptor, closure, listsInherit);
}

std::string whyFolderOpen(const std::string &path, Closure closure)
{
    const Opened folder = openEntry(path, kInspectAccess, kShareAll);
    const std::string problem = whyNot(folder, path, EntryType::Folder);
    return problem.empty() ? whyHandleOpen(path, folder.handle.get(), closure) : problem;
}

std::string whyPathOpen(const std::string &folder)
{
    if (parentOf(folder).empty() && !isRoot(folder))
        return folder + ": not an absolute path";
    for (std::string path = folder; !path.empty(); path = parentOf(path)) {
        const std::string problem = whyFolderOpen(path, Closure::Entries);
        if (!problem.empty())
            return problem;
    }
    return {};
}

std::string whyAboveOpen(const std::string &path)
{
    return isRoot(path) ? std::string() : whyPathOpen(parentOf(path));
}

std::string hardLinksProblem(const std::string &path, const BY_HANDLE_FILE_INFORMATION &info)
{
    if (info.nNumberOfLinks == 1)
        return {};
    return path + ": has " + std::to_string(info.nNumberOfLinks) + " hard links";
}

bool setBasicInfo(HANDLE handle, DWORD attributes, const FILETIME *lastWrite)
{
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = attributes;
    if (lastWrite) {
        basic.LastWriteTime.LowPart = lastWrite->dwLowDateTime;
        basic.LastWriteTime.HighPart = static_cast<LONG>(lastWrite->dwHighDateTime);
    }
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic)) != 0;
}

// Deletes exactly what the handle holds (a link as itself); the name goes when the handle closes.
bool deleteOpened(const std::string &path, Opened &entry)
{
    const DWORD attributes = entry.info.dwFileAttributes;
    const DWORD kept = attributes & kSettableAttributes;
    if ((attributes & FILE_ATTRIBUTE_READONLY) &&
        !setBasicInfo(entry.handle.get(), kept ? kept : FILE_ATTRIBUTE_NORMAL, nullptr)) {
        logProblem(L"removeTree", path + ": read-only attribute not cleared, " + errorText(GetLastError()));
        return false;
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (!SetFileInformationByHandle(entry.handle.get(), FileDispositionInfo, &disposition,
                                    sizeof(disposition))) {
        logProblem(L"removeTree", path + ": cannot be deleted, " + errorText(GetLastError()));
        return false;
    }
    entry.handle.reset(INVALID_HANDLE_VALUE);
    if (openEntry(path, FILE_READ_ATTRIBUTES, kShareAll).type == EntryType::Missing)
        return true;
    logProblem(L"removeTree", path + ": still there after its deletion (held open by another program)");
    return false;
}

void addNames(const BYTE *listing, std::vector<std::wstring> &names)
{
    for (;;) {
        const auto *entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(listing);
        const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
        if (name != L"." && name != L"..")
            names.push_back(name);
        if (entry->NextEntryOffset == 0)
            return;
        listing += entry->NextEntryOffset;
    }
}

// The names in the folder the handle holds, read from that handle rather than from its path.
bool listFolder(HANDLE folder, std::vector<std::wstring> &names)
{
    std::vector<LONGLONG> listing(kListingBytes / sizeof(LONGLONG));
    while (GetFileInformationByHandleEx(folder, FileIdBothDirectoryInfo, listing.data(), kListingBytes))
        addNames(reinterpret_cast<const BYTE *>(listing.data()), names);
    return GetLastError() == ERROR_NO_MORE_FILES;
}

bool removeEntry(const std::string &path, int depth);

bool removeChildren(const std::string &path, HANDLE folder, int depth)
{
    if (depth >= kMaxTreeDepth) {
        logProblem(L"removeTree", path + ": more than " + std::to_string(kMaxTreeDepth) + " folders deep");
        return false;
    }
    std::vector<std::wstring> names;
    if (!listFolder(folder, names)) {
        logProblem(L"removeTree", path + ": cannot be listed, " + errorText(GetLastError()));
        return false;
    }
    bool removed = true;
    for (const std::wstring &name : names)
        removed &= removeEntry(childPath(path, name), depth + 1);
    return removed;
}

// Depth-first: a folder's entries go before the folder, each removed as what it is.
bool removeOpened(const std::string &path, Opened &entry, int depth)
{
    if (entry.type == EntryType::Folder && !removeChildren(path, entry.handle.get(), depth))
        return false;
    return deleteOpened(path, entry);
}

bool removeEntry(const std::string &path, int depth)
{
    Opened entry = openEntry(path, kRemovalAccess, kSharePinned);
    if (entry.type == EntryType::Missing)
        return true;
    if (!entry.problem.empty()) {
        logProblem(L"removeTree", entry.problem);
        return false;
    }
    return removeOpened(path, entry, depth);
}

// A new file at path, never over anything that has the name; a file that the system put elsewhere (the
// folder was swapped for a link after all) is deleted again.
Handle createFileAt(const std::string &path, DWORD access, DWORD share, DWORD flags, std::string &problem)
{
    const Opened parent = pinParent(path, problem);
    if (!problem.empty())
        return Handle();
    const std::wstring native = nativePath(path);
    Handle file(CreateFileW(native.c_str(), access, share, nullptr, CREATE_NEW,
                            FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr));
    if (!file.valid()) {
        problem = path + ": cannot be created, " + errorText(GetLastError());
        return file;
    }
    if (sameText(finalPathOf(file.get()), native))
        return file;
    FILE_DISPOSITION_INFO disposition = {TRUE};
    SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition));
    problem = path + ": created through a link or junction";
    return Handle();
}

void discard(Handle &file)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition)))
        logFailure(L"discard", L"SetFileInformationByHandle", GetLastError());
    file.reset(INVALID_HANDLE_VALUE);
}

bool writeAll(HANDLE file, const char *data, size_t size)
{
    while (size > 0) {
        const DWORD chunk = size < kChunkBytes ? static_cast<DWORD>(size) : kChunkBytes;
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr) || written != chunk)
            return false;
        data += chunk;
        size -= chunk;
    }
    return true;
}

bool readChunk(HANDLE file, std::vector<char> &buffer, DWORD &read)
{
    buffer.resize(kChunkBytes);
    return ReadFile(file, buffer.data(), kChunkBytes, &read, nullptr) != 0;
}

bool copyBytes(HANDLE source, HANDLE target)
{
    std::vector<char> buffer;
    DWORD read = 0;
    do {
        if (!readChunk(source, buffer, read) || !writeAll(target, buffer.data(), read))
            return false;
    } while (read > 0);
    return true;
}

unsigned long long sizeOf(const BY_HANDLE_FILE_INFORMATION &info)
{
    return (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

bool sameBytes(HANDLE first, HANDLE second)
{
    std::vector<char> firstBuffer;
    std::vector<char> secondBuffer;
    DWORD firstRead = 0;
    DWORD secondRead = 0;
    do {
        if (!readChunk(first, firstBuffer, firstRead) || !readChunk(second, secondBuffer, secondRead) ||
            firstRead != secondRead ||
            !std::equal(firstBuffer.begin(), firstBuffer.begin() + firstRead, secondBuffer.begin()))
            return false;
    } while (firstRead > 0);
    return true;
}

// The restore privilege, held by elevated administrators but off, lets a file be given to another owner
// (SYSTEM, TrustedInstaller); it is on only while an instance lives.
class RestorePrivilege
{
public:
    RestorePrivilege()
    {
        HANDLE opened = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &opened))
            return;
        token.reset(opened);
        TOKEN_PRIVILEGES wanted = {};
        wanted.PrivilegeCount = 1;
        wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        DWORD size = 0;
        adjusted = LookupPrivilegeValueW(nullptr, kRestorePrivilege, &wanted.Privileges[0].Luid) &&
                   AdjustTokenPrivileges(opened, FALSE, &wanted, sizeof(previous), &previous, &size);
    }
    RestorePrivilege(const RestorePrivilege &) = delete;
    RestorePrivilege &operator=(const RestorePrivilege &) = delete;
    ~RestorePrivilege()
    {
        if (adjusted)
            AdjustTokenPrivileges(token.get(), FALSE, &previous, 0, nullptr, nullptr);
    }

private:
    Handle token;
    TOKEN_PRIVILEGES previous = {};
    bool adjusted = false;
};

const SECURITY_INFORMATION kKeptSecurity = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

bool readKeptSecurity(HANDLE handle, std::vector<BYTE> &descriptor)
{
    DWORD size = 0;
    GetKernelObjectSecurity(handle, kKeptSecurity, nullptr, 0, &size);
    descriptor.resize(size);
    return size > 0 && GetKernelObjectSecurity(handle, kKeptSecurity, descriptor.data(), size, &size);
}

// Owner and access list as they were, inherited entries and protection included.
std::string applyKeptSecurity(const std::string &path, HANDLE handle, std::vector<BYTE> &descriptor)
{
    if (SetKernelObjectSecurity(handle, kKeptSecurity, descriptor.data()))
        return {};
    if (GetLastError() == ERROR_INVALID_OWNER) {
        const RestorePrivilege privilege;
        if (SetKernelObjectSecurity(handle, kKeptSecurity, descriptor.data()))
            return {};
    }
    return path + ": the old file's owner and access list cannot be given to it, " +
           errorText(GetLastError());
}

// The replaced file's owner and access list; nothing for a missing file. It must be a plain file with one
// name.
std::string readReplacedSecurity(const std::string &path, std::vector<BYTE> &descriptor)
{
    const Opened old = openEntry(path, kInspectAccess, kShareAll);
    if (old.type == EntryType::Missing)
        return {};
    std::string problem = whyNot(old, path, EntryType::File);
    if (problem.empty())
        problem = hardLinksProblem(path, old.info);
    if (problem.empty() && !readKeptSecurity(old.handle.get(), descriptor))
        problem = path + ": its owner and access list cannot be read, " + errorText(GetLastError());
    return problem;
}

std::string writeWhole(const std::string &path, HANDLE file, const std::string &bytes)
{
    LARGE_INTEGER size = {};
    if (!writeAll(file, bytes.data(), bytes.size()) || !FlushFileBuffers(file))
        return path + ": cannot be written, " + errorText(GetLastError());
    if (!GetFileSizeEx(file, &size) || static_cast<unsigned long long>(size.QuadPart) != bytes.size())
        return path + ": " + std::to_string(size.QuadPart) + " of " + std::to_string(bytes.size()) +
               " bytes written";
    return {};
}

std::string replacementName(const std::string &path)
{
    static std::atomic<unsigned> counter{0};
    return path + kReplacementInfix + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
}

std::string writeReplacement(const std::string &path, const std::string &bytes, std::vector<BYTE> &security)
{
    const std::string part = replacementName(path);
    std::string problem;
    Handle file = createFileAt(part, GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER, 0,
                               FILE_FLAG_WRITE_THROUGH, problem);
    if (!file.valid())
        return problem;
    problem = writeWhole(part, file.get(), bytes);
    if (problem.empty() && !security.empty())
        problem = applyKeptSecurity(part, file.get(), security);
    if (!problem.empty()) {
        discard(file);
        return problem;
    }
    file.reset(INVALID_HANDLE_VALUE);
    if (MoveFileExW(nativePath(part).c_str(), nativePath(path).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return {};
    problem = path + ": cannot be replaced, " + errorText(GetLastError());
    DeleteFileW(nativePath(part).c_str());
    return problem;
}

// The text a symbolic link holds, as it was given when it was made; a junction or another reparse point
// is refused.
std::string readSymbolicLink(const std::string &path, HANDLE link, std::wstring &text)
{
    std::vector<LONGLONG> buffer(kReparseBufferBytes / sizeof(LONGLONG));
    DWORD size = 0;
    if (!DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(), kReparseBufferBytes, &size,
                         nullptr))
        return path + ": its link cannot be read, " + errorText(GetLastError());
    const auto *reparse = reinterpret_cast<const SymbolicLinkReparse *>(buffer.data());
    if (size < sizeof(SymbolicLinkReparse) || reparse->tag != IO_REPARSE_TAG_SYMLINK)
        return path + ": a junction or other reparse point, which is not copied";
    const auto *names = reinterpret_cast<const wchar_t *>(reparse + 1);
    const bool usePrint = reparse->printLength > 0;
    const WORD offset = usePrint ? reparse->printOffset : reparse->substituteOffset;
    const WORD length = usePrint ? reparse->printLength : reparse->substituteLength;
    if (sizeof(SymbolicLinkReparse) + offset + length > size)
        return path + ": its link data is cut short";
    text.assign(names + offset / sizeof(wchar_t), length / sizeof(wchar_t));
    if (!(reparse->flags & kRelativeSymbolicLink) && text.compare(0, 4, kNtPathPrefix) == 0)
        text.erase(0, 4);
    return {};
}

std::string createLinkAt(const std::string &path, const std::wstring &text, bool folder)
{
    std::string problem;
    const Opened parent = pinParent(path, problem);
    if (!problem.empty())
        return problem;
    if (!CreateSymbolicLinkW(nativePath(path).c_str(), text.c_str(),
                             folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0))
        return path + ": link cannot be created, " + errorText(GetLastError());
    return whyNot(openEntry(path, FILE_READ_ATTRIBUTES, kShareAll), path, EntryType::Link);
}

} // namespace

std::string windows::whyDescriptorOpen(const std::string &path, PSECURITY_DESCRIPTOR descriptor,
                                       Closure closure, bool listsInherit)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        return path + ": its access list cannot be read, " + errorText(GetLastError());
    if (!present || !dacl)
        return path + ": it has no access list, so everyone may do anything";
    std::string problem = grantsToOthers(dacl, closure);
    if (problem.empty())
        problem = ownerProblem(descriptor);
    if (problem.empty() && closure == Closure::Private && listsInherit)
        problem = protectionProblem(descriptor);
    return problem.empty() ? problem : path + ": " + problem;
}

std::string whyProgramFolderUntrusted(const std::string &folder)
{
    const std::string path = withForwardSlashes(folder);
    std::string problem = whyFolderOpen(path, Closure::Content);
    if (problem.empty())
        problem = whyAboveOpen(path);
    return logged(L"whyProgramFolderUntrusted", problem);
}

std::string whyPathUntrusted(const std::string &folder)
{
    return logged(L"whyPathUntrusted", whyPathOpen(withForwardSlashes(folder)));
}

std::string whyPrivateFolderUntrusted(const std::string &folder)
{
    const std::string path = withForwardSlashes(folder);
    const Opened entry = openEntry(path, kInspectAccess, kShareAll);
    std::string problem = whyNot(entry, path, EntryType::Folder);
    if (problem.empty())
        problem = whyHandleOpen(path, entry.handle.get(), Closure::Private);
    if (problem.empty())
        problem = whyAboveOpen(path);
    return logged(L"whyPrivateFolderUntrusted", problem);
}

std::string whyFileUntrusted(const std::string &path)
{
    const std::string file = withForwardSlashes(path);
    const Opened entry = openEntry(file, kInspectAccess, kShareAll);
    std::string problem = whyNot(entry, file, EntryType::File);
    if (problem.empty())
        problem = hardLinksProblem(file, entry.info);
    if (problem.empty())
        problem = whyHandleOpen(file, entry.handle.get(), Closure::Content);
    return logged(L"whyFileUntrusted", problem);
}

std::string preparePrivateFolder(const std::string &path)
{
    if (createPrivateFolder(path) == FolderCreation::Failed)
        return logged(L"preparePrivateFolder", path + ": cannot be created");
    return whyPrivateFolderUntrusted(path);
}

EntryStatus entryStatus(const std::string &path)
{
    const Opened entry = openEntry(withForwardSlashes(path), kInspectAccess, kShareAll);
    EntryStatus status;
    status.type = entry.type;
    if (!entry.problem.empty()) {
        logProblem(L"entryStatus", entry.problem);
        return status;
    }
    if (entry.type == EntryType::Missing)
        return status;
    status.size = sizeOf(entry.info);
    status.linkCount = entry.info.nNumberOfLinks;
    const std::string owner = ownerOf(entry.handle.get());
    status.ownedByAdministrators = isTrusted(owner);
    status.ownedByCaller = !owner.empty() && owner == callerSid();
    return status;
}

// Each entry is opened as entryStatus opens it: a handle's final path is what shows a junction above it.
std::vector<FolderEntry> folderEntries(const std::string &folder)
{
    std::vector<FolderEntry> found;
    const std::string path = withForwardSlashes(folder);
    const Opened opened = openEntry(path, kPinAccess, kShareAll);
    std::vector<std::wstring> names;
    if (opened.type != EntryType::Folder || !opened.problem.empty() ||
        !listFolder(opened.handle.get(), names)) {
        logProblem(L"folderEntries", path + ": cannot be listed");
        return found;
    }
    for (const std::wstring &name : names)
        found.push_back({toUtf8(name), entryStatus(childPath(path, name))});
    return found;
}

bool removeTree(const std::string &path)
{
    return removeEntry(withForwardSlashes(path), 0);
}

FolderCreation createFolder(const std::string &path)
{
    const std::string folder = withForwardSlashes(path);
    std::string problem;
    const Opened parent = pinParent(folder, problem);
    if (problem.empty() && !CreateDirectoryW(nativePath(folder).c_str(), nullptr)) {
        if (GetLastError() == ERROR_ALREADY_EXISTS)
            return FolderCreation::NameTaken;
        problem = folder + ": cannot be created, " + errorText(GetLastError());
    }
    if (problem.empty())
        problem = whyNot(openEntry(folder, FILE_READ_ATTRIBUTES, kShareAll), folder, EntryType::Folder);
    return logged(L"createFolder", problem).empty() ? FolderCreation::Created : FolderCreation::Failed;
}

bool copyFile(const std::string &source, const std::string &target)
{
    const std::string from = withForwardSlashes(source);
    const Opened original = openEntry(from, GENERIC_READ, kShareAll);
    std::string problem = whyNot(original, from, EntryType::File);
    Handle copy;
    if (problem.empty())
        copy = createFileAt(withForwardSlashes(target), GENERIC_WRITE | DELETE | FILE_WRITE_ATTRIBUTES, 0, 0,
                            problem);
    if (!problem.empty()) {
        logProblem(L"copyFile", problem);
        return false;
    }
    const DWORD attributes = original.info.dwFileAttributes & kCopiedAttributes;
    if (copyBytes(original.handle.get(), copy.get()) &&
        setBasicInfo(copy.get(), attributes, &original.info.ftLastWriteTime))
        return true;
    logProblem(L"copyFile", target + ": copy of " + from + " failed, " + errorText(GetLastError()));
    discard(copy);
    return false;
}

void copyFilesBetween(const std::string &sourceFolder, const std::string &targetFolder,
                      const std::vector<std::string> &names, const std::function<void(size_t, bool)> &copied)
{
    for (size_t i = 0; i < names.size(); ++i)
        copied(i, copyFile(sourceFolder + "/" + names[i], targetFolder + "/" + names[i]));
}

bool copyLink(const std::string &source, const std::string &target)
{
    const std::string from = withForwardSlashes(source);
    const Opened link = openEntry(from, FILE_READ_ATTRIBUTES, kShareAll);
    std::string problem = whyNot(link, from, EntryType::Link);
    std::wstring text;
    if (problem.empty())
        problem = readSymbolicLink(from, link.handle.get(), text);
    if (problem.empty())
        problem = createLinkAt(withForwardSlashes(target), text,
                               (link.info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    return logged(L"copyLink", problem).empty();
}

bool sameContents(const std::string &first, const std::string &second)
{
    const Opened one = openEntry(withForwardSlashes(first), GENERIC_READ, kShareAll);
    const Opened other = openEntry(withForwardSlashes(second), GENERIC_READ, kShareAll);
    if (!whyNot(one, first, EntryType::File).empty() || !whyNot(other, second, EntryType::File).empty())
        return false;
    return sizeOf(one.info) == sizeOf(other.info) && sameBytes(one.handle.get(), other.handle.get());
}

int createNewFile(const std::string &path)
{
    std::string problem;
    Handle file = createFileAt(withForwardSlashes(path), GENERIC_WRITE, FILE_SHARE_READ, 0, problem);
    if (!file.valid()) {
        logProblem(L"createNewFile", problem);
        return -1;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_BINARY);
    if (descriptor < 0)
        logProblem(L"createNewFile", path + ": no C runtime descriptor for it");
    else
        file.release();
    return descriptor;
}

std::string replaceFile(const std::string &path, const std::string &bytes)
{
    const std::string file = withForwardSlashes(path);
    std::string problem;
    // Held until the rename is done: the folder cannot be swapped for a link meanwhile.
    const Opened parent = pinParent(file, problem);
    std::vector<BYTE> security;
    if (problem.empty())
        problem = readReplacedSecurity(file, security);
    if (problem.empty())
        problem = writeReplacement(file, bytes, security);
    return logged(L"replaceFile", problem);
}

std::string removeCallersEntry(const std::string &path, bool folder)
{
    const std::string target = withForwardSlashes(path);
    Opened entry = openEntry(target, kRemovalAccess, kSharePinned);
    if (entry.type == EntryType::Missing)
        return {};
    std::string problem = whyNot(entry, target, folder ? EntryType::Folder : EntryType::File);
    const std::string owner = problem.empty() ? ownerOf(entry.handle.get()) : std::string();
    if (problem.empty() && (owner.empty() || owner != callerSid()))
        problem = target + ": owned by " + owner + ", not by the user who started the updater";
    if (problem.empty() && !removeOpened(target, entry, 0))
        problem = target + ": not everything in it could be removed";
    return logged(L"removeCallersEntry", problem);
}

} // namespace platform
