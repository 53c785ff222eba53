#pragma once

// The elevated updater's boundary with what other users can change. It acts only where no one but
// administrators could have made or changed what it relies on, and where it changes a folder it never follows
// a link or junction, at any level of the path.
//
// Paths are UTF-8 with forward slashes, absolute and, for the checks, real (links resolved by the caller).
// Qt-free like the rest of the platform layer. "Administrators" means root on POSIX; on Windows the
// Administrators group, SYSTEM and TrustedInstaller.

#include "Platform.h"

#include <functional>
#include <string>
#include <vector>

namespace platform {

// ---- Trust checks. Each returns why the path fails, naming the folder and the right that fails, or an
// empty text when it passes.

// The program folder: itself closed to everyone else (POSIX: a real folder owned by root, not writable by
// group or others; Windows: no one else holds a write, add-file, add-folder, delete, delete-child,
// write-permissions or write-owner right), and every folder above it passes whyPathUntrusted.
std::string whyProgramFolderUntrusted(const std::string &folder);

// The folder and every folder above it keep their entries: no one else may rename, remove or replace what
// leads to something the updater uses. Adding entries may be open to all, as it is for "C:/",
// "C:/ProgramData" and "/tmp". POSIX: each a real folder owned by root and either not writable by others or
// sticky; Windows: no delete, delete-child, write-owner or write-permissions right for anyone else.
std::string whyPathUntrusted(const std::string &folder);

// One of the updater's own folders (its log folder, its work folders): a real folder that only
// administrators may enter (POSIX: owned by root, mode 0700 or narrower; Windows: owned by Administrators or
// SYSTEM, a protected access list granting only them), inside a folder that passes whyPathUntrusted.
std::string whyPrivateFolderUntrusted(const std::string &folder);

// A file the elevated updater reads and acts on (the journal, config.ini, the lock): a regular file, not a
// link, with one hard link, owned by administrators and not writable by anyone else.
std::string whyFileUntrusted(const std::string &path);

// Makes sure one of the updater's own folders is there and private: a missing one is created with
// createPrivateFolder (its parent must exist); an existing one must pass whyPrivateFolderUntrusted and is
// otherwise left as it is. Returns why it may not be used, or an empty text.
std::string preparePrivateFolder(const std::string &path);

// ---- Operations that never follow a link or junction at any level of the path. POSIX: every component is
// opened with openat and O_NOFOLLOW from the root; Windows: opened as a reparse point and checked against the
// handle's final path. A link met on the way makes the operation fail, logged (standard error; the debugger
// output on Windows).

// What is at the path, the last component not followed.
enum class EntryType
{
    Missing,
    File,   // a regular file
    Folder, // a real folder
    Link,   // a symbolic link, a junction or any other reparse point
    Other,  // a device, pipe or socket
};

struct EntryStatus
{
    EntryType type = EntryType::Missing;
    unsigned long long size = 0;
    unsigned long linkCount = 0;
    bool ownedByAdministrators = false;
    // The user who started the updater (see callerOwns).
    bool ownedByCaller = false;
    // setuid or setgid (POSIX only).
    bool setIdBits = false;
};
EntryStatus entryStatus(const std::string &path);
// The entries of the real folder at the path, each with what entryStatus would say of it. POSIX: the folder
// is opened once without following a link at any level and every entry read from that handle, so that a walk
// of thousands of files costs one open per folder, not one per component of every path; Windows: each entry
// opened as entryStatus opens it. Empty when the folder cannot be opened or read (logged).
struct FolderEntry
{
    std::string name;
    EntryStatus status;
};
std::vector<FolderEntry> folderEntries(const std::string &folder);

// Removes whatever is at the path: a link or junction as itself, a file, or a folder with everything inside
// it, depth-first, each entry removed as what it is. True when nothing is left there (also when nothing was
// there); what could not be removed is logged.
bool removeTree(const std::string &path);

// A new folder with the ordinary permissions (POSIX 0755; Windows inherited); NameTaken when anything,
// a link included, already has the name. The parent must exist.
FolderCreation createFolder(const std::string &path);

// Copies a regular file to a new file: the source is opened without following a link, the target created new
// (never over anything that has the name) with the source's permission bits from the start (setuid and setgid
// dropped; on Windows the folder's inherited access list). Not flushed. False, with no target left, on any
// failure.
bool copyFile(const std::string &source, const std::string &target);

// copyFile for each of names (a file's name, no path) from the folder sourceFolder into the folder
// targetFolder, in order, calling copied(index, success) after each. POSIX: both folders are opened once,
// without following a link at any level, and every file through them, so that a folder of thousands of files
// costs two opens of its path, not two per file; Windows: each file through copyFile.
void copyFilesBetween(const std::string &sourceFolder, const std::string &targetFolder,
                      const std::vector<std::string> &names, const std::function<void(size_t, bool)> &copied);

// A new link at target with the same content as the link at source (its kind kept on Windows).
bool copyLink(const std::string &source, const std::string &target);

// Whether two regular files hold the same bytes; false when either is not a regular file or unreadable.
bool sameContents(const std::string &first, const std::string &second);

// Creates a new file for writing (never over anything that has the name, POSIX mode 0600) and returns a C
// runtime file descriptor (_open_osfhandle on Windows) that the caller owns, or -1.
int createNewFile(const std::string &path);

// Makes the bytes the file at path, whole or not at all: written unbuffered into a new file beside it,
// flushed, its size read back, then renamed over path and the folder flushed. The new file keeps the old
// one's owner, mode and (Windows) access list. A path that is a link or has more than one hard link is left
// alone. Returns why it failed, or an empty text.
std::string replaceFile(const std::string &path, const std::string &bytes);

// ---- The caller

// Removes a regular file (folder false) or a real folder with its content (folder true) that the user who
// started the updater owns (POSIX: the user pkexec names in PKEXEC_UID, else the real user; Windows: the
// token's user), opened without following a link. Returns why it was left, or an empty text when it is gone
// or was not there.
std::string removeCallersEntry(const std::string &path, bool folder);

} // namespace platform
