#pragma once

#include <QString>

#include <string>

namespace startup {

// A path as the platform layer takes it: UTF-8, forward slashes.
std::string platformPath(const QString &path);

// The path with every link resolved, so that the folder checked is the folder changed: the file's real
// path, or, when nothing is there, its folder's real path and its name; the path as given when neither
// exists.
QString realPath(const QString &path);

// Whether the elevated updater may change the program folder (a real path): no one but administrators can
// change it or anything above it. A refusal is one critical log line naming the folder and what fails.
bool isTrustedProgramFolder(const QString &folder);

// Makes the C library convert characters as Qt already does, as UTF-8, when the run has no locale of its
// own. Call it once the application object exists: Qt sets the C library's locale while it starts.
void convertNamesAsUtf8();

} // namespace startup
