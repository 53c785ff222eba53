#pragma once

#include <QString>

// The copies of the backup and the restore, made through the platform layer: no link is followed at any
// level of either path (one swapped in after the walk makes that copy fail), the copy is created new, never
// over anything that has the name, with its final permissions from the start, and a failed copy leaves
// nothing behind. Copies are not flushed one by one: the run flushes the file system once, which keeps a
// backup of 20,000 files as fast as cp -a.
namespace transaction {

bool copyRegularFile(const QString &source, const QString &destination);
// A new link with the same target as the link at source: the link is copied, not what it points to.
bool copySymbolicLink(const QString &source, const QString &destination);
// A folder at path: made new, or a real folder that is already there. A file or link in its place, or a
// link on the way to it, fails.
bool makeRealFolder(const QString &path);
// Removes what is at folder as what it is now: a link itself, a folder without following any link inside
// it. Nothing there is nothing to do; otherwise logText is logged with the folder first.
void removeFolder(const QString &folder, const char *logText);

} // namespace transaction
