#include "IniFile.h"
#include "TestFiles.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString Version = QStringLiteral("2.0.1");
const QString Stamp = QStringLiteral("2024-05-06 07:08:09");
const QByteArray Bom = "\xEF\xBB\xBF";

// The edits of an update, in the updater's order.
QByteArray updated(const QByteArray &content)
{
    IniFile ini(content);
    const bool edited = ini.setValue(QStringLiteral("App"), QStringLiteral("Version"), Version) &&
                        ini.remove(QStringLiteral("Update"), QStringLiteral("LastPromptTime")) &&
                        ini.remove(QStringLiteral("Update"), QStringLiteral("LastCheckTime")) &&
                        ini.setValue(QStringLiteral("Update"), QStringLiteral("LastUpdateTime"), Stamp) &&
                        ini.setValue(QStringLiteral("Update"), QStringLiteral("LastUpdateVersion"), Version);
    return edited ? ini.content() : QByteArrayLiteral("<refused>");
}

} // namespace

class IniFileTest final : public QObject
{
    Q_OBJECT

private slots:
    void update_data();
    void update();
    void swallowedEditRefused_data();
    void swallowedEditRefused();
    void valueReadBackByQSettings_data();
    void valueReadBackByQSettings();
    void keysAsQSettingsReadsThem_data();
    void keysAsQSettingsReadsThem();
};

void IniFileTest::update_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");

    const QByteArray added = "LastUpdateTime=2024-05-06 07:08:09\r\nLastUpdateVersion=2.0.1\r\n";
    QTest::newRow("BOM, comments, CRLF, raw values, spaces in keys")
        << QByteArray("\xEF\xBB\xBF; Quillon settings\r\n[App]\r\nVersion=1.0.0\r\n"
                      "InstallDir=C:\\Program Files\\Quillon\r\nDisplay Name=\xE8\xBF\x9C\xE7\xA8\x8B\r\n\r\n"
                      "[Update]\r\nLastCheckTime=2024-01-01 09:00:00 ; checked\r\nChannel=stable\r\n"
                      "LastPromptTime=x\r\n\r\n[Network]\r\nProxy=none\r\n")
        << QByteArray("\xEF\xBB\xBF; Quillon settings\r\n[App]\r\nVersion=2.0.1\r\n"
                      "InstallDir=C:\\Program Files\\Quillon\r\nDisplay Name=\xE8\xBF\x9C\xE7\xA8\x8B\r\n\r\n"
                      "[Update]\r\nChannel=stable\r\n" +
                      added + "\r\n[Network]\r\nProxy=none\r\n");
    QTest::newRow("empty file: sections added, Windows line ends")
        << QByteArray() << QByteArray("[App]\r\nVersion=2.0.1\r\n[Update]\r\n" + added);
    QTest::newRow("LF, sections missing")
        << QByteArray("Theme=dark\n")
        << QByteArray("Theme=dark\n[App]\nVersion=2.0.1\n[Update]\nLastUpdateTime=2024-05-06 07:08:09\n"
                      "LastUpdateVersion=2.0.1\n");
    QTest::newRow("no line end at the end")
        << QByteArray("[App]\nVersion=1")
        << QByteArray("[App]\nVersion=2.0.1\n[Update]\nLastUpdateTime=2024-05-06 "
                      "07:08:09\nLastUpdateVersion=2.0.1\n");
    QTest::newRow("letter case, blanks and a comment around the value")
        << QByteArray("[app]\n  version = 1.0 ;old\n[UPDATE]\n")
        << QByteArray("[app]\n  version = 2.0.1 ;old\n[UPDATE]\nLastUpdateTime=2024-05-06 07:08:09\n"
                      "LastUpdateVersion=2.0.1\n");
    QTest::newRow("every occurrence, values over several lines")
        << QByteArray("[App]\nVersion=1\\\n.0\n[Update]\nLastCheckTime=\"a\nb\"\n[App]\nVersion=1.1\n")
        << QByteArray("[App]\nVersion=2.0.1\n[Update]\nLastUpdateTime=2024-05-06 07:08:09\n"
                      "LastUpdateVersion=2.0.1\n[App]\nVersion=2.0.1\n");
    QTest::newRow("BOM right before the first section")
        << QByteArray("\xEF\xBB\xBF[Update]\r\nLastCheckTime=x\r\nChannel=beta\r\n[App]\r\nVersion=1.0\r\n")
        << QByteArray("\xEF\xBB\xBF[Update]\r\nChannel=beta\r\n" + added + "[App]\r\nVersion=2.0.1\r\n");
    QTest::newRow("BOM and nothing else")
        << QByteArray("\xEF\xBB\xBF")
        << QByteArray("\xEF\xBB\xBF[App]\r\nVersion=2.0.1\r\n[Update]\r\n" + added);
    QTest::newRow("section name and keys escaped")
        << QByteArray("[%41pp]\nVers%69on=1\n;[Update] commented out\n")
        << QByteArray("[%41pp]\nVers%69on=2.0.1\n;[Update] commented out\n[Update]\n"
                      "LastUpdateTime=2024-05-06 07:08:09\nLastUpdateVersion=2.0.1\n");
}

void IniFileTest::update()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QCOMPARE(updated(before), after);
    // A second update changes nothing more.
    QCOMPARE(updated(after), after);
}

void IniFileTest::swallowedEditRefused_data()
{
    QTest::addColumn<QByteArray>("content");

    // QSettings would read whatever is appended as part of the last value.
    QTest::newRow("ends inside a quoted value") << QByteArray("[Other]\nNote=\"open");
    QTest::newRow("ends with a continued line") << QByteArray("[Other]\nNote=a\\");
    QTest::newRow("section header with an open quote") << QByteArray("[Other\"");
}

void IniFileTest::swallowedEditRefused()
{
    QFETCH(QByteArray, content);
    IniFile ini(content);
    QVERIFY(!ini.setValue(QStringLiteral("App"), QStringLiteral("Version"), Version));
    QCOMPARE(ini.content(), content);
    QVERIFY(ini.remove(QStringLiteral("App"), QStringLiteral("Version")));
    QCOMPARE(ini.content(), content);
}

void IniFileTest::valueReadBackByQSettings_data()
{
    QTest::addColumn<QString>("value");

    QTest::newRow("plain version") << Version;
    QTest::newRow("time") << Stamp;
    QTest::newRow("comma: not a list") << QStringLiteral("1,2");
    QTest::newRow("semicolon: not a comment") << QStringLiteral("2.0;beta");
    QTest::newRow("equals sign") << QStringLiteral("a=b");
    QTest::newRow("blanks around") << QStringLiteral("  2.0  ");
    QTest::newRow("leading @: not a typed value") << QStringLiteral("@Variant(x)");
    QTest::newRow("quotes and backslashes") << QStringLiteral("\"C:\\Program Files\\\"");
    QTest::newRow("non-ASCII, then a hex digit") << QStringLiteral("版本a1");
    QTest::newRow("outside the BMP") << QStringLiteral("v\U0001F600");
    QTest::newRow("control characters, then a digit") << QString::fromLatin1("a\t\n\r\0"
                                                                             "7",
                                                                             6);
}

void IniFileTest::valueReadBackByQSettings()
{
    QFETCH(QString, value);
    QTemporaryDir scratch;
    const QString path = scratch.filePath(QStringLiteral("config.ini"));
    IniFile ini(QByteArray("[App]\nOther=1\n"));
    QVERIFY(ini.setValue(QStringLiteral("App"), QStringLiteral("Version"), value));
    writeFile(path, ini.content());

    QSettings settings(path, QSettings::IniFormat);
    QCOMPARE(settings.value(QStringLiteral("App/Version")).toString(), value);
    QCOMPARE(settings.value(QStringLiteral("App/Other")).toString(), QStringLiteral("1"));
}

// Around a byte-order mark, the key is found and removed exactly when Qt's own reader sees it, and the
// removal leaves every other key as Qt read it.
void IniFileTest::keysAsQSettingsReadsThem_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("settingsKey");

    QTest::newRow("no BOM") << QByteArray("[App]\nVersion=1\n") << QStringLiteral("App/Version");
    QTest::newRow("BOM, then the first section") << Bom + "[App]\nVersion=1\n[Update]\nChannel=beta\n"
                                                 << QStringLiteral("App/Version");
    QTest::newRow("BOM, blanks, then the first section") << Bom + " \t[App]\r\nVersion=1\r\n"
                                                         << QStringLiteral("App/Version");
    QTest::newRow("BOM, then a line break") << Bom + "\r\n[App]\r\nVersion=1\r\n"
                                            << QStringLiteral("App/Version");
    QTest::newRow("BOM, then a comment") << Bom + ";x\nVersion=1\nOther=2\n" << QStringLiteral("Version");
    QTest::newRow("BOM on the key's line: part of its name") << Bom + "Version=1\n[App]\nVersion=2\n"
                                                             << QStringLiteral("Version");
    QTest::newRow("BOM and blanks on the key's line") << Bom + "  Version=1\nOther=2\n"
                                                      << QStringLiteral("Version");
    QTest::newRow("BOM-named key on the mark's line, removed") << Bom + "Version=1\nOther=2\n"
                                                               << QString::fromLatin1(Bom + "Version");
    QTest::newRow("two BOMs: the second hides the section") << Bom + Bom + "[App]\nVersion=1\n"
                                                            << QStringLiteral("App/Version");
}

void IniFileTest::keysAsQSettingsReadsThem()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, settingsKey);
    QTemporaryDir scratch;
    const QString path = scratch.filePath(QStringLiteral("config.ini"));
    const auto readBack = [&path](const QByteArray &bytes) {
        writeFile(path, bytes);
        QSettings settings(path, QSettings::IniFormat);
        QVariantMap values;
        for (const QString &key : settings.allKeys())
            values.insert(key, settings.value(key));
        return values;
    };
    QVariantMap expected = readBack(content);
    const QString section =
        settingsKey.contains(QLatin1Char('/')) ? settingsKey.section(QLatin1Char('/'), 0, 0) : QString();
    const QString key = settingsKey.section(QLatin1Char('/'), -1);

    IniFile ini(content);
    QCOMPARE(ini.rawValue(section, key), expected.value(settingsKey).toString());
    QVERIFY(ini.remove(section, key));
    expected.remove(settingsKey);
    QCOMPARE(readBack(ini.content()), expected);
    QCOMPARE(ini.content().startsWith(Bom), content.startsWith(Bom));
}

QTEST_GUILESS_MAIN(IniFileTest)
#include "tst_inifile.moc"
