#include "ProgramFolderWalk.h"

#include "TransactionConstants.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

using namespace transaction;

namespace {

constexpr QDir::Filters EveryEntry = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

} // namespace

ProgramFolderWalk::ProgramFolderWalk(const QString &root, Scope scope)
    : rootPrefix(QDir::cleanPath(root) + QLatin1Char('/')), scope(scope)
{
    walkFolder(QDir::cleanPath(root), true);
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

void ProgramFolderWalk::walkFolder(const QString &folder, bool topLevel)
{
    // One level at a time, so that only real folders are entered: Qt's own descent would enter a junction.
    QDirIterator it(folder, EveryEntry);
    while (it.hasNext()) {
        it.next();
        addEntry(it.fileInfo(), topLevel);
    }
}

void ProgramFolderWalk::addEntry(const QFileInfo &info, bool topLevel)
{
    const QString path = info.filePath();
    const QString relative = path.mid(rootPrefix.size());
    // Backup folders are skipped at the top level without being walked.
    if (topLevel && scope == Scope::WithoutBackupFolders && isInBackupFolder(relative))
        return;
    // isSymbolicLink, not isSymLink: a Windows shortcut is an ordinary file to copy. A junction is a link
    // too, though Qt calls it a folder.
    if (info.isSymbolicLink() || info.isJunction()) {
        found.append({relative, Kind::Link, 0});
    } else if (info.isDir()) {
        foundFolders.append(relative);
        walkFolder(path, false);
    } else if (info.isFile()) {
        found.append({relative, Kind::File, info.size()});
    } else {
        // Sockets, pipes and devices hold no program data and cannot be copied.
        qDebug().noquote() << "跳过特殊文件:" << path;
    }
}
