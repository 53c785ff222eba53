// Exercises the Windows platform layer for real, cross-compiled with mingw-w64 and run under Wine.
//
//   admin                 prints whether the process counts as an administrator
//   terminate|exit <code> ends the process through the platform layer
//   private-folder-cases  creates folders through the platform layer and reads their access lists back
//   system-folder-cases   checks which folders the platform layer refuses as a product folder
//   runonce-set <name> <command>, runonce-remove <name>
//                         writes or removes the logon command through the platform layer; exit code 0 on
//                         success
//   flush <file>          flushes the file, its folder and its volume; prints which succeeded
//   file-safety-cases <fixture folder>
//                         the operations of FileSafety.h on the links, modes and owners the check script
//                         prepared there (FileSafetyCases.cpp)
//   relaunch-cases        starts itself with each command line of a table, lets that copy relaunch itself
//                         elevated and checks what the elevated copy received; exit code 0 when all match
//   watch-cases           starts copies of itself for watching (exiting, crashing, running on, receiving
//                         arguments) and checks what the platform layer reports of them
//   wait, cwd-has <name>  run for a minute; exit with 0 when the file is in the current folder, else 5
//
// The processes started by relaunch-cases learn their role from FARLINK_PROBE_ROLE, so that their command
// lines hold nothing but the case under test.

#include "Platform.h"
#include "Probe.h"
#include "WindowsShared.h"

#include <aclapi.h>
#include <algorithm>
#include <cctype>
#include <sddl.h>
#include <shellapi.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

using platform::windows::toUtf8;
using platform::windows::toWide;
using probe::granteesOf;
using probe::reportCase;

namespace {

const wchar_t *const kRoleVariable = L"FARLINK_PROBE_ROLE";
const wchar_t *const kReportVariable = L"FARLINK_PROBE_REPORT";
const wchar_t *const kRelauncherRole = L"relauncher";
const wchar_t *const kCopyRole = L"copy";
const DWORD kRelauncherTimeoutMs = 30000;
const int kReportPolls = 300;
const DWORD kReportPollMs = 100;
const DWORD kLongTextCapacity = 32768;
// How the watch cases end a copy from outside, and the exception code of a crash they fake.
const UINT kEndedFromOutside = 7;
const DWORD kAccessViolation = 0xC0000005;
const DWORD kWaitActionMs = 60000;

struct RelaunchCase
{
    const char *name;
    const wchar_t *programPath;
    const wchar_t *separator;
    const wchar_t *arguments;
    std::vector<std::wstring> expected;
};

// Raw command lines as a parent could hand them over; the expected lists follow Windows' own parsing rules.
const std::vector<RelaunchCase> &relaunchCases()
{
    static const wchar_t *const quoted = L"\"C:\\Program Files\\Farlink\\FarlinkUpdater.exe\"";
    static const std::vector<RelaunchCase> cases = {
        {"no arguments", quoted, L"", L"", {}},
        {"options",
         quoted,
         L" ",
         L"-i C:\\ProgramData\\info.json -m manual",
         {L"-i", L"C:\\ProgramData\\info.json", L"-m", L"manual"}},
        {"spaces",
         quoted,
         L" ",
         L"-i \"C:\\Program Files\\Quillon\\update info.json\"",
         {L"-i", L"C:\\Program Files\\Quillon\\update info.json"}},
        {"embedded quotes",
         quoted,
         L" ",
         L"\"a\\\"b\" \"say \\\"hi\\\"\" \\\"",
         {L"a\"b", L"say \"hi\"", L"\""}},
        {"trailing backslashes",
         quoted,
         L" ",
         L"\"C:\\dir\\\\\" C:\\plain\\ \"x\\\\\\\\\"",
         {L"C:\\dir\\", L"C:\\plain\\", L"x\\\\"}},
        {"empty arguments", quoted, L" ", L"\"\" -m \"\"", {L"", L"-m", L""}},
        {"non-Latin text",
         quoted,
         L" ",
         L"-i \"C:\\更新\\说明 文件.json\" Grüße",
         {L"-i", L"C:\\更新\\说明 文件.json", L"Grüße"}},
        {"percent signs", quoted, L" ", L"%PATH% %1 %*", {L"%PATH%", L"%1", L"%*"}},
        {"blanks inside kept", quoted, L"  ", L"a  \"b  c\"\t d", {L"a", L"b  c", L"d"}},
        {"unquoted program path, tab",
         L"C:\\Farlink\\FarlinkUpdater.exe",
         L"\t",
         L"-m manual",
         {L"-m", L"manual"}},
        {"argument right after the closing quote", quoted, L"", L"-m manual", {L"-m", L"manual"}},
        {"only blanks after the program path", L"C:\\Farlink\\FarlinkUpdater.exe", L" \t  ", L"", {}},
        {"program path quote never closed", L"\"C:\\Farlink\\FarlinkUpdater.exe -m manual", L"", L"", {}},
    };
    return cases;
}

void print(const std::wstring &text)
{
    const std::string utf8 = toUtf8(text);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written,
              nullptr);
}

std::wstring environmentValue(const wchar_t *name)
{
    wchar_t value[kLongTextCapacity] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, kLongTextCapacity);
    return length > 0 && length < kLongTextCapacity ? std::wstring(value, length) : std::wstring();
}

std::wstring ownExecutable()
{
    wchar_t path[kLongTextCapacity] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, kLongTextCapacity);
    return std::wstring(path, length);
}

std::vector<std::wstring> parsedCommandLine()
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> parsed;
    for (int index = 0; arguments && index < count; ++index)
        parsed.emplace_back(arguments[index]);
    LocalFree(arguments);
    return parsed;
}

// The report is a list of NUL-terminated wide strings: own executable, raw command line, then the parsed
// arguments without the program. Renamed into place so that the waiting parent never reads half of it.
int writeCopyReport()
{
    const std::wstring path = environmentValue(kReportVariable);
    const std::wstring partial = path + L".part";
    std::wstring content = ownExecutable() + L'\0' + GetCommandLineW() + L'\0';
    const std::vector<std::wstring> parsed = parsedCommandLine();
    for (size_t index = 1; index < parsed.size(); ++index)
        content += parsed[index] + L'\0';

    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 3;
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(content.size() * sizeof(wchar_t));
    const bool complete = WriteFile(file, content.data(), size, &written, nullptr) && written == size;
    CloseHandle(file);
    return complete && MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 3;
}

int relaunchAsCopy()
{
    SetEnvironmentVariableW(kRoleVariable, kCopyRole);
    return platform::relaunchElevated() ? 0 : 1;
}

std::vector<std::wstring> readReport(const std::wstring &path)
{
    std::vector<std::wstring> items;
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return items;
    std::wstring content(GetFileSize(file, nullptr) / sizeof(wchar_t), L'\0');
    DWORD read = 0;
    ReadFile(file, &content[0], static_cast<DWORD>(content.size() * sizeof(wchar_t)), &read, nullptr);
    CloseHandle(file);
    size_t start = 0;
    for (size_t end = content.find(L'\0'); end != std::wstring::npos; end = content.find(L'\0', start)) {
        items.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

// The report once it holds at least the executable and the command line, or what was last read. Wine can
// show the renamed file a moment before its content can be read, so seeing the name is not enough.
std::vector<std::wstring> waitForReport(const std::wstring &path)
{
    std::vector<std::wstring> report;
    for (int poll = 0; poll < kReportPolls; ++poll) {
        report = readReport(path);
        if (report.size() >= 2)
            break;
        Sleep(kReportPollMs);
    }
    return report;
}

std::wstring joined(const std::vector<std::wstring> &items)
{
    std::wstring text;
    for (const std::wstring &item : items)
        text += L"[" + item + L"]";
    return text;
}

// Starts the executable under the command line as the relauncher, whose exit code tells whether
// relaunchElevated() accepted the request. False, with the reason, when no exit code was obtained.
bool runRelauncher(const std::wstring &executable, std::wstring commandLine, DWORD &exitCode,
                   std::wstring &problem)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(executable.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        problem = L"CreateProcessW failed, error " + std::to_wstring(GetLastError());
        return false;
    }
    const bool ended = WaitForSingleObject(process.hProcess, kRelauncherTimeoutMs) == WAIT_OBJECT_0;
    const bool known = ended && GetExitCodeProcess(process.hProcess, &exitCode);
    if (!ended)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (!known)
        problem = L"the relaunching process did not end";
    return known;
}

std::wstring checkReport(const std::wstring &executable, const RelaunchCase &testCase,
                         const std::vector<std::wstring> &report)
{
    if (report.size() < 2)
        return L"report incomplete";
    if (report[0] != executable)
        return L"copy is " + report[0] + L", not " + executable;
    // The system puts the quoted program path before the parameters it was given; they must arrive verbatim.
    const std::wstring arguments = testCase.arguments;
    const std::wstring expectedCommandLine =
        L"\"" + executable + L"\"" + (arguments.empty() ? std::wstring() : L" " + arguments);
    if (report[1] != expectedCommandLine)
        return L"copy's command line is " + report[1] + L", expected " + expectedCommandLine;
    const std::vector<std::wstring> received(report.begin() + 2, report.end());
    if (received != testCase.expected)
        return L"copy parsed " + joined(received) + L", expected " + joined(testCase.expected);
    return {};
}

// Empty when the relaunch from the executable behaved as expected, otherwise what went wrong.
std::wstring checkRelaunch(const std::wstring &executable, const RelaunchCase &testCase,
                           const std::wstring &reportPath)
{
    DeleteFileW(reportPath.c_str());
    SetEnvironmentVariableW(kRoleVariable, kRelauncherRole);
    SetEnvironmentVariableW(kReportVariable, reportPath.c_str());
    DWORD exitCode = 0;
    std::wstring problem;
    const bool ran = runRelauncher(
        executable, std::wstring(testCase.programPath) + testCase.separator + testCase.arguments, exitCode,
        problem);
    SetEnvironmentVariableW(kRoleVariable, nullptr);
    SetEnvironmentVariableW(kReportVariable, nullptr);
    if (!ran)
        return problem;
    if (exitCode != 0)
        return L"relaunchElevated() returned false";
    const std::vector<std::wstring> report = waitForReport(reportPath);
    if (report.empty())
        return L"the elevated copy wrote no report";
    const std::wstring result = checkReport(executable, testCase, report);
    DeleteFileW(reportPath.c_str());
    return result;
}

// A copy of this executable at a path of exactly the given length, or empty with the reason.
std::wstring copyWithPathLength(const std::wstring &folder, size_t length, std::wstring &problem)
{
    const std::wstring name = L"\\WinPlatformProbe.exe";
    if (folder.size() + name.size() + 1 > length) {
        problem = L"build folder path too long for this check: " + folder;
        return {};
    }
    const std::wstring subfolder = folder + std::wstring(length - folder.size() - name.size(), L'p');
    const std::wstring path = subfolder + name;
    CreateDirectoryW(subfolder.c_str(), nullptr);
    if (!CopyFileW(ownExecutable().c_str(), path.c_str(), FALSE)) {
        problem = L"cannot copy the probe to " + path;
        return {};
    }
    return path;
}

// The program path is read into a buffer of 260 characters, so 259 characters and the terminator are the
// longest path that fits; longer ones cannot be started by a program that is not long-path aware anyway.
std::wstring checkLongestProgramPath(const std::wstring &folder)
{
    std::wstring problem;
    const std::wstring executable = copyWithPathLength(folder, MAX_PATH - 1, problem);
    if (executable.empty())
        return problem;
    const std::wstring quoted = L"\"" + executable + L"\"";
    const RelaunchCase testCase{"", quoted.c_str(), L" ", L"-m manual", {L"-m", L"manual"}};
    return checkRelaunch(executable, testCase, folder + L"relaunch-report-longest-path.bin");
}

bool reportResult(const std::wstring &name, const std::wstring &problem)
{
    print((problem.empty() ? L"PASS relaunch: " : L"FAIL relaunch: ") + name +
          (problem.empty() ? L"" : L": " + problem) + L"\n");
    return problem.empty();
}

int runRelaunchCases()
{
    const std::wstring executable = ownExecutable();
    const std::wstring folder = executable.substr(0, executable.find_last_of(L'\\') + 1);
    bool allPassed = true;
    for (size_t index = 0; index < relaunchCases().size(); ++index) {
        const RelaunchCase &testCase = relaunchCases()[index];
        const std::wstring reportPath = folder + L"relaunch-report-" + std::to_wstring(index) + L".bin";
        const std::wstring name(testCase.name, testCase.name + strlen(testCase.name));
        allPassed &= reportResult(name, checkRelaunch(executable, testCase, reportPath));
    }
    allPassed &= reportResult(L"program path of 259 characters", checkLongestProgramPath(folder));
    return allPassed ? 0 : 1;
}

std::string sidText(PSID sid)
{
    wchar_t *text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return "?";
    const std::string result = toUtf8(text);
    LocalFree(text);
    return result;
}

bool grantsOrdinaryUsers(const std::string &grantees)
{
    // Everyone, Users, Authenticated Users.
    for (const char *sid : {"S-1-1-0", "S-1-5-32-545", "S-1-5-11"}) {
        if (grantees.find(sid) != std::string::npos)
            return true;
    }
    return false;
}

// Real Windows keeps the access list as created: exactly Administrators and SYSTEM. Wine 8 keeps no access
// lists on files, only a Unix mode it derives from them, and reports a list derived back from that mode (the
// process's own account, the administrator here, and SYSTEM); so what is checked is what both show: no
// ordinary user is granted anything, where a folder made without the list is open to everyone.
std::string checkPrivateAccessList(const std::wstring &folder, const std::wstring &plainFolder)
{
    std::string problem;
    const std::string grantees = granteesOf(folder, problem);
    const std::string plainGrantees = granteesOf(plainFolder, problem);
    if (!problem.empty())
        return problem;
    if (grantsOrdinaryUsers(grantees))
        return "granted to [" + grantees + "]";
    if (!grantsOrdinaryUsers(plainGrantees))
        return "the check cannot tell: a plain folder is granted to [" + plainGrantees + "] too";
    return {};
}

std::string expectOutcome(platform::FolderCreation actual, platform::FolderCreation expected)
{
    const char *names[] = {"Created", "NameTaken", "Failed"};
    return actual == expected
               ? std::string()
               : std::string("got ") + names[int(actual)] + ", expected " + names[int(expected)];
}

int runPrivateFolderCases()
{
    const std::wstring executable = ownExecutable();
    const std::string base =
        toUtf8(executable.substr(0, executable.find_last_of(L'\\') + 1)) + "private-folder";
    const std::string fresh = base + "-fresh";
    const std::string file = base + "-file";
    const std::wstring plain = toWide(base + "-plain");
    RemoveDirectoryW(toWide(fresh).c_str());
    RemoveDirectoryW(plain.c_str());
    CreateDirectoryW(plain.c_str(), nullptr);
    DeleteFileW(toWide(file).c_str());
    CloseHandle(CreateFileW(toWide(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));

    bool passed =
        reportCase("private folder", "created fresh",
                   expectOutcome(platform::createPrivateFolder(fresh), platform::FolderCreation::Created));
    passed &=
        reportCase("private folder", "access list read back", checkPrivateAccessList(toWide(fresh), plain));
    passed &=
        reportCase("private folder", "existing folder not used",
                   expectOutcome(platform::createPrivateFolder(fresh), platform::FolderCreation::NameTaken));
    passed &=
        reportCase("private folder", "existing file not used",
                   expectOutcome(platform::createPrivateFolder(file), platform::FolderCreation::NameTaken));
    passed &= reportCase("private folder", "missing parent fails",
                         expectOutcome(platform::createPrivateFolder(base + "-absent/child"),
                                       platform::FolderCreation::Failed));
    RemoveDirectoryW(toWide(fresh).c_str());
    RemoveDirectoryW(plain.c_str());
    DeleteFileW(toWide(file).c_str());
    return passed ? 0 : 1;
}

int runSystemFolderCases()
{
    struct Case
    {
        const char *folder;
        bool refused;
    };
    const Case cases[] = {
        {"C:/", true},
        {"D:", true},
        {"C:/Windows", true},
        {"c:/windows/System32", true},
        {"C:/Windows/Temp/Quillon", true},
        {"C:/WindowsApps", false},
        {"C:/ProgramData", true},
        {"C:/ProgramData/Quillon", false},
        {"C:/Program Files/Quillon", false},
        {"//server/share", true},
        {"//server/share/Quillon", false},
    };
    bool passed = true;
    for (const Case &testCase : cases) {
        const bool refused = platform::isSystemFolder(testCase.folder);
        passed &= reportCase("system folder", testCase.folder,
                             refused == testCase.refused ? std::string()
                             : refused                   ? "refused"
                                                         : "accepted");
    }
    const std::string temporary = platform::systemTemporaryFolder();
    passed &=
        reportCase("system folder", "machine's temporary folder " + temporary,
                   platform::isSystemFolder(temporary) ? std::string() : "not inside the Windows folder");
    return passed ? 0 : 1;
}

// A copy of the probe started for watching, waited for until it ends (or the limit passes).
platform::ProgramEnd waitForWatchedEnd(std::int64_t id)
{
    platform::ProgramEnd end = platform::watchedProgramEnd(id);
    for (int poll = 0; poll < kReportPolls && end.running; ++poll) {
        Sleep(kReportPollMs);
        end = platform::watchedProgramEnd(id);
    }
    return end;
}

std::string describeEnd(const platform::ProgramEnd &end)
{
    return std::string(end.running   ? "running"
                       : end.crashed ? "crashed"
                                     : "exited") +
           " with " + std::to_string(end.exitCode);
}

std::string expectEnd(const platform::ProgramEnd &actual, const platform::ProgramEnd &expected)
{
    const bool same = actual.running == expected.running && actual.crashed == expected.crashed &&
                      actual.exitCode == expected.exitCode;
    return same ? std::string() : "got " + describeEnd(actual) + ", expected " + describeEnd(expected);
}

platform::ProgramEnd ended(bool crashed, std::int64_t exitCode)
{
    platform::ProgramEnd end;
    end.running = false;
    end.crashed = crashed;
    end.exitCode = exitCode;
    return end;
}

// How a program started for watching with the arguments ended, asked twice: the answer must not change.
std::string checkWatchedEnd(const std::string &program, const std::vector<std::string> &arguments,
                            const std::string &folder, const platform::ProgramEnd &expected)
{
    const std::int64_t id = platform::startWatchedProgram(program, arguments, folder);
    if (id == 0)
        return "not started";
    const std::string problem = expectEnd(waitForWatchedEnd(id), expected);
    return problem.empty() ? expectEnd(platform::watchedProgramEnd(id), expected) : problem;
}

// The arguments as the started copy's C runtime parsed them.
std::string checkWatchedArguments(const std::string &program, const std::string &folder)
{
    const std::vector<std::string> arguments{"plain",     "two words", "",          "a\"b",
                                             "C:\\dir\\", "x\\\\\"y",  "tab\there", "更新 Grüße"};
    const std::wstring reportPath = toWide(folder) + L"\\watched-arguments.bin";
    DeleteFileW(reportPath.c_str());
    SetEnvironmentVariableW(kRoleVariable, kCopyRole);
    SetEnvironmentVariableW(kReportVariable, reportPath.c_str());
    const std::int64_t id = platform::startWatchedProgram(program, arguments, folder);
    SetEnvironmentVariableW(kRoleVariable, nullptr);
    SetEnvironmentVariableW(kReportVariable, nullptr);
    if (id == 0)
        return "not started";
    const std::vector<std::wstring> report = waitForReport(reportPath);
    std::vector<std::wstring> expected;
    for (const std::string &argument : arguments)
        expected.push_back(toWide(argument));
    const std::vector<std::wstring> received(report.begin() + std::min<size_t>(report.size(), 2),
                                             report.end());
    return received == expected ? std::string()
                                : toUtf8(L"received " + joined(received) + L", expected " + joined(expected));
}

std::string expectRunning(const std::string &path, bool expected)
{
    return platform::isExecutableRunning(path) == expected ? std::string()
           : expected                                      ? "not seen running"
                                                           : "seen running";
}

// A copy that runs until ended from outside, as the product's daemon does.
bool checkRunningCopy(const std::string &folder)
{
    const std::string copy = folder + "/Watched Copy.exe";
    const std::string other = folder + "/Other Copy.exe";
    CopyFileW(ownExecutable().c_str(), toWide(copy).c_str(), FALSE);
    CopyFileW(ownExecutable().c_str(), toWide(other).c_str(), FALSE);
    const std::int64_t id = platform::startWatchedProgram(copy, {"wait"}, folder);
    bool passed = reportCase("watch", "long run started", id == 0 ? "not started" : "");
    platform::ProgramEnd running;
    passed &=
        reportCase("watch", "long run still running", expectEnd(platform::watchedProgramEnd(id), running));
    std::string upper = copy;
    for (char &character : upper)
        character =
            character == '/' ? '\\' : static_cast<char>(toupper(static_cast<unsigned char>(character)));
    passed &= reportCase("watch", "running copy seen", expectRunning(copy, true));
    passed &= reportCase("watch", "running copy seen in other case and slashes", expectRunning(upper, true));
    passed &= reportCase("watch", "same bytes at another path not seen", expectRunning(other, false));
    passed &= reportCase("watch", "own executable not seen", expectRunning(toUtf8(ownExecutable()), false));

    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
    const bool killed = process && TerminateProcess(process, kEndedFromOutside) &&
                        WaitForSingleObject(process, kRelauncherTimeoutMs) == WAIT_OBJECT_0;
    if (process)
        CloseHandle(process);
    passed &= reportCase("watch", "ended from outside",
                         killed ? expectEnd(platform::watchedProgramEnd(id), ended(false, kEndedFromOutside))
                                : "could not end it");
    passed &= reportCase("watch", "ended copy not seen", expectRunning(copy, false));
    DeleteFileW(toWide(copy).c_str());
    DeleteFileW(toWide(other).c_str());
    return passed;
}

int runWatchCases()
{
    const std::wstring executable = ownExecutable();
    const std::string program = toUtf8(executable);
    const std::string folder = toUtf8(executable.substr(0, executable.find_last_of(L'\\')));
    bool passed =
        reportCase("watch", "exits with 0", checkWatchedEnd(program, {"exit", "0"}, folder, ended(false, 0)));
    passed &=
        reportCase("watch", "exits with 3", checkWatchedEnd(program, {"exit", "3"}, folder, ended(false, 3)));
    passed &=
        reportCase("watch", "access violation",
                   checkWatchedEnd(program, {"terminate", std::to_string(static_cast<int>(kAccessViolation))},
                                   folder, ended(true, kAccessViolation)));
    passed &=
        reportCase("watch", "runs in the given folder",
                   checkWatchedEnd(program, {"cwd-has", "WinPlatformProbe.exe"}, folder, ended(false, 0)));
    passed &= reportCase("watch", "arguments handed on", checkWatchedArguments(program, folder));
    passed &= reportCase("watch", "missing program not started",
                         platform::startWatchedProgram(folder + "/no such program.exe", {}, folder) == 0
                             ? expectEnd(platform::watchedProgramEnd(0), ended(true, -1))
                             : "started");
    passed &= checkRunningCopy(folder);
    return passed ? 0 : 1;
}

void announceShutdownCode()
{
    print(L"shutdown code ran\n");
}

int endProcess(const std::wstring &how, int exitCode)
{
    atexit(announceShutdownCode);
    print(L"ending\n");
    if (how == L"terminate")
        platform::terminateCurrentProcess(exitCode);
    if (how == L"exit")
        platform::exitImmediately(exitCode);
    print(L"unknown way to end\n");
    return 4;
}

int runOnceAction(const std::wstring &action, int argc, wchar_t **argv)
{
    if (action == L"runonce-set" && argc == 4)
        return platform::setRunOnceCommand(toUtf8(argv[2]), toUtf8(argv[3])) ? 0 : 1;
    if (action == L"runonce-remove" && argc == 3)
        return platform::removeRunOnceCommand(toUtf8(argv[2])) ? 0 : 1;
    return 4;
}

int flushAction(const std::wstring &file)
{
    const std::wstring folder = file.substr(0, file.find_last_of(L"\\/"));
    const bool fileFlushed = platform::flushFile(toUtf8(file));
    const bool folderFlushed = platform::flushFolder(toUtf8(folder));
    const bool volumeFlushed = platform::flushFileSystemOf(toUtf8(file));
    print(std::wstring(L"file:") + (fileFlushed ? L"1" : L"0") + L" folder:" + (folderFlushed ? L"1" : L"0") +
          L" volume:" + (volumeFlushed ? L"1" : L"0") + L"\n");
    return 0;
}

} // namespace

std::string probe::granteesOf(const std::wstring &folder, std::string &problem)
{
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                               nullptr, nullptr, &acl, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) {
        problem = "GetNamedSecurityInfoW failed, error " + std::to_string(status);
        return {};
    }
    std::string grantees;
    for (DWORD index = 0; acl && index < acl->AceCount; ++index) {
        ACCESS_ALLOWED_ACE *entry = nullptr;
        if (GetAce(acl, index, reinterpret_cast<void **>(&entry)) &&
            entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE)
            grantees += (grantees.empty() ? "" : ",") + sidText(&entry->SidStart);
    }
    LocalFree(descriptor);
    return grantees;
}

bool probe::reportCase(const char *group, const std::string &name, const std::string &problem)
{
    print(toWide(std::string(problem.empty() ? "PASS " : "FAIL ") + group + ": " + name +
                 (problem.empty() ? "" : ": " + problem) + "\n"));
    return problem.empty();
}

int wmain(int argc, wchar_t **argv)
{
    const std::wstring role = environmentValue(kRoleVariable);
    if (role == kRelauncherRole)
        return relaunchAsCopy();
    if (role == kCopyRole)
        return writeCopyReport();
    const std::wstring action = argc > 1 ? argv[1] : L"";
    if (action == L"admin") {
        print(platform::isRunningAsAdministrator() ? L"administrator\n" : L"not administrator\n");
        return 0;
    }
    if (action == L"relaunch-cases")
        return runRelaunchCases();
    if (action == L"private-folder-cases")
        return runPrivateFolderCases();
    if (action == L"system-folder-cases")
        return runSystemFolderCases();
    if (action.rfind(L"runonce-", 0) == 0)
        return runOnceAction(action, argc, argv);
    if (action == L"flush" && argc == 3)
        return flushAction(argv[2]);
    if (action == L"file-safety-cases" && argc == 3)
        return probe::runFileSafetyCases(platform::windows::withForwardSlashes(toUtf8(argv[2])));
    if (action == L"watch-cases")
        return runWatchCases();
    if (action == L"wait") {
        Sleep(kWaitActionMs);
        return 0;
    }
    if (action == L"cwd-has" && argc == 3)
        return GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES ? 5 : 0;
    if (argc == 3)
        return endProcess(action, _wtoi(argv[2]));
    print(L"usage: admin | relaunch-cases | private-folder-cases | system-folder-cases | terminate <code> | "
          L"exit <code> | runonce-set <name> <command> | runonce-remove <name> | flush <file> | "
          L"file-safety-cases <fixture folder> | watch-cases\n");
    return 4;
}
