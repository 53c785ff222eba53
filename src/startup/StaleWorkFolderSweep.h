#pragma once

#include <QDateTime>
#include <QFileInfo>

#include <functional>

namespace startup {

using BirthTimeSource = std::function<QDateTime(const QFileInfo &entry)>;

// The entry's creation time; invalid where the file system does not record one.
QDateTime fileBirthTime(const QFileInfo &entry);

// Removes work folders and files that earlier runs left behind and that are more than five
// minutes old: "VAZedure_*" in the user's temporary folder, "QuillUpdate_*" in the program-data
// root. Names match in any letter case. Entries without a creation time stay. A place whose entries
// others may rename or replace is left alone; nothing removed is followed through a link.
void sweepStaleWorkFolders();

// The same, with the reference time (and where creation times come from) given by the caller.
void sweepStaleWorkFolders(const QDateTime &reference, const BirthTimeSource &birthTime = fileBirthTime);

} // namespace startup
