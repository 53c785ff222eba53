#include "FolderSnapshot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace {

QByteArray fileDigest(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("unreadable");
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return "file " + hash.result().toHex();
}

QByteArray describe(const QFileInfo &info)
{
    if (info.isSymLink())
        return "link " + QFile::encodeName(info.symLinkTarget());
    if (info.isDir())
        return QByteArrayLiteral("folder");
    return fileDigest(info.filePath());
}

} // namespace

FolderSnapshot::FolderSnapshot(const QString &root, Scope scope, const QString &skipText)
{
    const QDir rootDir(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = rootDir.relativeFilePath(info.filePath());
        if (!skipText.isEmpty() && relative.contains(skipText))
            continue;
        if (scope == Scope::FilesOnly && (info.isSymLink() || !info.isFile()))
            continue;
        entries.insert(relative, describe(info));
    }
}

QString FolderSnapshot::differenceFrom(const FolderSnapshot &other) const
{
    QStringList differing;
    QSet<QString> keys;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        keys.insert(it.key());
    for (auto it = other.entries.cbegin(); it != other.entries.cend(); ++it)
        keys.insert(it.key());
    for (const QString &key : keys) {
        if (entries.value(key) != other.entries.value(key))
            differing.append(key);
    }
    differing.sort();
    return differing.join(QStringLiteral(", "));
}

QStringList FolderSnapshot::paths() const
{
    return entries.keys();
}
