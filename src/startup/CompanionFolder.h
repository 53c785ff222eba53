#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace startup {

using FolderRemover = std::function<bool(const QString &folderPath)>;

// The folder that accompanies an information file: the file's absolute path in native separators
// less its ".json" ending, in any letter case. Without that ending, or when the name is nothing but
// the ending (whose "companion" would be the folder holding the file), the file's own path.
QString companionFolderPath(const QString &infoFilePath);

// Arms the deferred removal of the companion folder; it runs once the event loop does.
// keptFolders must survive it whatever the folder's name: the updater's own and the product folder.
void scheduleCompanionFolderRemoval(const QString &folderPath, const QStringList &keptFolders);

// Removes a real folder of the caller's (the user who started the updater) with everything in it, never
// following a link; logs why it was left. Returns whether nothing is left there.
bool removeCallersFolder(const QString &folderPath);

// Removes the folder when one exists there, unless it is a root, holds one of keptFolders, or is a link or
// not the caller's. A failed removal gets exactly one more attempt a second later.
void removeCompanionFolder(const QString &folderPath, const QStringList &keptFolders,
                           const FolderRemover &remover = removeCallersFolder);

} // namespace startup
