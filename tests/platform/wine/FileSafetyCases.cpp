// The operations of FileSafety.h under Wine. Wine 8 makes no reparse points (CreateSymbolicLinkW does
// nothing) and keeps no access lists, so check-windows-platform.sh lays out what only Unix can make:
//
//   other/keep.txt                   "keep\n", what every link points at
//   file-link -> other/keep.txt      folder-link -> other      dangling -> nowhere
//   tree/sub/plain.txt, tree/sub/file-link, tree/sub/folder-link (links to other/keep.txt and other)
//   open/                            mode 0777: Wine grants Everyone every right on it
//   foreign.txt                      owned by another Unix user: Wine names S-1-5-7 as its owner
//   closed.ini                       mode 0600: Wine grants Everyone nothing on it
//
// Wine shows a Unix link as what it points at, but the handle's final path is the target's, which is what
// the platform layer checks. Everything else is made here, in work/. The access-list rules are tried on the
// lists of a real Windows, as security descriptors.

#include "FileSafety.h"
#include "Probe.h"
#include "WindowsAccessRules.h"

#include <io.h>
#include <sddl.h>

#include <functional>
#include <vector>

using platform::windows::toUtf8;
using platform::windows::toWide;

namespace {

const char *const kGroup = "file safety";
const std::string kKept = "keep\n";
const char *const kEveryone = "S-1-1-0";

struct Case
{
    const char *name;
    std::function<std::string()> run;
};

std::string fixture;

std::string at(const std::string &name)
{
    return fixture + "/" + name;
}

void writeText(const std::string &name, const std::string &text, DWORD attributes = FILE_ATTRIBUTE_NORMAL)
{
    const HANDLE file =
        CreateFileW(toWide(at(name)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::string readText(const std::string &name)
{
    const HANDLE file = CreateFileW(toWide(at(name)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string text(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &read, nullptr);
    CloseHandle(file);
    return text;
}

void makeFolders(std::initializer_list<const char *> names)
{
    for (const char *name : names)
        CreateDirectoryW(toWide(at(name)).c_str(), nullptr);
}

// A file with a second name (a hard link).
void writeTwoNames(const std::string &name, const std::string &second)
{
    writeText(name, "12345");
    CreateHardLinkW(toWide(at(second)).c_str(), toWide(at(name)).c_str(), nullptr);
}

platform::EntryType typeAt(const std::string &name)
{
    return platform::entryStatus(at(name)).type;
}

bool isMissing(const std::string &name)
{
    return typeAt(name) == platform::EntryType::Missing;
}

// Each check is a condition and what it means when it fails; the first failed one is the problem.
std::string expect(std::initializer_list<std::pair<bool, const char *>> checks)
{
    for (const auto &check : checks) {
        if (!check.first)
            return check.second;
    }
    return {};
}

std::string linkedIntact()
{
    return readText("other/keep.txt") == kKept ? std::string() : "the linked folder's file was changed";
}

std::string expectRefused(const std::string &why, const char *mustName = "")
{
    if (why.empty())
        return "accepted";
    return why.find(mustName) == std::string::npos
               ? "the reason does not name " + std::string(mustName) + ": " + why
               : linkedIntact();
}

std::vector<Case> entryStatusCases()
{
    using platform::EntryType;
    const auto typeIs = [](const char *name, EntryType expected) {
        return [=] { return typeAt(name) == expected ? std::string() : "another type"; };
    };
    return {
        {"entry status: a file with two names",
         [] {
             writeTwoNames("work/status.txt", "work/status-2.txt");
             const platform::EntryStatus status = platform::entryStatus(at("work/status.txt"));
             return expect(
                 {{status.type == EntryType::File, "not a file"},
                  {status.size == 5, "wrong size"},
                  {status.linkCount == 2, "wrong link count"},
                  {status.ownedByCaller, "not the caller's"},
                  {status.ownedByAdministrators, "the updater's own account not counted as administrator"}});
         }},
        {"entry status: a folder", typeIs("other", EntryType::Folder)},
        {"entry status: a folder by its short name",
         [] {
             makeFolders({"work/a long folder name"});
             wchar_t shortPath[MAX_PATH] = {};
             GetShortPathNameW(toWide(at("work/a long folder name")).c_str(), shortPath, MAX_PATH);
             const std::string path = toUtf8(shortPath);
             return path.find('~') == std::string::npos ? "no short name: " + path
                    : platform::entryStatus(path).type == platform::EntryType::Folder ? std::string()
                                                                                      : "another type";
         }},
        {"entry status: nothing", typeIs("absent", EntryType::Missing)},
        {"entry status: a link to a file", typeIs("file-link", EntryType::Link)},
        {"entry status: a link to a folder", typeIs("folder-link", EntryType::Link)},
        {"entry status: a file behind a linked folder", typeIs("folder-link/keep.txt", EntryType::Link)},
    };
}

std::vector<Case> removalCases()
{
    return {
        {"removeTree: the links inside are left, and what they point at",
         [] {
             const bool removed = platform::removeTree(at("tree"));
             return expect({{!removed, "reported as removed"},
                            {isMissing("tree/sub/plain.txt"), "the tree's own file is still there"},
                            {typeAt("tree/sub/folder-link") == platform::EntryType::Link, "link gone"},
                            {linkedIntact().empty(), "the linked folder's file was changed"}});
         }},
        {"removeTree: a tree with a read-only file",
         [] {
             makeFolders({"work/plain", "work/plain/a", "work/plain/a/b"});
             writeText("work/plain/a/b/c.txt", "c", FILE_ATTRIBUTE_READONLY);
             writeText("work/plain/d.txt", "d");
             return expect({{platform::removeTree(at("work/plain")), "reported as failed"},
                            {isMissing("work/plain"), "still there"}});
         }},
        {"removeTree: nothing there",
         [] { return platform::removeTree(at("absent")) ? "" : "reported as failed"; }},
        {"removeTree: a link itself",
         [] { return platform::removeTree(at("folder-link")) ? "removed" : linkedIntact(); }},
        {"removeTree: behind a linked folder",
         [] { return platform::removeTree(at("folder-link/keep.txt")) ? "removed" : linkedIntact(); }},
        {"removeCallersEntry: the caller's file",
         [] {
             writeText("work/info.json", "{}");
             return expect({{platform::removeCallersEntry(at("work/info.json"), false).empty(), "refused"},
                            {isMissing("work/info.json"), "still there"}});
         }},
        {"removeCallersEntry: the caller's folder",
         [] {
             makeFolders({"work/companion", "work/companion/sub"});
             writeText("work/companion/sub/file.bin", "x");
             return expect({{platform::removeCallersEntry(at("work/companion"), true).empty(), "refused"},
                            {isMissing("work/companion"), "still there"}});
         }},
        {"removeCallersEntry: a file asked for as a folder",
         [] {
             writeText("work/not-a-folder", "x");
             return expect(
                 {{!platform::removeCallersEntry(at("work/not-a-folder"), true).empty(), "accepted"},
                  {readText("work/not-a-folder") == "x", "removed"}});
         }},
        {"removeCallersEntry: a link",
         [] { return expectRefused(platform::removeCallersEntry(at("file-link"), false), "link"); }},
        {"removeCallersEntry: another user's file",
         [] {
             return expect({{!platform::removeCallersEntry(at("foreign.txt"), false).empty(), "accepted"},
                            {readText("foreign.txt") == "theirs\n", "removed"}});
         }},
    };
}

std::vector<Case> creationCases()
{
    using platform::FolderCreation;
    const auto folderIs = [](const char *name, FolderCreation expected) {
        return
            [=] { return platform::createFolder(at(name)) == expected ? std::string() : "another outcome"; };
    };
    return {
        {"createNewFile: a new name, written through the descriptor",
         [] {
             const int descriptor = platform::createNewFile(at("work/new.log"));
             const bool written = descriptor >= 0 && _write(descriptor, "abc", 3) == 3;
             if (descriptor >= 0)
                 _close(descriptor);
             return expect({{written, "not written"}, {readText("work/new.log") == "abc", "wrong content"}});
         }},
        {"createNewFile: over an existing file",
         [] {
             writeText("work/existing.log", "old");
             return expect({{platform::createNewFile(at("work/existing.log")) == -1, "created"},
                            {readText("work/existing.log") == "old", "content changed"}});
         }},
        {"createNewFile: over a dangling link",
         [] {
             return expect({{platform::createNewFile(at("dangling")) == -1, "created"},
                            {isMissing("nowhere"), "created where the link points"}});
         }},
        {"createNewFile: inside a linked folder",
         [] {
             return expect({{platform::createNewFile(at("folder-link/new.log")) == -1, "created"},
                            {isMissing("other/new.log"), "created in the linked folder"}});
         }},
        {"createFolder: a new name", folderIs("work/made", FolderCreation::Created)},
        {"createFolder: an existing file", folderIs("other/keep.txt", FolderCreation::NameTaken)},
        {"createFolder: a dangling link", folderIs("dangling", FolderCreation::NameTaken)},
        {"createFolder: inside a linked folder",
         [] {
             return expect(
                 {{platform::createFolder(at("folder-link/made")) == FolderCreation::Failed, "not failed"},
                  {isMissing("other/made"), "made in the linked folder"}});
         }},
    };
}

std::string patterned(size_t size, char last)
{
    std::string bytes(size, '\0');
    for (size_t index = 0; index < size; ++index)
        bytes[index] = static_cast<char>(index * 7 % 251);
    bytes.back() = last;
    return bytes;
}

std::vector<Case> copyCases()
{
    const auto same = [](const char *first, const char *second, bool expected) {
        return [=] {
            writeText("work/same-1", patterned(100000, 'a'));
            writeText("work/same-2", patterned(100000, 'a'));
            writeText("work/same-3", patterned(100000, 'b'));
            writeText("work/same-4", patterned(100001, 'a'));
            return platform::sameContents(at(first), at(second)) == expected ? std::string() : "wrong answer";
        };
    };
    return {
        {"copyFile: same bytes, read-only kept",
         [] {
             writeText("work/source.bin", patterned(200000, 'a'), FILE_ATTRIBUTE_READONLY);
             const bool copied = platform::copyFile(at("work/source.bin"), at("work/copy.bin"));
             const DWORD attributes = GetFileAttributesW(toWide(at("work/copy.bin")).c_str());
             return expect({{copied, "not copied"},
                            {readText("work/copy.bin") == patterned(200000, 'a'), "other bytes"},
                            {attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY),
                             "not read-only"}});
         }},
        {"copyFile: a link as source",
         [] {
             return expect({{!platform::copyFile(at("file-link"), at("work/copy-of-link")), "copied"},
                            {isMissing("work/copy-of-link"), "a target was left"}});
         }},
        {"copyFile: a source behind a linked folder",
         [] { return platform::copyFile(at("folder-link/keep.txt"), at("work/copy-2")) ? "copied" : ""; }},
        {"copyFile: over an existing file",
         [] {
             writeText("work/taken.bin", "taken");
             return expect({{!platform::copyFile(at("other/keep.txt"), at("work/taken.bin")), "copied"},
                            {readText("work/taken.bin") == "taken", "overwritten"}});
         }},
        // Wine makes no reparse point to copy; what it shows of a link must be refused.
        {"copyLink: a Unix link",
         [] {
             return expect({{!platform::copyLink(at("file-link"), at("work/link-copy")), "copied"},
                            {isMissing("work/link-copy"), "a target was left"}});
         }},
        {"copyLink: a file",
         [] { return platform::copyLink(at("other/keep.txt"), at("work/x")) ? "copied" : ""; }},
        {"sameContents: same bytes", same("work/same-1", "work/same-2", true)},
        {"sameContents: the last byte differs", same("work/same-1", "work/same-3", false)},
        {"sameContents: one byte longer", same("work/same-1", "work/same-4", false)},
        {"sameContents: a link to the same bytes", same("file-link", "other/keep.txt", false)},
        {"sameContents: nothing there", same("absent", "absent", false)},
    };
}

// Whether anything half-written by replaceFile is left in work/.
bool replacementLeft()
{
    WIN32_FIND_DATAW found = {};
    const HANDLE search = FindFirstFileW(toWide(at("work/*.farlink-new-*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

std::vector<Case> replacementCases()
{
    return {
        {"replaceFile: the new bytes whole, nothing left beside",
         [] {
             writeText("work/config.ini", "old");
             const std::string bytes = patterned(300000, 'z');
             return expect({{platform::replaceFile(at("work/config.ini"), bytes).empty(), "refused"},
                            {readText("work/config.ini") == bytes, "other bytes"},
                            {!replacementLeft(), "a partial file is left"}});
         }},
        // A new file gets a list granting Everyone reading; the replacement takes the old file's instead.
        {"replaceFile: the old file's access list kept",
         [] {
             std::string problem = platform::replaceFile(at("closed.ini"), "new");
             const std::string grantees = probe::granteesOf(toWide(at("closed.ini")), problem);
             return expect({{problem.empty(), "refused"},
                            {readText("closed.ini") == "new", "other bytes"},
                            {grantees.find(kEveryone) == std::string::npos, "Everyone granted something"}});
         }},
        {"replaceFile: a missing file",
         [] {
             return expect({{platform::replaceFile(at("work/journal"), "stage").empty(), "refused"},
                            {readText("work/journal") == "stage", "other bytes"}});
         }},
        {"replaceFile: a file with two names",
         [] {
             writeTwoNames("work/linked.ini", "work/linked-2.ini");
             return expect({{!platform::replaceFile(at("work/linked.ini"), "new").empty(), "accepted"},
                            {readText("work/linked-2.ini") == "12345", "changed"},
                            {!replacementLeft(), "a partial file is left"}});
         }},
        {"replaceFile: a link",
         [] { return expectRefused(platform::replaceFile(at("file-link"), "new"), "link"); }},
        {"replaceFile: behind a linked folder",
         [] { return expectRefused(platform::replaceFile(at("folder-link/keep.txt"), "new"), "link"); }},
    };
}

// Wine reports every file of its Unix user as owned by the account running Wine, which stands for the
// administrator there, and derives the access list from the Unix mode. What shows is which grants each check
// counts.
std::vector<Case> trustCases()
{
    return {
        {"program folder: a plain one, the updater's own",
         [] {
             makeFolders({"work/program"});
             return expect({{platform::whyProgramFolderUntrusted(at("work/program")).empty(), "refused"}});
         }},
        {"path: a folder everyone may change",
         [] {
             return expectRefused(platform::whyPathUntrusted(at("open")),
                                  "S-1-1-0 holds delete, delete-child");
         }},
        {"path: a link on the way",
         [] { return expectRefused(platform::whyPathUntrusted(at("folder-link")), "link or junction"); }},
        {"private folder: Everyone's reading counts",
         [] {
             makeFolders({"work/readable"});
             return expectRefused(platform::whyPrivateFolderUntrusted(at("work/readable")), kEveryone);
         }},
        {"private folder: made by createPrivateFolder, nothing for Everyone",
         [] {
             platform::createPrivateFolder(at("work/private"));
             return expect({{platform::whyPrivateFolderUntrusted(at("work/private")).empty(), "refused"}});
         }},
        {"preparePrivateFolder: an existing plain folder is left as it is",
         [] {
             makeFolders({"work/taken"});
             writeText("work/taken/theirs.txt", "x");
             return expect({{!platform::preparePrivateFolder(at("work/taken")).empty(), "accepted"},
                            {readText("work/taken/theirs.txt") == "x", "changed"}});
         }},
        {"file: two names",
         [] {
             writeTwoNames("work/trusted.ini", "work/trusted-2.ini");
             return expectRefused(platform::whyFileUntrusted(at("work/trusted.ini")), "2 hard links");
         }},
        {"file: owned by another user",
         [] { return expectRefused(platform::whyFileUntrusted(at("foreign.txt")), "S-1-5-7"); }},
    };
}

struct RuleCase
{
    const char *name;
    std::wstring descriptor; // in SDDL
    platform::windows::Closure closure;
    const char *named; // what the refusal names; nullptr where the list passes
};

const std::wstring kTrustedInstaller = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// Lists as Windows sets them up, and ordinary mistakes.
std::vector<RuleCase> ruleCases()
{
    using platform::windows::Closure;
    const std::wstring userModify = L"O:BAD:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)";
    const std::wstring childWrite = L"O:BAD:(A;OICI;FA;;;BA)(A;OICIIO;GW;;;BU)";
    return {
        {"C:/",
         L"O:" + kTrustedInstaller +
             L"D:PAI(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;"
             L"BU)",
         Closure::Entries, nullptr},
        {"C:/ProgramData",
         L"O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;0x116;;;"
         L"BU)",
         Closure::Entries, nullptr},
        {"C:/Windows/Temp",
         L"O:SYD:PAI(A;OICIIO;GA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x100026;;;BU)", Closure::Entries,
         nullptr},
        {"a program folder in C:/Program Files",
         L"O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;OICIIOID;GA;;;CO)(A;CIID;"
         L"FA;;;" +
             kTrustedInstaller + L")(A;OICIID;0x1200a9;;;S-1-15-2-1)",
         Closure::Content, nullptr},
        {"program folder: Users may change files", userModify, Closure::Content,
         "S-1-5-32-545 holds write/add-file, append/add-folder, delete"},
        {"program folder: Users may write what is created inside", childWrite, Closure::Content,
         "(on what is created inside)"},
        {"folder above: Users may write what is created inside", childWrite, Closure::Entries, nullptr},
        {"program folder: Everyone holds generic all", L"O:BAD:(A;;GA;;;WD)", Closure::Content,
         "S-1-1-0 holds write/add-file"},
        {"program folder: owned by a user", L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;BA)", Closure::Content,
         "owned by S-1-5-21-1-2-3-1001"},
        {"program folder: no access list", L"O:BA", Closure::Content, "no access list"},
        {"program folder: a deny entry grants nothing", L"O:BAD:(D;;FA;;;WD)(A;OICI;FA;;;BA)",
         Closure::Content, nullptr},
        {"folder above: Users may delete entries", L"O:SYD:(A;;0x1200e9;;;BU)", Closure::Entries,
         "S-1-5-32-545 holds delete-child"},
        {"folder above: Everyone may change permissions", L"O:SYD:(A;;WD;;;WD)", Closure::Entries,
         "S-1-1-0 holds write-permissions"},
        {"private folder: as createPrivateFolder makes it",
         std::wstring(L"O:BA") + platform::windows::kPrivateFolderSecurity, Closure::Private, nullptr},
        {"private folder: list not protected", L"O:BAD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", Closure::Private,
         "takes entries from the folder above"},
        {"private folder: Users may read", L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", Closure::Private,
         "S-1-5-32-545 holds read/list"},
    };
}

std::string checkRule(const RuleCase &rule)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(rule.descriptor.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return "descriptor not understood";
    const std::string why = platform::windows::whyDescriptorOpen("X:/folder", descriptor, rule.closure);
    LocalFree(descriptor);
    if (!rule.named)
        return why;
    return why.find(rule.named) == std::string::npos
               ? "the reason does not name " + std::string(rule.named) + ": " + (why.empty() ? "passed" : why)
               : std::string();
}

} // namespace

int probe::runFileSafetyCases(const std::string &folder)
{
    fixture = folder;
    makeFolders({"work"});
    bool passed = true;
    for (const auto &cases : {entryStatusCases(), removalCases(), creationCases(), copyCases(),
                              replacementCases(), trustCases()}) {
        for (const Case &testCase : cases)
            passed &= reportCase(kGroup, testCase.name, testCase.run());
    }
    for (const RuleCase &rule : ruleCases())
        passed &= reportCase("access rules", rule.name, checkRule(rule));
    return passed ? 0 : 1;
}
