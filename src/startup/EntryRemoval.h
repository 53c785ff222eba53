#pragma once

#include <QString>

namespace startup {

// Removes a file, a folder with everything in it, or a symbolic link itself. A link is never
// followed: the updater runs elevated and the places it cleans up can be written by other users,
// who must not be able to point a removal at folders of their choice.
// Returns true when nothing is left at the path; logs what stayed.
bool removeEntry(const QString &path);

} // namespace startup
