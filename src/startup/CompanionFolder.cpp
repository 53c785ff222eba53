#include "CompanionFolder.h"

#include "FileSafety.h"
#include "PathSafety.h"
#include "PauseScale.h"
#include "StartupConstants.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>

namespace startup {

namespace {

QString resolvedPath(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}

// Windows paths ignore letter case; elsewhere ignoring it only errs on the side of keeping.
bool isSameOrInside(const QString &path, const QString &folder)
{
    return path.compare(folder, Qt::CaseInsensitive) == 0 ||
           path.startsWith(folder + QLatin1Char('/'), Qt::CaseInsensitive);
}

bool mayRemove(const QString &folderPath, const QStringList &keptFolders)
{
    const QString folder = resolvedPath(folderPath);
    if (QDir(folder).isRoot())
        return false;
    return std::none_of(keptFolders.cbegin(), keptFolders.cend(), [&folder](const QString &kept) {
        return isSameOrInside(resolvedPath(kept), folder);
    });
}

} // namespace

QString companionFolderPath(const QString &infoFilePath)
{
    const QFileInfo info(infoFilePath);
    const QString path = QDir::toNativeSeparators(info.absoluteFilePath());
    const bool hasStem = info.fileName().size() > InfoFileEnding.size();
    if (hasStem && path.endsWith(InfoFileEnding, Qt::CaseInsensitive))
        return path.chopped(InfoFileEnding.size());
    return path;
}

void scheduleCompanionFolderRemoval(const QString &folderPath, const QStringList &keptFolders)
{
    QTimer::singleShot(engine::scaledPauseMs(CompanionRemovalDelayMs),
                       [folderPath, keptFolders] { removeCompanionFolder(folderPath, keptFolders); });
}

bool removeCallersFolder(const QString &folderPath)
{
    const std::string why = platform::removeCallersEntry(platformPath(folderPath), true);
    if (why.empty())
        return true;
    qWarning().noquote() << LogCannotRemove << QString::fromStdString(why);
    return false;
}

void removeCompanionFolder(const QString &folderPath, const QStringList &keptFolders,
                           const FolderRemover &remover)
{
    if (!QFileInfo(folderPath).isDir())
        return;
    if (!mayRemove(folderPath, keptFolders)) {
        qWarning() << LogCompanionKept << folderPath;
        return;
    }
    // A link, or someone else's folder beside the caller's file in a shared temporary folder: not the
    // caller's hand-over.
    const platform::EntryStatus status = platform::entryStatus(platformPath(folderPath));
    if (status.type != platform::EntryType::Folder || !status.ownedByCaller) {
        qWarning() << LogCompanionNotCallers << folderPath;
        return;
    }
    if (remover(folderPath)) {
        qDebug() << LogCompanionRemoved;
        return;
    }
    QTimer::singleShot(engine::scaledPauseMs(CompanionRetryDelayMs),
                       [folderPath, remover] { remover(folderPath); });
}

} // namespace startup
