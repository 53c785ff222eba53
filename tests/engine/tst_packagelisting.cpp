#include "MessageLog.h"
#include "PackageListing.h"
#include "TestFiles.h"
#include "ZipBuilder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <clocale>

using Entries = QList<ZipEntry>;
Q_DECLARE_METATYPE(Entries)

namespace {

using Type = ZipEntry::Type;

// The CRC-32 check value of the zip format's own polynomial.
const QByteArray CheckInput = "123456789";
constexpr quint32 CheckCrc = 0xcbf43926;
const QByteArray CheckSha256 = "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225";

ZipEntry file(const QString &name, const QByteArray &data = "data")
{
    return ZipEntry{name, data};
}

const Entries Program{file(QStringLiteral("app.exe"), CheckInput),
                      ZipEntry{QStringLiteral("QuillonServer/"), {}, Type::Folder},
                      file(QStringLiteral("QuillonServer/QuillonDaemon.exe"), "daemon"),
                      file(QStringLiteral("docs/读我.txt"), "")};

// A tar archive whose first name begins like a zip, then a zip whose offsets count from the start of the
// file: a complete zip to a zip reader, a tar archive to tar.
QByteArray tarThatBeginsLikeZip()
{
    const QByteArray tar =
        tarArchive({file(QStringLiteral("PK\x03\x04") + QStringLiteral("shell"), "#!/bin/sh")});
    QByteArray zip = zipArchive(Program);
    const auto shift = [&](int at) {
        qToLittleEndian<quint32>(qFromLittleEndian<quint32>(zip.constData() + at) + quint32(tar.size()),
                                 zip.data() + at);
    };
    const int end = zip.lastIndexOf("PK\x05\x06");
    for (int at = zip.indexOf("PK\x01\x02"); at >= 0 && at < end; at = zip.indexOf("PK\x01\x02", at + 4))
        shift(at + 42); // the entry's local header
    shift(end + 16);    // the central directory
    return tar + zip;
}

} // namespace

class PackageListingTest final : public QObject
{
    Q_OBJECT

private slots:
    void readsPlainZip_data();
    void readsPlainZip();
    void refusals_data();
    void refusals();
    void installCheck_data();
    void installCheck();

private:
    QString writePackage(const QByteArray &bytes);

    QTemporaryDir scratch;
};

QString PackageListingTest::writePackage(const QByteArray &bytes)
{
    const QString path = scratch.filePath(QStringLiteral("update.zip"));
    writeFile(path, bytes);
    return path;
}

void PackageListingTest::readsPlainZip_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QByteArray>("locale"); // empty: the one the test runs in

    QTest::newRow("deflated") << zipArchive(Program) << QByteArray();
    // Stored data ends with an empty block from libarchive.
    QTest::newRow("stored") << storedZipArchive(Program) << QByteArray();
    // As in an elevated copy started without LANG.
    QTest::newRow("C locale") << zipArchive(Program) << QByteArray("C");
}

void PackageListingTest::readsPlainZip()
{
    QFETCH(QByteArray, package);
    QFETCH(QByteArray, locale);
    if (!locale.isEmpty())
        QVERIFY(std::setlocale(LC_ALL, locale.constData()));
    const auto restoreLocale = qScopeGuard([] { std::setlocale(LC_ALL, ""); });
    PackageListing listing;
    QVERIFY(listing.read(writePackage(package)));
    QCOMPARE(listing.entries().size(), 4);
    const PackageListing::Entry &app = listing.entries().at(0);
    QCOMPARE(app.path, QStringLiteral("app.exe"));
    QCOMPARE(app.size, qint64(CheckInput.size()));
    QCOMPARE(app.crc32, CheckCrc);
    QCOMPARE(app.sha256.toHex(), CheckSha256);
    QCOMPARE(listing.entries().at(1).path, QStringLiteral("QuillonServer"));
    QVERIFY(listing.entries().at(1).isFolder);
    QCOMPARE(listing.entries().at(3).path, QStringLiteral("docs/读我.txt"));
    QCOMPARE(listing.entries().at(3).crc32, quint32(0));
}

void PackageListingTest::refusals_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QString>("reason");

    const auto zipWith = [](const ZipEntry &entry) {
        return zipArchive({file(QStringLiteral("app.exe")), entry});
    };
    const QByteArray program = zipArchive(Program);
    QByteArray corrupted = zipArchive({file(QStringLiteral("big.bin"), QByteArray(4000, 'a'))});
    corrupted[60] = char(corrupted.at(60) ^ 0x55);
    // The second entry's data is read on a thread of its own: its damage must refuse the package all the
    // same.
    QByteArray secondCorrupted = storedZipArchive(
        {file(QStringLiteral("app.exe")), file(QStringLiteral("big.bin"), QByteArray(4000, 'a'))});
    secondCorrupted[secondCorrupted.indexOf(QByteArray(4000, 'a')) + 2000] = 'b';

    const int endRecord = program.lastIndexOf("PK\x05\x06");
    QTest::newRow("tar archive") << tarArchive(Program) << "不是完整的 zip 文件";
    QTest::newRow("tar archive with a zip appended")
        << tarArchive(Program) + program << "不是完整的 zip 文件: 开头不是 zip 本地文件头";
    QTest::newRow("bytes before the zip")
        << QByteArray("MZ") + program << "不是完整的 zip 文件: 开头不是 zip 本地文件头";
    QTest::newRow("bytes after the end record") << program + "tail"
                                                << "不是完整的 zip 文件: 没有结尾记录或其后还有数据";
    QTest::newRow("bytes between central directory and end record")
        << program.left(endRecord) + "gap" + program.mid(endRecord)
        << "不是完整的 zip 文件: 中央目录与结尾记录之间有其他数据";
    QTest::newRow("tar archive beginning like a zip, zip offsets fixed")
        << tarThatBeginsLikeZip() << "不是完整的 zip 文件: tar 会把它读作";
    QTest::newRow("HTML page") << QByteArray("<html><body>Not found</body></html>").repeated(40)
                               << "不是完整的 zip 文件";
    QTest::newRow("cut short: no central directory")
        << program.left(program.size() - 30) << "不是完整的 zip 文件";
    QTest::newRow("data does not match its CRC-32") << corrupted << "数据损坏 big.bin";
    QTest::newRow("second entry's data does not match its CRC-32") << secondCorrupted << "数据损坏 big.bin";
    // A bare end record: no entry where the file begins, and an empty listing would be refused as well.
    QTest::newRow("no entries") << QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0') << "更新包无效: ";
    QTest::newRow("symbolic link")
        << zipWith({QStringLiteral("config.ini"), {}, Type::SymbolicLink, QStringLiteral("/etc/passwd")})
        << "符号链接: config.ini";
    QTest::newRow("setuid file") << zipWith({QStringLiteral("tool"), "x", Type::File, {}, 04755})
                                 << "带有 setuid/setgid/sticky 位: tool";
    QTest::newRow("absolute path") << zipWith(file(QStringLiteral("/etc/cron.d/x"))) << "绝对路径";
    QTest::newRow("parent folder") << zipWith(file(QStringLiteral("../sibling/x"))) << "路径段 ..";
    QTest::newRow("parent folder deeper") << zipWith(file(QStringLiteral("a/b/../../../x"))) << "路径段 ..";
    QTest::newRow("dot folder") << zipWith(file(QStringLiteral("./x"))) << "路径段 .";
    QTest::newRow("drive letter") << zipWith(file(QStringLiteral("C:/Windows/x.dll"))) << "不允许的字符 :";
    QTest::newRow("drive-relative") << zipWith(file(QStringLiteral("C:x.dll"))) << "不允许的字符 :";
    QTest::newRow("alternate data stream")
        << zipWith(file(QStringLiteral("app.exe:hidden"))) << "不允许的字符 :";
    // libarchive reads backslashes as the separators Windows takes them for.
    QTest::newRow("backslash separators") << zipWith(file(QStringLiteral("a\\..\\..\\x"))) << "路径段 ..";
    QTest::newRow("empty segment") << zipWith(file(QStringLiteral("a//x"))) << "空的路径段";
    QTest::newRow("trailing dot: .. on Windows")
        << zipWith(file(QStringLiteral("... /x"))) << "以点或空格结尾";
    QTest::newRow("device name") << zipWith(file(QStringLiteral("logs/NUL.txt"))) << "设备名 NUL.txt";
    QTest::newRow("control character") << zipWith(file(QStringLiteral("a\tb"))) << "控制字符";
    QTest::newRow("into a backup folder")
        << zipWith(file(QStringLiteral("_update_backup_20240102_030405/app.exe"))) << "备份目录中的路径";
    QTest::newRow("same name in another letter case")
        << zipWith(file(QStringLiteral("APP.EXE"))) << "重复的条目: APP.EXE";
    QTest::newRow("Greek sigma, final and plain: one name on Windows")
        << zipArchive({file(QStringLiteral("σ.txt")), file(QStringLiteral("ς.txt"))}) << "重复的条目: ς.txt";
    QTest::newRow("file, then a file below it")
        << zipWith(file(QStringLiteral("app.exe/x"))) << "文件与文件夹同名: app.exe/x";
    QTest::newRow("file below a folder, then a file of its name in other case")
        << zipArchive({file(QStringLiteral("plugins/codec.dat")), file(QStringLiteral("PLUGINS"))})
        << "文件与文件夹同名: PLUGINS";
    QTest::newRow("file, then a folder entry of its name")
        << zipWith({QStringLiteral("app.exe/"), {}, Type::Folder}) << "文件与文件夹同名: app.exe/";
}

void PackageListingTest::refusals()
{
    QFETCH(QByteArray, package);
    QFETCH(QString, reason);
    MessageLog log;
    PackageListing listing;

    QVERIFY(!listing.read(writePackage(package)));
    QVERIFY(listing.isEmpty());
    const QStringList lines = log.startingWith(QStringLiteral("更新包无效: "));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(reason), qPrintable(lines.first()));
}

void PackageListingTest::installCheck_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("logged");

    QTest::newRow("everything in place, extra files allowed") << "extra" << true << "安装校验通过";
    QTest::newRow("a file missing") << "remove" << false << "不存在或不是普通文件";
    QTest::newRow("a file shorter") << "shorten" << false << "大小 8，应为 9";
    QTest::newRow("same size, other bytes") << "alter" << false << "SHA-256";
    QTest::newRow("a link with the right content") << "link" << false << "是链接";
    QTest::newRow("a folder replaced by a link to a copy")
        << "link-folder" << false << "QuillonServer 是链接";
    QTest::newRow("a file where a folder belongs") << "folder-is-file" << false << "不是文件夹";
    // The second half of the listing is checked beside the first; the first difference in order is logged.
    QTest::newRow("last file other") << "alter-last" << false << "docs/读我.txt 大小 4，应为 0";
    QTest::newRow("first and last file other") << "alter-both" << false << "app.exe SHA-256";
}

void PackageListingTest::installCheck()
{
    QFETCH(QString, change);
    QFETCH(bool, installed);
    QFETCH(QString, logged);
    PackageListing listing;
    QVERIFY(listing.read(writePackage(zipArchive(Program))));
    const QString folder = scratch.filePath(QStringLiteral("Quillon"));
    const QString outside = scratch.filePath(QStringLiteral("outside"));
    QVERIFY(QDir(folder).removeRecursively() && QDir(outside).removeRecursively());
    for (const ZipEntry &entry : Program) {
        if (entry.type == Type::Folder)
            QVERIFY(QDir().mkpath(folder + QLatin1Char('/') + entry.name));
        else
            writeFile(folder + QLatin1Char('/') + entry.name, entry.data);
    }
    const QString app = folder + QStringLiteral("/app.exe");
    const QString server = folder + QStringLiteral("/QuillonServer");
    if (change == QLatin1String("extra"))
        writeFile(folder + QStringLiteral("/user.dat"), "kept by the product");
    else if (change == QLatin1String("remove"))
        QVERIFY(QFile::remove(app));
    else if (change == QLatin1String("shorten"))
        writeFile(app, CheckInput.left(8));
    else if (change == QLatin1String("alter") || change == QLatin1String("alter-both"))
        writeFile(app, "987654321");
    else if (change == QLatin1String("link")) {
        writeFile(outside + QStringLiteral("/app.exe"), CheckInput);
        QVERIFY(QFile::remove(app) && QFile::link(outside + QStringLiteral("/app.exe"), app));
    } else if (change == QLatin1String("link-folder")) {
        writeFile(outside + QStringLiteral("/QuillonDaemon.exe"), "daemon");
        QVERIFY(QDir(server).removeRecursively() && QFile::link(outside, server));
    } else if (change == QLatin1String("folder-is-file")) {
        QVERIFY(QDir(server).removeRecursively());
        writeFile(server, "not a folder");
    }
    if (change == QLatin1String("alter-last") || change == QLatin1String("alter-both"))
        writeFile(folder + QStringLiteral("/docs/读我.txt"), "text");
    MessageLog log;

    QCOMPARE(listing.isInstalledIn(folder), installed);
    const QStringList lines = log.startingWith(QStringLiteral("安装校验"));
    QVERIFY2(lines.size() == 1 && lines.first().contains(logged), qPrintable(lines.join('\n')));
}

QTEST_GUILESS_MAIN(PackageListingTest)
#include "tst_packagelisting.moc"
