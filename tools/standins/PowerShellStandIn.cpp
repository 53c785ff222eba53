// Stand-in for Windows PowerShell under Wine, whose own powershell.exe does nothing and exits with 0: an
// updater trusting it would count every extraction as done. It runs the one command the updater gives,
//
//   powershell -NoProfile -EncodedCommand <Base64 of the UTF-16LE script>
//
// with the script
//
//   try { Expand-Archive -LiteralPath '<zip>' -DestinationPath '<folder>' -Force -ErrorAction Stop; exit 0 }
//   catch { Write-Error $_; exit 1 }
//
// as Expand-Archive does: the archive's directory is read first (a damaged or cut archive fails before
// anything is written), entries are written over existing files, and an entry that would land outside the
// folder fails. Exit code 0 on success; 1 with the error on standard error otherwise, including any other
// script, which this stand-in does not run.

#include "WindowsText.h"

#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
const std::wstring ScriptStart = L"try { Expand-Archive -LiteralPath ";
const std::wstring DestinationSwitch = L" -DestinationPath ";
const std::wstring ScriptEnd = L" -Force -ErrorAction Stop; exit 0 } catch { Write-Error $_; exit 1 }";
constexpr int ExtractFlags = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                             ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;

int fail(const std::string &message)
{
    std::fprintf(stderr, "Expand-Archive : %s\n", message.c_str());
    return ExitFailure;
}

int base64Value(wchar_t c)
{
    if (c >= L'A' && c <= L'Z')
        return c - L'A';
    if (c >= L'a' && c <= L'z')
        return c - L'a' + 26;
    if (c >= L'0' && c <= L'9')
        return c - L'0' + 52;
    if (c == L'+')
        return 62;
    if (c == L'/')
        return 63;
    return -1;
}

// The script from -EncodedCommand; false for text that is not Base64 of whole UTF-16 code units.
bool decodeScript(const std::wstring &encoded, std::wstring &script)
{
    std::string bytes;
    unsigned bits = 0;
    int count = 0;
    size_t end = encoded.find_last_not_of(L'=');
    end = end == std::wstring::npos ? 0 : end + 1;
    if (encoded.size() - end > 2 || encoded.size() % 4 != 0)
        return false;
    for (size_t i = 0; i < end; ++i) {
        const int value = base64Value(encoded[i]);
        if (value < 0)
            return false;
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xff);
        }
    }
    if (bytes.size() % 2 != 0)
        return false;
    script.clear();
    for (size_t i = 0; i < bytes.size(); i += 2)
        script += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                       (static_cast<unsigned char>(bytes[i + 1]) << 8));
    return true;
}

// A single-quoted PowerShell literal starting at `at`, where '' stands for one quote; `at` moves past it.
bool readLiteral(const std::wstring &script, size_t &at, std::wstring &value)
{
    if (at >= script.size() || script[at] != L'\'')
        return false;
    value.clear();
    for (++at; at < script.size(); ++at) {
        if (script[at] != L'\'') {
            value += script[at];
        } else if (at + 1 < script.size() && script[at + 1] == L'\'') {
            value += L'\'';
            ++at;
        } else {
            ++at;
            return true;
        }
    }
    return false;
}

bool parseScript(const std::wstring &script, std::wstring &zip, std::wstring &destination)
{
    if (script.compare(0, ScriptStart.size(), ScriptStart) != 0)
        return false;
    size_t at = ScriptStart.size();
    if (!readLiteral(script, at, zip) || script.compare(at, DestinationSwitch.size(), DestinationSwitch) != 0)
        return false;
    at += DestinationSwitch.size();
    return readLiteral(script, at, destination) && script.substr(at) == ScriptEnd;
}

// Reading the whole directory first, as .NET's ZipArchive does, rather than streaming entry by entry.
archive *openArchive(const std::wstring &zip)
{
    archive *reader = archive_read_new();
    archive_read_support_format_zip_seekable(reader);
    if (archive_read_open_filename_w(reader, zip.c_str(), 64 * 1024) != ARCHIVE_OK) {
        fail(std::string("cannot read the archive: ") + archive_error_string(reader));
        archive_read_free(reader);
        return nullptr;
    }
    return reader;
}

int copyData(archive *reader, archive *writer)
{
    const void *block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    int status = ARCHIVE_OK;
    while ((status = archive_read_data_block(reader, &block, &size, &offset)) == ARCHIVE_OK) {
        if (archive_write_data_block(writer, block, size, offset) != ARCHIVE_OK)
            return fail(std::string("cannot write: ") + archive_error_string(writer));
    }
    return status == ARCHIVE_EOF ? ExitSuccess
                                 : fail(std::string("damaged entry: ") + archive_error_string(reader));
}

int extractEntries(archive *reader, archive *writer, const std::wstring &destination)
{
    archive_entry *entry = nullptr;
    int status = ARCHIVE_OK;
    while ((status = archive_read_next_header(reader, &entry)) == ARCHIVE_OK) {
        const wchar_t *name = archive_entry_pathname_w(entry);
        if (!name || !*name)
            return fail("an entry has no name that can be read");
        if (name[0] == L'/' || name[0] == L'\\' || std::wcschr(name, L':'))
            return fail("an entry lies outside the destination: " + standins::utf8Of(name));
        archive_entry_copy_pathname_w(entry, (destination + L"\\" + name).c_str());
        if (archive_write_header(writer, entry) != ARCHIVE_OK)
            return fail(std::string("cannot write ") + standins::utf8Of(name) + ": " +
                        archive_error_string(writer));
        if (archive_entry_size(entry) > 0 && copyData(reader, writer) != ExitSuccess)
            return ExitFailure;
        if (archive_write_finish_entry(writer) != ARCHIVE_OK)
            return fail(std::string("cannot finish ") + standins::utf8Of(name) + ": " +
                        archive_error_string(writer));
    }
    return status == ARCHIVE_EOF ? ExitSuccess
                                 : fail(std::string("damaged archive: ") + archive_error_string(reader));
}

int expandArchive(const std::wstring &zip, const std::wstring &destination)
{
    archive *reader = openArchive(zip);
    if (!reader)
        return ExitFailure;
    archive *writer = archive_write_disk_new();
    archive_write_disk_set_options(writer, ExtractFlags);
    const int result = extractEntries(reader, writer, destination);
    archive_write_free(writer);
    archive_read_free(reader);
    return result;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    std::wstring script;
    if (argc != 4 || std::wstring(argv[1]) != L"-NoProfile" || std::wstring(argv[2]) != L"-EncodedCommand" ||
        !decodeScript(argv[3], script))
        return fail("this stand-in runs only -NoProfile -EncodedCommand <Base64 script>");
    std::wstring zip;
    std::wstring destination;
    if (!parseScript(script, zip, destination))
        return fail("this stand-in runs only the updater's Expand-Archive script, not: " +
                    standins::utf8Of(script));
    return expandArchive(zip, destination);
}
