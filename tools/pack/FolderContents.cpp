#include "FolderContents.h"

#include "Sha256Digest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

const QString ProductSettingsFile = QStringLiteral("config.ini");

bool byUtf8Path(const PackageListing::Entry &first, const PackageListing::Entry &second)
{
    return first.path.toUtf8() < second.path.toUtf8();
}

QString parentOf(const QString &relativePath)
{
    const int slash = relativePath.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : relativePath.left(slash);
}

} // namespace

FolderContents::FolderContents(const QString &root) : root(root)
{
    if (!QFileInfo(root).isDir() || QFileInfo(root).isSymbolicLink())
        problem = QStringLiteral("%1 is not a folder").arg(root);
    else
        walk(QString());
    std::sort(foundFiles.begin(), foundFiles.end(), byUtf8Path);
    for (int index = 0; index < foundFiles.size(); ++index)
        fileIndex.insert(foundFiles.at(index).path, index);
}

const PackageListing::Entry *FolderContents::file(const QString &relativePath) const
{
    const auto found = fileIndex.constFind(relativePath);
    return found == fileIndex.cend() ? nullptr : &foundFiles.at(*found);
}

QStringList FolderContents::missingFrom(const FolderContents &other) const
{
    QStringList missing;
    const auto add = [&](const QString &path) {
        // The highest folder that is gone stands for everything in it.
        QString gone = path;
        for (QString parent = parentOf(path); !parent.isEmpty() && !other.hasFolder(parent);
             parent = parentOf(parent))
            gone = parent;
        if (!missing.contains(gone))
            missing.append(gone);
    };
    for (const PackageListing::Entry &entry : foundFiles) {
        if (!other.file(entry.path))
            add(entry.path);
    }
    for (const QString &folder : foundFolders) {
        if (!other.hasFolder(folder))
            add(folder);
    }
    std::sort(missing.begin(), missing.end(),
              [](const QString &first, const QString &second) { return first.toUtf8() < second.toUtf8(); });
    return missing;
}

void FolderContents::walk(const QString &relativeFolder)
{
    const QDir folder(relativeFolder.isEmpty() ? root : root + QLatin1Char('/') + relativeFolder);
    const QFileInfoList entries = folder.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &info : entries) {
        if (!problem.isEmpty())
            return;
        const QString relative =
            relativeFolder.isEmpty() ? info.fileName() : relativeFolder + QLatin1Char('/') + info.fileName();
        if (isLeftOut(relative))
            continue;
        if (info.isSymbolicLink()) {
            problem = QStringLiteral("%1 is a link; a package holds only files and folders").arg(relative);
        } else if (info.isDir()) {
            foundFolders.append(relative);
            walk(relative);
        } else if (!info.isFile()) {
            problem = QStringLiteral("%1 is neither a file nor a folder").arg(relative);
        } else if (!addFile(relative)) {
            problem = QStringLiteral("cannot read %1").arg(relative);
        }
    }
}

bool FolderContents::isLeftOut(const QString &relativePath)
{
    return PackageListing::windowsNameKey(relativePath) ==
           PackageListing::windowsNameKey(ProductSettingsFile);
}

bool FolderContents::addFile(const QString &relativePath)
{
    QByteArray digest;
    qint64 size = 0;
    if (!Sha256Digest::ofFile(root + QLatin1Char('/') + relativePath, digest, size))
        return false;
    foundFiles.append({relativePath, false, size, 0, digest});
    return true;
}
