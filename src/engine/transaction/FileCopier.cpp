#include "FileCopier.h"

#include "FileSafety.h"

#include <QDebug>

namespace transaction {

bool copyRegularFile(const QString &source, const QString &destination)
{
    return platform::copyFile(source.toStdString(), destination.toStdString());
}

bool copySymbolicLink(const QString &source, const QString &destination)
{
    return platform::copyLink(source.toStdString(), destination.toStdString());
}

bool makeRealFolder(const QString &path)
{
    switch (platform::createFolder(path.toStdString())) {
    case platform::FolderCreation::Created:
        return true;
    case platform::FolderCreation::NameTaken:
        return platform::entryStatus(path.toStdString()).type == platform::EntryType::Folder;
    case platform::FolderCreation::Failed:
        break;
    }
    return false;
}

void removeFolder(const QString &folder, const char *logText)
{
    const std::string path = folder.toUtf8().toStdString();
    if (folder.isEmpty() || platform::entryStatus(path).type == platform::EntryType::Missing)
        return;
    qDebug().noquote() << logText << folder;
    platform::removeTree(path);
}

} // namespace transaction
