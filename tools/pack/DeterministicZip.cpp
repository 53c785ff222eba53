#include "DeterministicZip.h"

#include <QFile>
#include <QFileInfo>

#include <archive.h>
#include <archive_entry.h>

namespace {

// 2000-01-01 00:00:00 UTC: any fixed time will do; a zip cannot record one before 1980.
constexpr time_t FixedTime = 946684800;
constexpr int FilePermissions = 0644;
// A program keeps its execute bit, which a zip extracted on Linux hands on (the stand-ins, the daemon).
constexpr int ProgramPermissions = 0755;
constexpr qint64 CopyBlockBytes = 1 << 20;

la_ssize_t writeTo(archive *, void *data, const void *buffer, size_t length)
{
    const qint64 written =
        static_cast<QSaveFile *>(data)->write(static_cast<const char *>(buffer), qint64(length));
    return written == qint64(length) ? la_ssize_t(length) : -1;
}

struct EntryFree
{
    void operator()(archive_entry *entry) const { archive_entry_free(entry); }
};

} // namespace

DeterministicZip::DeterministicZip(const QString &path) : output(path) {}

DeterministicZip::~DeterministicZip()
{
    if (writer)
        archive_write_free(writer);
}

bool DeterministicZip::open()
{
    if (!output.open(QIODevice::WriteOnly))
        return failed(output.errorString());
    writer = archive_write_new();
    // A zip padded to a block would carry bytes after its end record, which the updater refuses.
    if (archive_write_set_format_zip(writer) != ARCHIVE_OK ||
        archive_write_set_options(writer, "zip:compression=deflate,zip:hdrcharset=UTF-8") != ARCHIVE_OK ||
        archive_write_set_bytes_in_last_block(writer, 1) != ARCHIVE_OK ||
        archive_write_open(writer, &output, nullptr, writeTo, nullptr) != ARCHIVE_OK)
        return failed(QString::fromUtf8(archive_error_string(writer)));
    return true;
}

bool DeterministicZip::addData(const QString &name, const QByteArray &data, bool stored)
{
    if ((stored && archive_write_zip_set_compression_store(writer) != ARCHIVE_OK) ||
        !writeHeader(name, data.size(), FilePermissions))
        return failed(QString::fromUtf8(archive_error_string(writer)));
    if (!data.isEmpty() && archive_write_data(writer, data.constData(), size_t(data.size())) != data.size())
        return failed(QString::fromUtf8(archive_error_string(writer)));
    return archive_write_zip_set_compression_deflate(writer) == ARCHIVE_OK ||
           failed(QString::fromUtf8(archive_error_string(writer)));
}

bool DeterministicZip::addFile(const QString &name, const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failed(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    const bool program = QFileInfo(path).permission(QFileDevice::ExeOwner);
    if (!writeHeader(name, size, program ? ProgramPermissions : FilePermissions))
        return false;
    qint64 copied = 0;
    while (copied < size) {
        const QByteArray block = file.read(qMin(CopyBlockBytes, size - copied));
        if (block.isEmpty() ||
            archive_write_data(writer, block.constData(), size_t(block.size())) != block.size())
            return failed(QStringLiteral("cannot pack %1").arg(path));
        copied += block.size();
    }
    return file.atEnd() ? true : failed(QStringLiteral("%1 changed while it was packed").arg(path));
}

bool DeterministicZip::close()
{
    if (archive_write_close(writer) != ARCHIVE_OK)
        return failed(QString::fromUtf8(archive_error_string(writer)));
    archive_write_free(writer);
    writer = nullptr;
    return output.commit() ? true : failed(output.errorString());
}

bool DeterministicZip::writeHeader(const QString &name, qint64 size, int permissions)
{
    const std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
    archive_entry_set_pathname_utf8(entry.get(), name.toUtf8().constData());
    // libarchive's zip writer reads the name in the system's character set as well; a name that set cannot
    // hold (a Chinese name in a Western Windows code page) would leave it none.
    if (!archive_entry_pathname(entry.get()))
        return failed(
            QStringLiteral("cannot pack %1: the system's character set cannot hold the name").arg(name));
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), permissions);
    archive_entry_set_size(entry.get(), size);
    archive_entry_set_uid(entry.get(), 0);
    archive_entry_set_gid(entry.get(), 0);
    archive_entry_set_mtime(entry.get(), FixedTime, 0);
    if (archive_write_header(writer, entry.get()) != ARCHIVE_OK)
        return failed(
            QStringLiteral("cannot add %1: %2").arg(name, QString::fromUtf8(archive_error_string(writer))));
    return true;
}

bool DeterministicZip::failed(const QString &what)
{
    problem = what;
    return false;
}
