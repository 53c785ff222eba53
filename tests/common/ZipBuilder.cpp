#include "ZipBuilder.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <archive.h>
#include <archive_entry.h>

namespace {

constexpr qint64 CopyChunkBytes = 1 << 20;

la_ssize_t appendTo(archive *, void *data, const void *buffer, size_t length)
{
    static_cast<QByteArray *>(data)->append(static_cast<const char *>(buffer), int(length));
    return la_ssize_t(length);
}

void addEntry(archive *writer, const ZipEntry &zipEntry)
{
    archive_entry *entry = archive_entry_new();
    archive_entry_set_pathname_utf8(entry, zipEntry.name.toUtf8().constData());
    switch (zipEntry.type) {
    case ZipEntry::Type::File:
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_size(entry, zipEntry.data.size());
        break;
    case ZipEntry::Type::Folder:
        archive_entry_set_filetype(entry, AE_IFDIR);
        break;
    case ZipEntry::Type::SymbolicLink:
        archive_entry_set_filetype(entry, AE_IFLNK);
        archive_entry_set_symlink_utf8(entry, zipEntry.target.toUtf8().constData());
        break;
    case ZipEntry::Type::HardLink:
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_hardlink_utf8(entry, zipEntry.target.toUtf8().constData());
        break;
    }
    archive_entry_set_perm(entry, mode_t(zipEntry.mode));
    // Only a fault of this builder gets here: an archive without the entry must not reach a test.
    if (archive_write_header(writer, entry) != ARCHIVE_OK ||
        (zipEntry.type == ZipEntry::Type::File && !zipEntry.data.isEmpty() &&
         archive_write_data(writer, zipEntry.data.constData(), size_t(zipEntry.data.size())) !=
             la_ssize_t(zipEntry.data.size())))
        qFatal("ZipBuilder: cannot add %s: %s", qPrintable(zipEntry.name), archive_error_string(writer));
    archive_entry_free(entry);
}

enum class Format
{
    Zip,
    StoredZip,
    Tar,
};

QByteArray archiveOf(const QList<ZipEntry> &entries, Format format)
{
    QByteArray result;
    archive *writer = archive_write_new();
    if (format == Format::Tar)
        archive_write_set_format_pax_restricted(writer);
    else
        archive_write_set_format_zip(writer);
    if (format == Format::StoredZip)
        archive_write_set_options(writer, "zip:compression=store");
    // No padding: the archive is exactly what the zip format needs.
    archive_write_set_bytes_in_last_block(writer, 1);
    archive_write_open(writer, &result, nullptr, appendTo, nullptr);
    for (const ZipEntry &entry : entries)
        addEntry(writer, entry);
    archive_write_close(writer);
    archive_write_free(writer);
    return result;
}

bool copyFileData(archive *writer, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    while (!file.atEnd()) {
        const QByteArray chunk = file.read(CopyChunkBytes);
        if (chunk.isEmpty() ||
            archive_write_data(writer, chunk.constData(), size_t(chunk.size())) != chunk.size())
            return false;
    }
    return true;
}

// The entry as the disk has it (type, mode, size, times), under its name inside the archive.
bool addFromDisk(archive *writer, archive *disk, const QString &path, const QString &name)
{
    archive_entry *entry = archive_entry_new();
    archive_entry_copy_sourcepath(entry, QFile::encodeName(path).constData());
    bool added = archive_read_disk_entry_from_file(disk, entry, -1, nullptr) == ARCHIVE_OK;
    archive_entry_set_pathname_utf8(entry, name.toUtf8().constData());
    added = added && archive_write_header(writer, entry) == ARCHIVE_OK &&
            (archive_entry_filetype(entry) != AE_IFREG || copyFileData(writer, path));
    archive_entry_free(entry);
    return added;
}

} // namespace

bool zipFolder(const QString &folder, const QString &zipPath, QString &error)
{
    if (!QFileInfo(folder).isDir()) {
        error = QStringLiteral("not a folder");
        return false;
    }
    archive *writer = archive_write_new();
    archive *disk = archive_read_disk_new();
    archive_write_set_format_zip(writer);
    bool written = archive_write_open_filename(writer, QFile::encodeName(zipPath).constData()) == ARCHIVE_OK;
    QDirIterator entries(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    QString failedPath = zipPath;
    while (written && entries.hasNext()) {
        failedPath = entries.next();
        written = addFromDisk(writer, disk, failedPath, QDir(folder).relativeFilePath(failedPath));
    }
    written = archive_write_close(writer) == ARCHIVE_OK && written;
    if (!written)
        error = failedPath + QStringLiteral(": ") + QString::fromUtf8(archive_error_string(writer));
    archive_read_free(disk);
    archive_write_free(writer);
    return written;
}

QByteArray zipArchive(const QList<ZipEntry> &entries)
{
    return archiveOf(entries, Format::Zip);
}

QByteArray storedZipArchive(const QList<ZipEntry> &entries)
{
    return archiveOf(entries, Format::StoredZip);
}

QByteArray tarArchive(const QList<ZipEntry> &entries)
{
    return archiveOf(entries, Format::Tar);
}

QByteArray zipOfSize(int bytes)
{
    const auto withFiller = [](int size) {
        return storedZipArchive({ZipEntry{QStringLiteral("filler.bin"), QByteArray(size, 'q')}});
    };
    const int overhead = withFiller(0).size();
    const QByteArray result = withFiller(bytes - overhead);
    if (result.size() != bytes)
        qWarning() << "zipOfSize: made" << result.size() << "bytes instead of" << bytes;
    return result;
}
