#pragma once

// What the parts of WinPlatformProbe share.

#include <string>

namespace probe {

// Prints "PASS <group>: <name>", or "FAIL <group>: <name>: <problem>" when problem is not empty; true for a
// pass.
bool reportCase(const char *group, const std::string &name, const std::string &problem);

// The grantees of the access list of the file or folder as the system reports them, e.g.
// "S-1-5-18,S-1-1-0"; empty with the problem set when it cannot be read.
std::string granteesOf(const std::wstring &path, std::string &problem);

// The file-safety cases, run in the fixture folder that check-windows-platform.sh lays out (UTF-8, forward
// slashes); 0 when all pass.
int runFileSafetyCases(const std::string &fixture);

} // namespace probe
