#include "ExtractionCheck.h"

#include "PackageListing.h"
#include "ProgramFolderWalk.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

ExtractionCheck::ExtractionCheck(const QString &appDir) : appDir(appDir), topLevelBefore(topLevelFiles())
{
    qDebug() << "解压前文件数:" << topLevelBefore.size();
    for (const FoundEntry &entry : programFolderEntries())
        kindsBefore.insert(PackageListing::windowsNameKey(entry.relativePath), entry.kind);
}

bool ExtractionCheck::holdsOnlyThePackage(const PackageListing &listing) const
{
    for (const FoundEntry &entry : programFolderEntries()) {
        const auto earlier = kindsBefore.constFind(PackageListing::windowsNameKey(entry.relativePath));
        const QString reason = strayReason(entry.kind, listing.holds(entry.relativePath),
                                           earlier == kindsBefore.cend() ? nullptr : &earlier.value());
        if (!reason.isEmpty()) {
            qWarning().noquote() << "安装校验失败:" << entry.relativePath << reason;
            return false;
        }
    }
    return true;
}

bool ExtractionCheck::logNewTopLevelFiles() const
{
    const QStringList after = topLevelFiles();
    qDebug() << "解压后文件数:" << after.size();
    bool found = false;
    for (const QString &name : after) {
        if (!topLevelBefore.contains(name)) {
            qDebug().noquote() << "新增文件:" << name;
            found = true;
        }
    }
    return found;
}

// Everything in the program folder but the backup folders and files, whatever its kind.
QVector<ExtractionCheck::FoundEntry> ExtractionCheck::programFolderEntries() const
{
    QVector<FoundEntry> found;
    const QString root = QFileInfo(appDir).canonicalFilePath();
    if (!root.isEmpty())
        walkFolder(root, QString(), found);
    return found;
}

void ExtractionCheck::walkFolder(const QString &root, const QString &relativeFolder,
                                 QVector<FoundEntry> &found)
{
    const QString folder = relativeFolder.isEmpty() ? root : root + QLatin1Char('/') + relativeFolder;
    for (const platform::FolderEntry &entry : platform::folderEntries(folder.toUtf8().toStdString())) {
        const QString name = QString::fromStdString(entry.name);
        const QString relative = relativeFolder.isEmpty() ? name : relativeFolder + QLatin1Char('/') + name;
        if (ProgramFolderWalk::isInBackupFolder(relative))
            continue;
        const platform::EntryStatus &status = entry.status;
        found.append({relative, {status.type, status.setIdBits}});
        // Links and junctions are listed, never entered.
        if (status.type == platform::EntryType::Folder)
            walkFolder(root, relative, found);
    }
}

// Why an entry found after the extraction may not stay, or an empty text. What was there before and is
// not in the package is left to its owner as long as the extraction did not change its kind.
QString ExtractionCheck::strayReason(const EntryKind &kind, bool listed, const EntryKind *before)
{
    if (!listed && before && *before == kind)
        return QString();
    if (kind.type == platform::EntryType::Link)
        return QStringLiteral("是链接");
    if (kind.type == platform::EntryType::Other)
        return QStringLiteral("是设备、管道或套接字");
    // A folder may inherit setgid from its parent; only a file runs with it.
    if (kind.setId && kind.type != platform::EntryType::Folder)
        return QStringLiteral("带有 setuid/setgid 位");
    if (listed)
        return QString();
    return before ? QStringLiteral("类型已改变") : QStringLiteral("不在更新包中，解压前也不存在");
}

QStringList ExtractionCheck::topLevelFiles() const
{
    return QDir(appDir).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
}
