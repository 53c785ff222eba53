#pragma once

#include "DottedVersion.h"
#include "PackageListing.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

class QJsonObject;
class QJsonValue;

// What a package says it is, in a file at its root that the signature covers with the rest: the product, the
// version, every file of that version's program folder (path, size, SHA-256), the paths the version no longer
// has, and for a package that carries only what changed, the version it applies to. A manifest that could be
// read two ways is no manifest: unknown members, unsafe or repeated paths, and a path both kept and removed
// are refused.
class PackageManifest final
{
public:
    PackageManifest() = default;
    // A manifest to write; an invalid base version makes a full package.
    PackageManifest(const QString &product, const DottedVersion &version, const DottedVersion &baseVersion,
                    const QVector<PackageListing::Entry> &files, const QStringList &removals);

    // Reads the manifest's JSON; false, with the reason logged, when it is malformed.
    bool read(const QByteArray &json);
    // Why these contents cannot be a manifest, or an empty text.
    QString problem() const;
    // The JSON read() takes, written the same way for the same contents.
    QByteArray toJson() const;

    const QString &product() const { return productName; }
    const DottedVersion &version() const { return newVersion; }
    // Invalid for a full package.
    const DottedVersion &baseVersion() const { return base; }
    bool isDelta() const { return base.isValid(); }
    // Files, never folders; each with its size and raw SHA-256.
    const QVector<PackageListing::Entry> &files() const { return listedFiles; }
    const QStringList &removals() const { return removedPaths; }

private:
    QString problemInJson(const QJsonObject &object);
    QString readFiles(const QJsonValue &value);
    QString readRemovals(const QJsonValue &value);
    QString pathsProblem() const;
    static QString removalProblem(const QString &path, const QSet<QString> &fileKeys,
                                  const QSet<QString> &folderKeys);

    QString productName;
    DottedVersion newVersion;
    DottedVersion base;
    QVector<PackageListing::Entry> listedFiles;
    QStringList removedPaths;
};
