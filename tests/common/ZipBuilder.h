#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Zip (and tar) archives built in memory with libarchive, with any entry name and type, so
// that the tests can make the packages a hostile or broken server would send.
struct ZipEntry
{
    enum class Type
    {
        File,
        Folder,
        SymbolicLink,
        HardLink,
    };

    QString name{};
    QByteArray data{};
    Type type = Type::File;
    // The link's target, for both kinds of link.
    QString target{};
    int mode = 0644;
};

QByteArray zipArchive(const QList<ZipEntry> &entries);
// Without compression, as "zip -0" makes them.
QByteArray storedZipArchive(const QList<ZipEntry> &entries);
// The same entries as a tar archive, which the updater must refuse.
QByteArray tarArchive(const QList<ZipEntry> &entries);
// Packs a folder on disk into a zip file as the update package would come: every entry below it under its
// relative name (none starts with "./", which the updater refuses), files deflated and streamed from disk.
// On failure the reason goes to error.
bool zipFolder(const QString &folder, const QString &zipPath, QString &error);
// A valid zip of exactly the given size (at least about 150 bytes): one stored file of filler.
QByteArray zipOfSize(int bytes);
