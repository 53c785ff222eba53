#include "ZipBuilder.h"

#include <QtTest>

#include <archive.h>
#include <archive_entry.h>

namespace {

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
    QCOMPARE(archive_write_header(writer, entry), ARCHIVE_OK);
    if (zipEntry.type == ZipEntry::Type::File && !zipEntry.data.isEmpty())
        QCOMPARE(archive_write_data(writer, zipEntry.data.constData(), size_t(zipEntry.data.size())),
                 la_ssize_t(zipEntry.data.size()));
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

} // namespace

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
