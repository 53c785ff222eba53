#include "PackageListing.h"

#include "EngineConstants.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <cstdio>
#include <memory>

using namespace engine;

namespace {

constexpr int ReadBlockBytes = 256 * 1024;
// setuid, setgid and sticky: never part of a plain file.
constexpr int SpecialModeBits = 07000;

struct ArchiveFree
{
    void operator()(archive *reader) const { archive_read_free(reader); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveFree>;

// libarchive reads through Qt's file: no path conversion, the same on every system.
struct PackageFile
{
    QFile file;
    QByteArray block;
};

la_ssize_t readBlock(archive *, void *data, const void **buffer)
{
    auto *package = static_cast<PackageFile *>(data);
    *buffer = package->block.constData();
    return package->file.read(package->block.data(), package->block.size());
}

la_int64_t seekTo(archive *, void *data, la_int64_t offset, int whence)
{
    QFile &file = static_cast<PackageFile *>(data)->file;
    const qint64 base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file.pos() : file.size();
    const qint64 target = base + offset;
    if (target < 0 || !file.seek(target))
        return ARCHIVE_FATAL;
    return target;
}

la_int64_t skipAhead(archive *, void *data, la_int64_t request)
{
    QFile &file = static_cast<PackageFile *>(data)->file;
    const qint64 skipped = qBound<qint64>(0, request, file.size() - file.pos());
    return file.seek(file.pos() + skipped) ? skipped : 0;
}

QString errorOf(archive *reader)
{
    const char *text = archive_error_string(reader);
    return text ? QString::fromUtf8(text) : QStringLiteral("unknown libarchive error");
}

// UTF-8 first: libarchive's wide names depend on the locale on some systems.
QString pathnameOf(archive_entry *entry)
{
    if (const char *utf8 = archive_entry_pathname_utf8(entry))
        return QString::fromUtf8(utf8);
    if (const wchar_t *wide = archive_entry_pathname_w(entry))
        return QString::fromWCharArray(wide);
    return QString();
}

bool isReservedDeviceName(const QString &part)
{
    // Windows opens the device whatever the extension: "nul.txt" is NUL.
    const QString base = part.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    static const QSet<QString> plain{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                     QStringLiteral("NUL")};
    if (plain.contains(base))
        return true;
    return base.size() == 4 &&
           (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))) &&
           base.at(3) >= QLatin1Char('1') && base.at(3) <= QLatin1Char('9');
}

// Why the entry is not a plain file or folder, or an empty text.
QString unplainEntryReason(archive_entry *entry)
{
    if (archive_entry_is_encrypted(entry))
        return QStringLiteral("加密条目");
    if (archive_entry_hardlink(entry) || archive_entry_hardlink_w(entry))
        return QStringLiteral("硬链接");
    const auto type = archive_entry_filetype(entry);
    if (type == AE_IFLNK)
        return QStringLiteral("符号链接");
    if (type != AE_IFREG && type != AE_IFDIR)
        return QStringLiteral("不是普通文件或文件夹");
    if (archive_entry_mode(entry) & SpecialModeBits)
        return QStringLiteral("带有 setuid/setgid/sticky 位");
    return QString();
}

// Reads the entry's data to its end: libarchive compares it with the zip's CRC-32 there.
bool readData(archive *reader, qint64 &size, quint32 &crc, QString &reason)
{
    uLong sum = crc32_z(0, Z_NULL, 0);
    size = 0;
    for (;;) {
        const void *block = nullptr;
        size_t length = 0;
        la_int64_t offset = 0;
        const int status = archive_read_data_block(reader, &block, &length, &offset);
        if (status == ARCHIVE_EOF)
            break;
        if (status != ARCHIVE_OK) {
            reason = errorOf(reader);
            return false;
        }
        if (offset != size) {
            reason = QStringLiteral("数据不连续");
            return false;
        }
        // An empty block may come with no buffer, which zlib takes as a request for the initial value.
        if (length > 0)
            sum = crc32_z(sum, static_cast<const Bytef *>(block), length);
        size += qint64(length);
    }
    crc = quint32(sum);
    return true;
}

bool fileCrc32(const QString &path, quint32 &crc)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    QByteArray block(ReadBlockBytes, Qt::Uninitialized);
    uLong sum = crc32_z(0, Z_NULL, 0);
    for (;;) {
        const qint64 read = file.read(block.data(), block.size());
        if (read < 0)
            return false;
        if (read == 0)
            break;
        sum = crc32_z(sum, reinterpret_cast<const Bytef *>(block.constData()), size_t(read));
    }
    crc = quint32(sum);
    return true;
}

QString differenceFrom(const PackageListing::Entry &entry, const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymbolicLink())
        return QStringLiteral("是链接");
    if (entry.isFolder)
        return info.isDir() ? QString() : QStringLiteral("不是文件夹");
    if (!info.isFile())
        return QStringLiteral("不存在或不是普通文件");
    if (info.size() != entry.size)
        return QStringLiteral("大小 %1，应为 %2").arg(info.size()).arg(entry.size);
    quint32 crc = 0;
    if (!fileCrc32(path, crc))
        return QStringLiteral("无法读取");
    if (crc != entry.crc32)
        return QStringLiteral("CRC-32 %1，应为 %2")
            .arg(crc, 8, 16, QLatin1Char('0'))
            .arg(entry.crc32, 8, 16, QLatin1Char('0'));
    return QString();
}

bool isInside(const QString &canonicalPath, const QString &canonicalRoot)
{
    return !canonicalPath.isEmpty() &&
           (canonicalPath == canonicalRoot || canonicalPath.startsWith(canonicalRoot + QLatin1Char('/')));
}

} // namespace

QString PackageListing::unsafePathReason(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("空路径");
    if (path.startsWith(QLatin1Char('/')))
        return QStringLiteral("绝对路径");
    // ':' covers drive letters and alternate data streams, '\\' a second separator on Windows.
    static const QString forbidden = QStringLiteral("\\:*?\"<>|");
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("控制字符");
        if (forbidden.contains(c))
            return QStringLiteral("不允许的字符 ") + c;
    }
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty())
            return QStringLiteral("空的路径段");
        if (part == QLatin1String(".") || part == QLatin1String(".."))
            return QStringLiteral("路径段 ") + part;
        // Windows drops trailing dots and blanks: ".. " would name the parent folder.
        if (part.endsWith(QLatin1Char('.')) || part.endsWith(QLatin1Char(' ')))
            return QStringLiteral("路径段以点或空格结尾");
        if (isReservedDeviceName(part))
            return QStringLiteral("设备名 ") + part;
    }
    // The extraction must never write into the backup it may have to restore.
    if (parts.first().startsWith(BackupMarker))
        return QStringLiteral("备份目录中的路径");
    return QString();
}

bool PackageListing::read(const QString &zipPath)
{
    listed.clear();
    PackageFile package;
    package.file.setFileName(zipPath);
    package.block.resize(ReadBlockBytes);
    const auto refuse = [&](const QString &reason) {
        qWarning().noquote() << "更新包无效:" << reason;
        listed.clear();
        return false;
    };
    if (!package.file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return refuse(QStringLiteral("无法打开 ") + zipPath + QStringLiteral(": ") +
                      package.file.errorString());

    ArchiveReader reader(archive_read_new());
    // The seekable reader starts from the central directory, so a zip cut short is not a zip.
    archive_read_support_format_zip_seekable(reader.get());
    archive_read_set_callback_data(reader.get(), &package);
    archive_read_set_read_callback(reader.get(), readBlock);
    archive_read_set_seek_callback(reader.get(), seekTo);
    archive_read_set_skip_callback(reader.get(), skipAhead);
    if (archive_read_open1(reader.get()) != ARCHIVE_OK)
        return refuse(QStringLiteral("不是完整的 zip 文件: ") + errorOf(reader.get()));

    QSet<QString> seen;
    archive_entry *entry = nullptr;
    for (;;) {
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        // A warning here is about converting the name to the locale; the UTF-8 name is used.
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN)
            return refuse(QStringLiteral("无法读取条目: ") + errorOf(reader.get()));
        const QString name = pathnameOf(entry);
        const QString unplain = unplainEntryReason(entry);
        if (!unplain.isEmpty())
            return refuse(unplain + QStringLiteral(": ") + name);
        Entry listedEntry{name, archive_entry_filetype(entry) == AE_IFDIR, 0, 0};
        if (listedEntry.isFolder && listedEntry.path.endsWith(QLatin1Char('/')))
            listedEntry.path.chop(1);
        const QString unsafe = unsafePathReason(listedEntry.path);
        if (!unsafe.isEmpty())
            return refuse(unsafe + QStringLiteral(": ") + name);
        // Windows names ignore letter case: two such entries would overwrite each other.
        const QString key = listedEntry.path.toLower();
        if (!listedEntry.isFolder && seen.contains(key))
            return refuse(QStringLiteral("重复的条目: ") + name);
        seen.insert(key);
        QString reason;
        if (!readData(reader.get(), listedEntry.size, listedEntry.crc32, reason))
            return refuse(QStringLiteral("数据损坏 ") + name + QStringLiteral(": ") + reason);
        if (archive_entry_size_is_set(entry) && archive_entry_size(entry) != listedEntry.size)
            return refuse(QStringLiteral("大小与目录不符: ") + name);
        listed.append(listedEntry);
    }
    if (listed.isEmpty())
        return refuse(QStringLiteral("没有任何条目"));
    qDebug() << "更新包条目数:" << listed.size();
    return true;
}

bool PackageListing::isInstalledIn(const QString &folder) const
{
    const QString canonicalRoot = QFileInfo(folder).canonicalFilePath();
    QString lastParent;
    for (const Entry &entry : listed) {
        const QString path = folder + QLatin1Char('/') + entry.path;
        const QString parent = QFileInfo(path).absolutePath();
        // A file reached through a link to elsewhere is not in the program folder.
        if (parent != lastParent && !isInside(QFileInfo(parent).canonicalFilePath(), canonicalRoot)) {
            qWarning().noquote() << "安装校验失败:" << entry.path << "不在程序目录中";
            return false;
        }
        lastParent = parent;
        const QString difference = differenceFrom(entry, path);
        if (!difference.isEmpty()) {
            qWarning().noquote() << "安装校验失败:" << entry.path << difference;
            return false;
        }
    }
    qDebug() << "安装校验通过，条目数:" << listed.size();
    return true;
}
