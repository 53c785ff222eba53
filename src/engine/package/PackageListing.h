#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>

struct archive;
struct archive_entry;

// What a downloaded package holds, read through libarchive as a zip and nothing
// else: every byte of the file belongs to the zip (no data before its first entry
// or after its end record), tar's own format detection takes it for a zip, every
// entry is a plain file or folder whose relative path stays inside the program
// folder and is not taken by another entry on Windows, and every file's data must
// match the CRC-32 the zip records. Names are read as UTF-8 whatever the locale.
// After the extraction the program folder is checked against the same listing.
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
        // Of the data read from the package; what decides whether an installed file is this entry.
        QByteArray sha256;
    };

    PackageListing() = default;

    // Reads the zip at zipPath; false, with the reason logged, when it is not a package
    // that may be installed. The listing is empty after a refusal.
    bool read(const QString &zipPath);
    // Every file of the listing is in the folder as a regular file (not a link) with the
    // entry's size and SHA-256, every folder as a folder; false, with the first
    // difference logged, otherwise. Reads each installed file once.
    bool isInstalledIn(const QString &folder) const;
    // Whether the relative path is an entry or a folder that an entry's path implies, names compared as
    // Windows compares them.
    bool holds(const QString &relativePath) const;

    const QVector<Entry> &entries() const { return listed; }
    // The bytes of the package's manifest (the entry ManifestFileName at its root); empty when it has none.
    const QByteArray &manifestData() const { return manifestBytes; }
    bool isEmpty() const { return listed.isEmpty(); }

    // Why a path taken from a package may not be written below the program folder,
    // or an empty text when it may.
    static QString unsafePathReason(const QString &path);
    // Windows takes two names for one when they are equal with each UTF-16 unit upper-cased ("σ", "ς" and
    // "Σ" are one name there); this is that form.
    static QString windowsNameKey(const QString &path);
    // Why the file at path is not the entry (a link, another kind, size or SHA-256), or an empty text.
    // Reads the file once.
    static QString differenceFrom(const Entry &entry, const QString &path);

private:
    bool readPackage(const QString &zipPath);
    // Each returns why the package may not be installed, or an empty text.
    QString refusalOf(const QString &zipPath);
    // readAhead: the entry's size, CRC-32 and SHA-256 as a second reader read them, readAheadFailure why it
    // could not; without readAhead the entry's data is read here.
    QString addEntry(archive *reader, archive_entry *entry, const Entry *readAhead,
                     const QString &readAheadFailure);
    QString clashReason(const Entry &entry);

    QVector<Entry> listed;
    // Every listed path and every folder the paths imply, by windowsNameKey; true for a folder.
    QHash<QString, bool> isFolderByKey;
    QByteArray manifestBytes;
};
