#pragma once

#include <QString>
#include <QVector>

// What a downloaded package holds, read through libarchive as a zip and nothing
// else: its central directory must be complete, every entry must be a plain file
// or folder whose relative path stays inside the program folder, and every file's
// data must match the CRC-32 the zip records. After the extraction the program
// folder is checked against the same listing.
class PackageListing final
{
public:
    struct Entry
    {
        // Relative, '/'-separated, without a trailing '/'.
        QString path;
        bool isFolder;
        qint64 size;
        quint32 crc32;
    };

    PackageListing() = default;

    // Reads the zip at zipPath; false, with the reason logged, when it is not a package
    // that may be installed. The listing is empty after a refusal.
    bool read(const QString &zipPath);
    // Every file of the listing is in the folder as a regular file (not a link) with the
    // entry's size and CRC-32, every folder as a folder; false, with the first
    // difference logged, otherwise. Reads each installed file once.
    bool isInstalledIn(const QString &folder) const;

    const QVector<Entry> &entries() const { return listed; }
    bool isEmpty() const { return listed.isEmpty(); }

    // Why a path taken from a package may not be written below the program folder,
    // or an empty text when it may.
    static QString unsafePathReason(const QString &path);

private:
    QVector<Entry> listed;
};
