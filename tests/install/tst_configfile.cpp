#include "FolderSnapshot.h"
#include "MessageLog.h"
#include "ProductConfig.h"
#include "TestFiles.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>
#include <memory>

namespace {

const QString NewVersion = QStringLiteral("2.0.1");
const QByteArray OldConfig = "[App]\nVersion=1.0\n";
const QString Nobody = QStringLiteral("65534");

// What stands in the way of the new config.ini. Permission bits do not stop root, so the file is made
// unwritable in ways that do.
enum class Obstacle
{
    Folder,
    LinkToAFileElsewhere,
    SecondHardLink,
    FullDisk,
};

} // namespace

Q_DECLARE_METATYPE(Obstacle)

class ConfigFileTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void keysWritten_data();
    void keysWritten();
    void keepsEveryOtherByte();
    void missingFileIsNotCreated();
    void unwritableFile_data();
    void unwritableFile();
    void keepsOwnerAndMode();

private:
    bool fillSmallDisk();

    std::unique_ptr<QTemporaryDir> scratch;
    QString mountPoint;
    QString programFolder;
    QString configPath;
};

void ConfigFileTest::init()
{
    scratch = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch->isValid());
    programFolder = scratch->path();
    configPath = scratch->filePath(QStringLiteral("config.ini"));
}

void ConfigFileTest::cleanup()
{
    if (!mountPoint.isEmpty())
        QCOMPARE(QProcess::execute(QStringLiteral("umount"), {mountPoint}), 0);
    mountPoint.clear();
}

// The program folder on a file system of its own, config.ini in it, and the rest of the space taken.
bool ConfigFileTest::fillSmallDisk()
{
    const QString disk = scratch->filePath(QStringLiteral("disk"));
    if (!QDir().mkpath(disk) ||
        QProcess::execute(QStringLiteral("mount"),
                          {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                           QStringLiteral("size=64k"), QStringLiteral("tmpfs"), disk}) != 0)
        return false;
    mountPoint = disk;
    programFolder = disk;
    configPath = disk + QStringLiteral("/config.ini");
    writeFile(configPath, OldConfig);
    QFile filler(disk + QStringLiteral("/filler"));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray block(4096, 'f');
    while (filler.write(block) == block.size()) {
    }
    return true;
}

void ConfigFileTest::keysWritten_data()
{
    QTest::addColumn<QByteArray>("initialText");
    QTest::addColumn<QString>("expectedOldVersion");
    QTest::addColumn<QVariantMap>("expectedKept");

    QTest::newRow("other sections and keys kept")
        << QByteArray("[App]\nVersion=1.2.0\nLanguage=zh_CN\n"
                      "[Update]\nLastPromptTime=2024-01-01 10:00:00\nLastCheckTime=2024-01-01 09:00:00\n"
                      "Channel=stable\nLastUpdateVersion=1.1.0\nLastUpdateTime=2023-12-01 08:00:00\n"
                      "[Network]\nProxy=none\n")
        << QStringLiteral("1.2.0")
        << QVariantMap{{QStringLiteral("App/Language"), QStringLiteral("zh_CN")},
                       {QStringLiteral("Update/Channel"), QStringLiteral("stable")},
                       {QStringLiteral("Network/Proxy"), QStringLiteral("none")}};
    QTest::newRow("no version yet") << QByteArray("[Update]\nLastCheckTime=2024-01-01 09:00:00\n")
                                    << QString() << QVariantMap();
    QTest::newRow("empty file") << QByteArray() << QString() << QVariantMap();
    QTest::newRow("key outside any section")
        << QByteArray("Theme=dark\n") << QString()
        << QVariantMap{{QStringLiteral("Theme"), QStringLiteral("dark")}};
}

void ConfigFileTest::keysWritten()
{
    QFETCH(QByteArray, initialText);
    QFETCH(QString, expectedOldVersion);
    QFETCH(QVariantMap, expectedKept);
    QFile file(configPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(initialText);
    file.close();
    QDateTime earliest = QDateTime::currentDateTime();
    earliest.setTime(QTime(earliest.time().hour(), earliest.time().minute(), earliest.time().second()));
    MessageLog log;

    QVERIFY(ProductConfig(configPath).recordInstalledVersion(NewVersion));
    const QDateTime latest = QDateTime::currentDateTime();

    QSettings written(configPath, QSettings::IniFormat);
    QCOMPARE(written.value(QStringLiteral("App/Version")).toString(), NewVersion);
    QCOMPARE(written.value(QStringLiteral("Update/LastUpdateVersion")).toString(), NewVersion);
    QVERIFY(!written.contains(QStringLiteral("Update/LastPromptTime")));
    QVERIFY(!written.contains(QStringLiteral("Update/LastCheckTime")));
    const QString stamp = written.value(QStringLiteral("Update/LastUpdateTime")).toString();
    const QDateTime updated = QDateTime::fromString(stamp, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    QVERIFY2(updated >= earliest && updated <= latest, qPrintable(stamp));
    for (auto it = expectedKept.cbegin(); it != expectedKept.cend(); ++it)
        QCOMPARE(written.value(it.key()), it.value());
    QCOMPARE(written.allKeys().size(), expectedKept.size() + 3);
    QVERIFY(log.contains(QStringLiteral("配置文件更新成功")));
    QVERIFY(log.contains(QStringLiteral("  旧版本: ") + expectedOldVersion));
    QVERIFY(log.contains(QStringLiteral("  新版本: ") + NewVersion));
}

void ConfigFileTest::keepsEveryOtherByte()
{
    // As the product's installer writes it: BOM, comments, CRLF, raw backslashes, blanks in keys, Chinese.
    const QByteArray head = "\xEF\xBB\xBF; Quillon\r\n[App]\r\nVersion=1.2.0\r\n";
    const QByteArray kept =
        "InstallDir=C:\\Program Files\\Quillon\r\nDisplay Name=\xE8\xBF\x9C\xE7\xA8\x8B\r\n\r\n"
        "[Update]\r\nChannel=stable ; comment\r\n";
    writeFile(configPath, head + kept + "LastCheckTime=2024-01-01 09:00:00\r\n\r\n[Net]\r\nProxy=none\r\n");

    QVERIFY(ProductConfig(configPath).recordInstalledVersion(NewVersion));

    QSettings written(configPath, QSettings::IniFormat);
    QCOMPARE(written.value(QStringLiteral("App/Version")).toString(), NewVersion);
    QCOMPARE(written.value(QStringLiteral("Update/LastUpdateVersion")).toString(), NewVersion);
    const QByteArray stamp = written.value(QStringLiteral("Update/LastUpdateTime")).toString().toLatin1();
    QCOMPARE(readFile(configPath), "\xEF\xBB\xBF; Quillon\r\n[App]\r\nVersion=2.0.1\r\n" + kept +
                                       "LastUpdateTime=" + stamp +
                                       "\r\nLastUpdateVersion=2.0.1\r\n\r\n"
                                       "[Net]\r\nProxy=none\r\n");
}

void ConfigFileTest::missingFileIsNotCreated()
{
    MessageLog log;

    QVERIFY(!ProductConfig(configPath).recordInstalledVersion(NewVersion));
    QVERIFY(!QFileInfo::exists(configPath));
    QVERIFY(log.contains(QStringLiteral("配置文件不存在: ") + configPath));
    QVERIFY(log.contains(QStringLiteral("找不到配置文件")));
}

void ConfigFileTest::unwritableFile_data()
{
    QTest::addColumn<Obstacle>("obstacle");

    QTest::newRow("config.ini is a folder") << Obstacle::Folder;
    QTest::newRow("config.ini is a link to a file elsewhere") << Obstacle::LinkToAFileElsewhere;
    QTest::newRow("config.ini has a second hard link") << Obstacle::SecondHardLink;
    QTest::newRow("the disk is full") << Obstacle::FullDisk;
}

// Nothing in the folder changes, nothing is written through another name, and the failure is reported.
void ConfigFileTest::unwritableFile()
{
    QFETCH(Obstacle, obstacle);
    const QString elsewhere = scratch->filePath(QStringLiteral("elsewhere.ini"));
    switch (obstacle) {
    case Obstacle::Folder:
        QVERIFY(QDir().mkpath(configPath));
        break;
    case Obstacle::LinkToAFileElsewhere:
        writeFile(elsewhere, OldConfig);
        QVERIFY(QFile::link(elsewhere, configPath));
        break;
    case Obstacle::SecondHardLink:
        writeFile(configPath, OldConfig);
        std::filesystem::create_hard_link(configPath.toStdString(), elsewhere.toStdString());
        break;
    case Obstacle::FullDisk:
        if (!fillSmallDisk())
            QSKIP("a small file system cannot be mounted here (needs root)");
        break;
    }
    const FolderSnapshot before(programFolder);
    MessageLog log;

    QVERIFY(!ProductConfig(configPath).recordInstalledVersion(NewVersion));
    QVERIFY(log.contains(QStringLiteral("配置文件更新失败")));
    QVERIFY(!log.contains(QStringLiteral("配置文件更新成功")));
    QCOMPARE(FolderSnapshot(programFolder).differenceFrom(before), QString());
}

// The product may run as the user and write its own settings: the new file is still the user's.
void ConfigFileTest::keepsOwnerAndMode()
{
    writeFile(configPath, OldConfig);
    if (QProcess::execute(QStringLiteral("chown"), {Nobody + QLatin1Char(':') + Nobody, configPath}) != 0)
        QSKIP("changing the owner needs root");
    const QFile::Permissions mode =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther;
    QVERIFY(QFile::setPermissions(configPath, mode));

    QVERIFY(ProductConfig(configPath).recordInstalledVersion(NewVersion));
    const QFileInfo written(configPath);
    QCOMPARE(QSettings(configPath, QSettings::IniFormat).value(QStringLiteral("App/Version")).toString(),
             NewVersion);
    QCOMPARE(written.ownerId(), Nobody.toUInt());
    QCOMPARE(written.groupId(), Nobody.toUInt());
    const QFile::Permissions currentUser = QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;
    QCOMPARE(written.permissions() & ~currentUser, mode);
}

QTEST_GUILESS_MAIN(ConfigFileTest)
#include "tst_configfile.moc"
