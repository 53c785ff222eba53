#include "PackageListing.h"

#include "PackageConstants.h"
#include "Platform.h"
#include "Sha256Digest.h"
#include "TransactionConstants.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QPair>
#include <QSet>
#include <QThread>
#include <QWaitCondition>
#include <QtEndian>

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <memory>

using namespace package;

namespace {

constexpr int ReadBlockBytes = 256 * 1024;
// setuid, setgid and sticky: never part of a plain file.
constexpr int SpecialModeBits = 07000;

// The zip records the layout check reads, with their sizes up to their variable parts.
const QByteArray LocalHeaderSignature("PK\x03\x04", 4);
const QByteArray EndRecordSignature("PK\x05\x06", 4);
const QByteArray Zip64LocatorSignature("PK\x06\x07", 4);
const QByteArray Zip64EndRecordSignature("PK\x06\x06", 4);
constexpr int EndRecordBytes = 22;
constexpr int MaximumCommentBytes = 0xffff;
constexpr int Zip64LocatorBytes = 20;
constexpr int Zip64EndRecordBytes = 56;
// A ZIP64 end record counts its size from after its signature and this size field.
constexpr int Zip64EndRecordLeadBytes = 12;

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

bool openReader(archive *reader, PackageFile &package)
{
    archive_read_set_callback_data(reader, &package);
    archive_read_set_read_callback(reader, readBlock);
    archive_read_set_seek_callback(reader, seekTo);
    archive_read_set_skip_callback(reader, skipAhead);
    return package.file.seek(0) && archive_read_open1(reader) == ARCHIVE_OK;
}

template <typename T> T littleEndianAt(const QByteArray &bytes, int at)
{
    return qFromLittleEndian<T>(bytes.constData() + at);
}

// Exactly count bytes from offset, or none.
QByteArray bytesAt(QFile &file, qint64 offset, int count)
{
    if (offset < 0 || !file.seek(offset))
        return QByteArray();
    const QByteArray bytes = file.read(count);
    return bytes.size() == count ? bytes : QByteArray();
}

const QString NotWholeZip = QStringLiteral("不是完整的 zip 文件: ");
const QString SplitZip = QStringLiteral("分卷 zip");

// Where the central directory is recorded to be, and where it has to end.
struct CentralDirectory
{
    quint64 offset;
    quint64 size;
    quint64 end;
};

// A ZIP64 end record, found through its locator, takes the place of the plain record's directory fields and
// must end where the locator begins.
QString zip64Problem(QFile &file, qint64 locatorAt, CentralDirectory &directory)
{
    const QByteArray locator = bytesAt(file, locatorAt, Zip64LocatorBytes);
    // Disk of the record at 4, its offset at 8, number of disks at 16.
    if (littleEndianAt<quint32>(locator, 4) != 0 || littleEndianAt<quint32>(locator, 16) != 1)
        return SplitZip;
    const quint64 recordAt = littleEndianAt<quint64>(locator, 8);
    const QByteArray record = bytesAt(file, qint64(recordAt), Zip64EndRecordBytes);
    if (!record.startsWith(Zip64EndRecordSignature) || recordAt + Zip64EndRecordBytes > quint64(locatorAt) ||
        littleEndianAt<quint64>(record, 4) != quint64(locatorAt) - recordAt - Zip64EndRecordLeadBytes)
        return QStringLiteral("ZIP64 结尾记录无效");
    // Disk at 16, directory's disk at 20, entries on this disk at 24 and in all at 32, size at 40, offset
    // at 48.
    if (littleEndianAt<quint32>(record, 16) != 0 || littleEndianAt<quint32>(record, 20) != 0 ||
        littleEndianAt<quint64>(record, 24) != littleEndianAt<quint64>(record, 32))
        return SplitZip;
    directory = {littleEndianAt<quint64>(record, 48), littleEndianAt<quint64>(record, 40), recordAt};
    return QString();
}

// libarchive's zip reader finds a zip behind anything put in front of it (it corrects the offsets) and
// ignores what follows it, while tar reads a file from its first byte: a tar archive with a zip appended
// would install the tar. So every byte must belong to the zip: its first entry at offset 0, its central
// directory right before the end record, and the end record, with its comment, ending the file. Returns
// why the file is not laid out so, or an empty text.
QString layoutProblem(QFile &file)
{
    if (bytesAt(file, 0, LocalHeaderSignature.size()) != LocalHeaderSignature)
        return QStringLiteral("开头不是 zip 本地文件头");
    const qint64 size = file.size();
    const qint64 tailAt = qMax<qint64>(0, size - EndRecordBytes - MaximumCommentBytes);
    const QByteArray tail = bytesAt(file, tailAt, int(size - tailAt));
    // The last signature is the record: one inside a comment would leave readers to choose.
    const int at = tail.lastIndexOf(EndRecordSignature);
    if (at < 0 || at + EndRecordBytes > tail.size() ||
        at + EndRecordBytes + littleEndianAt<quint16>(tail, at + 20) != tail.size())
        return QStringLiteral("没有结尾记录或其后还有数据");
    // Disk at 4, directory's disk at 6, entries on this disk at 8 and in all at 10, size at 12, offset at 16.
    if (littleEndianAt<quint16>(tail, at + 4) != 0 || littleEndianAt<quint16>(tail, at + 6) != 0 ||
        littleEndianAt<quint16>(tail, at + 8) != littleEndianAt<quint16>(tail, at + 10))
        return SplitZip;
    const qint64 endAt = tailAt + at;
    CentralDirectory directory{littleEndianAt<quint32>(tail, at + 16), littleEndianAt<quint32>(tail, at + 12),
                               quint64(endAt)};
    const qint64 locatorAt = endAt - Zip64LocatorBytes;
    if (bytesAt(file, locatorAt, Zip64LocatorSignature.size()) == Zip64LocatorSignature) {
        const QString problem = zip64Problem(file, locatorAt, directory);
        if (!problem.isEmpty())
            return problem;
    }
    if (directory.size > directory.end || directory.offset != directory.end - directory.size)
        return QStringLiteral("中央目录与结尾记录之间有其他数据");
    return QString();
}

// What tar makes of the package: it lets every format and filter it knows bid for the file and takes the
// highest bid. A file can begin like a zip and still be a tar archive whose first name starts with "PK":
// tar would extract the tar. Returns what tar would read instead of a plain zip, or an empty text.
QString otherFormatSeenByTar(PackageFile &package)
{
    ArchiveReader reader(archive_read_new());
    archive_read_support_filter_all(reader.get());
    archive_read_support_format_all(reader.get());
    // Nothing that bids: tar cannot read it either, and the zip reader says why.
    if (!openReader(reader.get(), package))
        return QString();
    archive_entry *entry = nullptr;
    archive_read_next_header(reader.get(), &entry);
    const bool unfiltered = archive_filter_code(reader.get(), 0) == ARCHIVE_FILTER_NONE;
    if (unfiltered && (archive_format(reader.get()) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_ZIP)
        return QString();
    const QString format = QString::fromUtf8(archive_format_name(reader.get()));
    return unfiltered ? format
                      : QString::fromUtf8(archive_filter_name(reader.get(), 0)) + QLatin1Char(' ') + format;
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

// Reads the entry's data to its end (libarchive compares it with the zip's CRC-32 there), hashing it on the
// way; a kept entry's bytes go to kept as well, up to the manifest's limit.
bool readData(archive *reader, PackageListing::Entry &entry, QString &reason, QByteArray *kept)
{
    uLong sum = crc32_z(0, Z_NULL, 0);
    Sha256Digest sha256;
    entry.size = 0;
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
        if (offset != entry.size) {
            reason = QStringLiteral("数据不连续");
            return false;
        }
        // An empty block may come with no buffer, which zlib takes as a request for the initial value.
        if (length > 0) {
            sum = crc32_z(sum, static_cast<const Bytef *>(block), length);
            sha256.addData(static_cast<const char *>(block), qint64(length));
        }
        entry.size += qint64(length);
        if (kept && entry.size > MaximumManifestBytes) {
            reason = QStringLiteral("清单文件过大");
            return false;
        }
        if (kept && length > 0)
            kept->append(static_cast<const char *>(block), int(length));
    }
    entry.crc32 = quint32(sum);
    entry.sha256 = sha256.result();
    return true;
}

// Reads the data of every second entry (the odd ones, in the zip's order) with a reader of its own on a
// thread of its own, while the listing reads the others: decompressing and hashing the data is most of a
// package's check, and a second core halves it. The manifest is left to the listing, which keeps its bytes.
class OddEntriesAhead final
{
    Q_DISABLE_COPY_MOVE(OddEntriesAhead)

public:
    explicit OddEntriesAhead(const QString &zipPath) : zipPath(zipPath)
    {
        thread.reset(QThread::create([this] {
            platform::withUtf8CharacterSet([this] { readAll(); });
            QMutexLocker locker(&lock);
            finished = true;
            arrived.wakeAll();
        }));
        thread->start();
        if (!thread->isRunning()) {
            QMutexLocker locker(&lock);
            finished = true;
        }
    }

    ~OddEntriesAhead()
    {
        stop = true;
        thread->wait();
    }

    // Waits for the entry at index; false when this reader did not read it.
    bool take(int index, PackageListing::Entry &data, QString &failure)
    {
        QMutexLocker locker(&lock);
        while (!results.contains(index) && !finished)
            arrived.wait(&lock);
        const ReadResult result = results.take(index);
        data = result.data;
        failure = result.failure;
        return result.read;
    }

private:
    static bool isManifest(archive_entry *entry)
    {
        const char *name = archive_entry_pathname_utf8(entry);
        return !name || PackageListing::windowsNameKey(QString::fromUtf8(name)) ==
                            PackageListing::windowsNameKey(ManifestFileName);
    }

    void readAll()
    {
        PackageFile package;
        package.file.setFileName(zipPath);
        package.block.resize(ReadBlockBytes);
        ArchiveReader reader(archive_read_new());
        archive_read_support_format_zip_seekable(reader.get());
        if (!package.file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) ||
            !openReader(reader.get(), package))
            return;
        archive_entry *entry = nullptr;
        for (int index = 0; !stop; ++index) {
            const int status = archive_read_next_header(reader.get(), &entry);
            if (status != ARCHIVE_OK && status != ARCHIVE_WARN)
                return;
            if (index % 2 == 0)
                continue;
            ReadResult result{!isManifest(entry), {QString(), false, 0, 0, QByteArray()}, QString()};
            if (result.read)
                readData(reader.get(), result.data, result.failure, nullptr);
            QMutexLocker locker(&lock);
            results.insert(index, result);
            arrived.wakeAll();
        }
    }

    const QString zipPath;
    std::unique_ptr<QThread> thread;
    std::atomic_bool stop{false};
    QMutex lock;
    QWaitCondition arrived;
    // By entry index; a manifest is left unread, for the listing to keep its bytes.
    struct ReadResult
    {
        bool read = false;
        PackageListing::Entry data;
        QString failure;
    };
    QHash<int, ReadResult> results;
    bool finished = false;
};

} // namespace

// Size and CRC-32 can be matched by anyone who writes a file; the SHA-256 of the verified package cannot.
QString PackageListing::differenceFrom(const Entry &entry, const QString &path)
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
    QByteArray digest;
    qint64 read = 0;
    if (!Sha256Digest::ofFile(path, digest, read))
        return QStringLiteral("无法读取");
    if (digest != entry.sha256)
        return QStringLiteral("SHA-256 %1，应为 %2")
            .arg(QLatin1String(digest.toHex()), QLatin1String(entry.sha256.toHex()));
    return QString();
}

namespace {

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
    if (parts.first().startsWith(transaction::BackupMarker))
        return QStringLiteral("备份目录中的路径");
    return QString();
}

QString PackageListing::windowsNameKey(const QString &path)
{
    QString key = path;
    for (QChar &unit : key)
        unit = unit.toUpper();
    return key;
}

bool PackageListing::holds(const QString &relativePath) const
{
    return isFolderByKey.contains(windowsNameKey(relativePath));
}

// Windows would write the entry over another, or need a folder where a file is: a second file of one name
// (letter case ignored as Windows ignores it), or a file and a folder of one name, the folder perhaps only
// implied by a path below it. Records the entry and the folders above it.
QString PackageListing::clashReason(const Entry &entry)
{
    const QString key = windowsNameKey(entry.path);
    for (int slash = key.indexOf(QLatin1Char('/')); slash > 0;
         slash = key.indexOf(QLatin1Char('/'), slash + 1)) {
        if (!isFolderByKey.value(key.left(slash), true))
            return QStringLiteral("文件与文件夹同名");
        isFolderByKey.insert(key.left(slash), true);
    }
    const auto earlier = isFolderByKey.constFind(key);
    if (earlier != isFolderByKey.cend() && !(entry.isFolder && *earlier))
        return *earlier || entry.isFolder ? QStringLiteral("文件与文件夹同名") : QStringLiteral("重复的条目");
    isFolderByKey.insert(key, entry.isFolder);
    return QString();
}

bool PackageListing::read(const QString &zipPath)
{
    bool accepted = false;
    // libarchive converts every name to the C library's character set: UTF-8 here, whatever LANG says.
    platform::withUtf8CharacterSet([&] { accepted = readPackage(zipPath); });
    return accepted;
}

bool PackageListing::readPackage(const QString &zipPath)
{
    listed.clear();
    isFolderByKey.clear();
    manifestBytes.clear();
    const QString refusal = refusalOf(zipPath);
    if (refusal.isEmpty()) {
        qDebug() << "更新包条目数:" << listed.size();
        return true;
    }
    qWarning().noquote() << "更新包无效:" << refusal;
    listed.clear();
    isFolderByKey.clear();
    manifestBytes.clear();
    return false;
}

QString PackageListing::refusalOf(const QString &zipPath)
{
    PackageFile package;
    package.file.setFileName(zipPath);
    package.block.resize(ReadBlockBytes);
    if (!package.file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QStringLiteral("无法打开 ") + zipPath + QStringLiteral(": ") + package.file.errorString();
    const QString layout = layoutProblem(package.file);
    if (!layout.isEmpty())
        return NotWholeZip + layout;
    const QString otherFormat = otherFormatSeenByTar(package);
    if (!otherFormat.isEmpty())
        return NotWholeZip + QStringLiteral("tar 会把它读作 ") + otherFormat;

    ArchiveReader reader(archive_read_new());
    // The seekable reader starts from the central directory, so a zip cut short is not a zip.
    archive_read_support_format_zip_seekable(reader.get());
    if (!openReader(reader.get(), package))
        return NotWholeZip + errorOf(reader.get());
    OddEntriesAhead ahead(zipPath);
    archive_entry *entry = nullptr;
    int status = ARCHIVE_OK;
    for (int index = 0; (status = archive_read_next_header(reader.get(), &entry)) != ARCHIVE_EOF; ++index) {
        // A warning here is about converting the name; whether there is a UTF-8 name decides.
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN)
            return QStringLiteral("无法读取条目: ") + errorOf(reader.get());
        Entry data{QString(), false, 0, 0, QByteArray()};
        QString failure;
        const bool readAhead = index % 2 == 1 && ahead.take(index, data, failure);
        const QString refusal = addEntry(reader.get(), entry, readAhead ? &data : nullptr, failure);
        if (!refusal.isEmpty())
            return refusal;
    }
    return listed.isEmpty() ? QStringLiteral("没有任何条目") : QString();
}

QString PackageListing::addEntry(archive *reader, archive_entry *entry, const Entry *readAhead,
                                 const QString &readAheadFailure)
{
    // Without the zip's UTF-8 flag the name is in the system's code page on Windows and raw bytes here.
    const char *utf8Name = archive_entry_pathname_utf8(entry);
    if (!utf8Name)
        return QStringLiteral("无法按 UTF-8 读取条目名称");
    const QString name = QString::fromUtf8(utf8Name);
    const QString unplain = unplainEntryReason(entry);
    if (!unplain.isEmpty())
        return unplain + QStringLiteral(": ") + name;
    Entry listedEntry{name, archive_entry_filetype(entry) == AE_IFDIR, 0, 0, QByteArray()};
    if (listedEntry.isFolder && listedEntry.path.endsWith(QLatin1Char('/')))
        listedEntry.path.chop(1);
    const QString unsafe = unsafePathReason(listedEntry.path);
    if (!unsafe.isEmpty())
        return unsafe + QStringLiteral(": ") + name;
    const QString clash = clashReason(listedEntry);
    if (!clash.isEmpty())
        return clash + QStringLiteral(": ") + name;
    QString reason;
    const bool isManifest =
        !listedEntry.isFolder && windowsNameKey(listedEntry.path) == windowsNameKey(ManifestFileName);
    if (readAhead && readAheadFailure.isEmpty()) {
        listedEntry.size = readAhead->size;
        listedEntry.crc32 = readAhead->crc32;
        listedEntry.sha256 = readAhead->sha256;
    } else if (readAhead || !readData(reader, listedEntry, reason, isManifest ? &manifestBytes : nullptr)) {
        return QStringLiteral("数据损坏 ") + name + QStringLiteral(": ") +
               (readAhead ? readAheadFailure : reason);
    }
    if (archive_entry_size_is_set(entry) && archive_entry_size(entry) != listedEntry.size)
        return QStringLiteral("大小与目录不符: ") + name;
    listed.append(listedEntry);
    return QString();
}

namespace {

// The first of entries [from, to) that is not installed in the folder, with why; -1 when there is none.
QPair<int, QString> firstDifference(const QVector<PackageListing::Entry> &entries, int from, int to,
                                    const QString &folder, const QString &canonicalRoot)
{
    QString lastParent;
    for (int i = from; i < to; ++i) {
        const QString path = folder + QLatin1Char('/') + entries.at(i).path;
        const QString parent = QFileInfo(path).absolutePath();
        // A file reached through a link to elsewhere is not in the program folder.
        if (parent != lastParent && !isInside(QFileInfo(parent).canonicalFilePath(), canonicalRoot))
            return {i, QStringLiteral("不在程序目录中")};
        lastParent = parent;
        const QString difference = PackageListing::differenceFrom(entries.at(i), path);
        if (!difference.isEmpty())
            return {i, difference};
    }
    return {-1, QString()};
}

} // namespace

// Reading and hashing every file is most of the check: the second half of the listing is checked on a thread
// of its own beside the first. The difference logged is still the first in the listing's order.
bool PackageListing::isInstalledIn(const QString &folder) const
{
    const QString canonicalRoot = QFileInfo(folder).canonicalFilePath();
    const int half = listed.size() / 2;
    QPair<int, QString> inSecond;
    const std::unique_ptr<QThread> secondHalf(QThread::create(
        [&] { inSecond = firstDifference(listed, half, listed.size(), folder, canonicalRoot); }));
    secondHalf->start();
    const QPair<int, QString> inFirst = firstDifference(listed, 0, half, folder, canonicalRoot);
    secondHalf->wait();
    const QPair<int, QString> &found = inFirst.first >= 0 ? inFirst : inSecond;
    if (found.first >= 0) {
        qWarning().noquote() << "安装校验失败:" << listed.at(found.first).path << found.second;
        return false;
    }
    qDebug() << "安装校验通过，条目数:" << listed.size();
    return true;
}
