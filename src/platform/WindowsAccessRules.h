#pragma once

// The access-list rules of the trust checks of FileSafety.h, applied to a security descriptor. Internal to
// src/platform; declared apart so that the Wine probe can try them on the lists of a real Windows, which
// Wine does not keep on files.

#include "WindowsShared.h"

#include <string>

namespace platform {
namespace windows {

// What must be closed to everyone but Administrators, SYSTEM and TrustedInstaller.
enum class Closure
{
    // Folders that lead to what the updater uses: no one else may rename, remove or replace their entries
    // or change who may; adding entries may stay open. Entries only for what is created inside do not count.
    Entries,
    // The program folder and the files acted on: no one else may add or rewrite content either, nor on
    // what is created inside (except CREATOR OWNER, who gets rights over what it created).
    Content,
    // The updater's own folders: no one else holds any right, and the list takes nothing from the folder
    // above.
    Private,
};

// Why the descriptor's owner or access list lets someone else through, naming the path, the account (SID)
// and the rights; empty when it does not. listsInherit false: the system keeps no inheritance (Wine), so an
// unprotected list is no opening.
std::string whyDescriptorOpen(const std::string &path, PSECURITY_DESCRIPTOR descriptor, Closure closure,
                              bool listsInherit = true);

} // namespace windows
} // namespace platform
