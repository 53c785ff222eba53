#pragma once

#include "PackageManifest.h"

#include <QHash>
#include <QString>

// The package's manifest against the package and the installation. Before anything is stopped: the version
// is the one announced and higher than the installed one, and the package with the folder as it is makes up
// every file the manifest lists. After the extraction: the paths the version no longer has are removed, the
// manifest file with them, and the folder holds every listed file. Each check logs why it fails.
class ManifestCheck final
{
    Q_DISABLE_COPY_MOVE(ManifestCheck)

public:
    ManifestCheck(const PackageListing &listing, const QString &appDir);

    // Reads the listing's manifest; false, logged, when it is malformed, of another product, or missing while
    // required (with keys built in, a package without one could be an old signed package replayed).
    bool read(bool required);
    bool hasManifest() const { return present; }
    // Logs what the package says it is, or that it says nothing.
    void logSummary() const;

    // The manifest's version equals the announced one and is higher than the installed one (an installed
    // version that is missing or no version counts as the lowest); a delta applies to the installed version.
    bool allowsVersion(const QString &announcedVersion, const QString &installedVersion) const;
    // Every listed file is in the package with its size and SHA-256 or, for a delta, already in the program
    // folder with them; the package holds nothing the manifest does not list. Reads each folder file once.
    bool packageCompletesFolder() const;

    // After the extraction: the manifest file and the removed paths go (the backup still has them), then
    // every listed file the package did not carry is checked; the carried ones the listing has checked.
    bool completeInstallation() const;

private:
    bool removeFromFolder(const QString &relativePath) const;
    QString folderPath(const QString &relativePath) const;
    const PackageListing::Entry *carried(const PackageListing::Entry &file) const;

    const PackageListing &listing;
    const QString appDir;
    // The package's files by their Windows key.
    QHash<QString, const PackageListing::Entry *> carriedByKey;
    PackageManifest manifest;
    bool present = false;
};
