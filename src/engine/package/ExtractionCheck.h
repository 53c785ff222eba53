#pragma once

#include "FileSafety.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

class PackageListing;

// What the program folder held before the extraction, and the checks of what it holds after it. A tool that
// writes more than the package (another archive hidden in the file, or a tool that is not what it claims)
// must not leave it behind.
class ExtractionCheck final
{
    Q_DISABLE_COPY_MOVE(ExtractionCheck)

public:
    // Takes the snapshot of the folder; logs how many files its top level holds.
    explicit ExtractionCheck(const QString &appDir);

    // Nothing may be new unless the package lists it, and nothing the package lists may be a link, a device
    // or a set-id file. Logs the first entry that may not stay.
    bool holdsOnlyThePackage(const PackageListing &listing) const;
    // Logs the top-level files the extraction added; whether there were any. Only logged: a new name proves
    // nothing about the rest of the folder.
    bool logNewTopLevelFiles() const;

private:
    // What is at a path of the program folder, as far as the check cares.
    struct EntryKind
    {
        platform::EntryType type;
        bool setId;

        bool operator==(const EntryKind &other) const { return type == other.type && setId == other.setId; }
    };
    struct FoundEntry
    {
        QString relativePath;
        EntryKind kind;
    };

    QVector<FoundEntry> programFolderEntries() const;
    static void walkFolder(const QString &root, const QString &relativeFolder, QVector<FoundEntry> &found);
    static QString strayReason(const EntryKind &kind, bool listed, const EntryKind *before);
    QStringList topLevelFiles() const;

    const QString appDir;
    const QStringList topLevelBefore;
    // By the Windows form of the relative path.
    QHash<QString, EntryKind> kindsBefore;
};
