#include "ProgramFolderWalk.h"

#include "EngineConstants.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

using namespace engine;

namespace {

constexpr QDir::Filters EveryEntry = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

} // namespace

ProgramFolderWalk::ProgramFolderWalk(const QString &root, Scope scope)
    : rootPrefix(QDir::cleanPath(root) + QLatin1Char('/')), scope(scope)
{
    // The top level on its own, so that backup folders are skipped without being walked.
    walkFolder(QDir::cleanPath(root), false);
}

qint64 ProgramFolderWalk::totalFileBytes() const
{
    qint64 total = 0;
    for (const Entry &entry : found)
        total += entry.size;
    return total;
}

bool ProgramFolderWalk::isInBackupFolder(const QString &relativePath)
{
    return relativePath.startsWith(BackupMarker);
}

void ProgramFolderWalk::walkFolder(const QString &folder, bool recursive)
{
    // Without FollowSymlinks a link to a folder is listed, never entered.
    QDirIterator it(folder, EveryEntry,
                    recursive ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
    while (it.hasNext()) {
        it.next();
        addEntry(it.fileInfo(), recursive);
    }
}

void ProgramFolderWalk::addEntry(const QFileInfo &info, bool recursive)
{
    const QString path = info.filePath();
    const QString relative = path.mid(rootPrefix.size());
    if (!recursive && scope == Scope::WithoutBackupFolders && isInBackupFolder(relative))
        return;
    // isSymbolicLink, not isSymLink: a Windows shortcut is an ordinary file to copy.
    if (info.isSymbolicLink()) {
        found.append({relative, Kind::Link, 0});
    } else if (info.isDir()) {
        if (!recursive)
            walkFolder(path, true);
    } else if (info.isFile()) {
        found.append({relative, Kind::File, info.size()});
    } else {
        // Sockets, pipes and devices hold no program data and cannot be copied.
        qDebug().noquote() << "跳过特殊文件:" << path;
    }
}
