#pragma once

#include "PackageListing.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

// Every file and folder below a product folder, by relative '/'-separated path in byte order of their UTF-8
// names, each file with its size and SHA-256. A link or anything but files and folders cannot be packed. The
// product's config.ini at the top is left out: it is changed on every machine at run time (the updater itself
// records the version in it), so no package may replace, require or remove it.
class FolderContents final
{
    Q_DISABLE_COPY_MOVE(FolderContents)

public:
    explicit FolderContents(const QString &root);

    // Empty when the folder was read whole; otherwise why not.
    const QString &error() const { return problem; }
    const QVector<PackageListing::Entry> &files() const { return foundFiles; }
    bool hasFolder(const QString &relativePath) const { return foundFolders.contains(relativePath); }
    const PackageListing::Entry *file(const QString &relativePath) const;
    // The paths of this folder the other one does not have, as few as possible: a whole folder that is gone
    // is one path.
    QStringList missingFrom(const FolderContents &other) const;

private:
    void walk(const QString &relativeFolder);
    static bool isLeftOut(const QString &relativePath);
    bool addFile(const QString &relativePath);

    const QString root;
    QString problem;
    QVector<PackageListing::Entry> foundFiles;
    QHash<QString, int> fileIndex;
    QStringList foundFolders;
};
