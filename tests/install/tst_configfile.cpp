#include "EngineProbe.h"
#include "MessageLog.h"
#include "TestFiles.h"

#include <QDateTime>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString NewVersion = QStringLiteral("2.0.1");

} // namespace

class ConfigFileTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void keysWritten_data();
    void keysWritten();
    void keepsEveryOtherByte();
    void missingFileIsNotCreated();
    void unwritableFile_data();
    void unwritableFile();

private:
    std::unique_ptr<QTemporaryDir> scratch;
    std::unique_ptr<EngineProbe> engine;
};

void ConfigFileTest::init()
{
    scratch = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch->isValid());
    engine = std::make_unique<EngineProbe>();
    engine->appDir = scratch->path();
    engine->configPath = scratch->filePath(QStringLiteral("config.ini"));
    engine->newVersion = NewVersion;
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
    QFile file(engine->configPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(initialText);
    file.close();
    QDateTime earliest = QDateTime::currentDateTime();
    earliest.setTime(QTime(earliest.time().hour(), earliest.time().minute(), earliest.time().second()));
    MessageLog log;

    QVERIFY(engine->updateConfigFile());
    const QDateTime latest = QDateTime::currentDateTime();

    QSettings written(engine->configPath, QSettings::IniFormat);
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
    writeFile(engine->configPath,
              head + kept + "LastCheckTime=2024-01-01 09:00:00\r\n\r\n[Net]\r\nProxy=none\r\n");

    QVERIFY(engine->updateConfigFile());

    QSettings written(engine->configPath, QSettings::IniFormat);
    QCOMPARE(written.value(QStringLiteral("App/Version")).toString(), NewVersion);
    QCOMPARE(written.value(QStringLiteral("Update/LastUpdateVersion")).toString(), NewVersion);
    const QByteArray stamp = written.value(QStringLiteral("Update/LastUpdateTime")).toString().toLatin1();
    QCOMPARE(readFile(engine->configPath), "\xEF\xBB\xBF; Quillon\r\n[App]\r\nVersion=2.0.1\r\n" + kept +
                                               "LastUpdateTime=" + stamp +
                                               "\r\nLastUpdateVersion=2.0.1\r\n\r\n"
                                               "[Net]\r\nProxy=none\r\n");
}

void ConfigFileTest::missingFileIsNotCreated()
{
    MessageLog log;

    QVERIFY(!engine->updateConfigFile());
    QVERIFY(!QFileInfo::exists(engine->configPath));
    QVERIFY(log.contains(QStringLiteral("配置文件不存在: ") + engine->configPath));
    QVERIFY(log.contains(QStringLiteral("找不到配置文件")));
}

void ConfigFileTest::unwritableFile_data()
{
    QTest::addColumn<QString>("linkTarget");

    // Permission bits do not stop root, so the file is made unwritable in ways that do.
    QTest::newRow("config.ini is a folder") << QString();
    QTest::newRow("config.ini lies on a read-only file system") << QStringLiteral("/proc/version");
}

void ConfigFileTest::unwritableFile()
{
    QFETCH(QString, linkTarget);
    if (linkTarget.isEmpty()) {
        QVERIFY(QDir().mkpath(engine->configPath));
    } else {
        if (!QFileInfo::exists(linkTarget))
            QSKIP("no read-only file system at hand");
        QVERIFY(QFile::link(linkTarget, engine->configPath));
    }
    MessageLog log;

    QVERIFY(!engine->updateConfigFile());
    QVERIFY(log.contains(QStringLiteral("配置文件更新失败")));
    QVERIFY(!log.contains(QStringLiteral("配置文件更新成功")));
    if (linkTarget.isEmpty())
        QVERIFY(QFileInfo(engine->configPath).isDir());
    else
        QCOMPARE(QFileInfo(engine->configPath).symLinkTarget(), linkTarget);
}

QTEST_GUILESS_MAIN(ConfigFileTest)
#include "tst_configfile.moc"
