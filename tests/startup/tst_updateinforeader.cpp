#include "MessageLog.h"
#include "TestFiles.h"
#include "UpdateInfoReader.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <memory>

#include <unistd.h>

namespace {

enum class InfoSetup
{
    WriteFile,   // the information file holds the row's content
    NoFile,      // nothing at the path
    Folder,      // a folder where the file is expected
    ParentIsFile // the path's parent is a regular file
};

// Where -i leads, started as root for the user nobody (as pkexec does).
enum class InfoPlace
{
    Outside,          // beside the test's temporary folder, not inside it
    LinkToOutside,    // a link in the temporary folder to a file outside
    RootsInTemp,      // root's file in the temporary folder
    CallersInTemp,    // the caller's file in the temporary folder
    CallersLinkInTemp // the caller's link in the temporary folder to the caller's file there
};

constexpr uid_t Caller = 65534;

// The main program lives where paths are awkward: spaces, quotes and non-Latin letters.
const QString ProductFolderName = QStringLiteral("Quillon 远程 \"beta\"");
const QByteArray ValidFields =
    R"("app_path":"%MAIN%","new_version":"2.0.1","download_url":"http://127.0.0.1:8080/u.zip")";

QByteArray object(const QByteArray &members)
{
    return '{' + members + '}';
}

QByteArray jsonEscaped(const QString &text)
{
    return text.toUtf8().replace('\\', "\\\\").replace('"', "\\\"");
}

// How QDebug writes a quoted string value.
QString logQuoted(const QString &text)
{
    return QLatin1Char('"') + QString(text).replace('\\', "\\\\").replace('"', "\\\"") + QLatin1Char('"');
}

QByteArray nested(int depth)
{
    return QByteArray(depth, '[') + QByteArray(depth, ']');
}

// A folder in neither temporary folder: beside the test's own, unless the checkout itself lies in the
// system's temporary folder (a clone under /tmp), then /var/tmp, which no updater takes for a temporary
// folder.
QString outsideTemporaryFolders()
{
    const QString besideTests = QFileInfo(QDir::tempPath()).absolutePath();
    const QString systemTemp = QFileInfo(QStringLiteral("/tmp")).canonicalFilePath();
    const bool inSystemTemp =
        QFileInfo(besideTests).canonicalFilePath().startsWith(systemTemp + QLatin1Char('/'));
    return inSystemTemp ? QStringLiteral("/var/tmp") : besideTests;
}

} // namespace

Q_DECLARE_METATYPE(InfoSetup)
Q_DECLARE_METATYPE(InfoPlace)

class UpdateInfoReaderTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rejections_data();
    void rejections();
    void acceptedInformation_data();
    void acceptedInformation();
    void largeFile_data();
    void largeFile();
    void relativeInfoPathUsesStartDirectoryAndArmsCompanionRemoval();
    void infoFileRemoval_data();
    void infoFileRemoval();
    void relativeAppPathUsesUpdaterFolder_data();
    void relativeAppPathUsesUpdaterFolder();

private:
    QString infoPath(const QString &infoName) const { return m_dir->path() + QLatin1Char('/') + infoName; }
    QString mainProgram() const
    {
        return m_dir->path() + QLatin1Char('/') + ProductFolderName + "/Quillon.exe";
    }
    // The test's program-data root, with a main program in it.
    static QString programData()
    {
        return QFileInfo(qEnvironmentVariable("PROGRAMDATA")).canonicalFilePath();
    }
    QByteArray withPaths(QByteArray content) const;
    QString withPaths(QString text, const QString &info) const;
    void prepare(InfoSetup setup, const QString &path, const QByteArray &content) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_startDirectory;
};

void UpdateInfoReaderTest::init()
{
    m_startDirectory = QDir::currentPath();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    writeFile(mainProgram(), {});
    QVERIFY(QFile::link(QStringLiteral("/usr/bin/env"), m_dir->filePath(QStringLiteral("env-link"))));
    QVERIFY(QFile::link(mainProgram(), m_dir->filePath(QStringLiteral("main-link.exe"))));
}

void UpdateInfoReaderTest::cleanup()
{
    qunsetenv("PKEXEC_UID");
    QDir::setCurrent(m_startDirectory);
    m_dir.reset();
}

QByteArray UpdateInfoReaderTest::withPaths(QByteArray content) const
{
    return content.replace("%MAIN%", jsonEscaped(mainProgram()))
        .replace("%DIR%", jsonEscaped(m_dir->path()))
        .replace("%PROGRAMDATA%", jsonEscaped(programData()));
}

QString UpdateInfoReaderTest::withPaths(QString text, const QString &info) const
{
    return text.replace("%INFO%", info)
        .replace("%MAIN%", mainProgram())
        .replace("%DIR%", m_dir->path())
        .replace("%PROGRAMDATA%", programData());
}

void UpdateInfoReaderTest::prepare(InfoSetup setup, const QString &path, const QByteArray &content) const
{
    if (setup == InfoSetup::Folder)
        QVERIFY(QDir().mkpath(path));
    if (setup == InfoSetup::WriteFile || setup == InfoSetup::ParentIsFile)
        writeFile(setup == InfoSetup::ParentIsFile ? QFileInfo(path).path() : path, withPaths(content));
}

void UpdateInfoReaderTest::rejections_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<InfoSetup>("setup");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expectedLog");
    QTest::addColumn<bool>("infoKept");

    const QStringList withInfo = {"-i", "%INFO%"};
    const QString cannotRead = QStringLiteral("无法读取JSON文件: ");
    const QString malformed = QStringLiteral("JSON格式不正确");
    const QString incomplete = QStringLiteral("参数不完整");
    const QString missingMain = QStringLiteral("主程序不存在: ");

    QTest::newRow("-i missing") << QStringList{"-m", "manual"} << InfoSetup::WriteFile << object(ValidFields)
                                << QStringLiteral("错误：必须通过 -i 参数传递JSON文件") << true;
    QTest::newRow("-i with an empty value")
        << QStringList{"-i", ""} << InfoSetup::NoFile << QByteArray() << cannotRead + logQuoted("") << true;
    QTest::newRow("file missing") << withInfo << InfoSetup::NoFile << QByteArray()
                                  << cannotRead + logQuoted("%INFO%") << true;
    QTest::newRow("folder instead of a file")
        << withInfo << InfoSetup::Folder << QByteArray() << cannotRead + logQuoted("%INFO%") << true;
    QTest::newRow("parent is a regular file")
        << withInfo << InfoSetup::ParentIsFile << QByteArray("x") << cannotRead + logQuoted("%INFO%") << true;
    QTest::newRow("not JSON") << withInfo << InfoSetup::WriteFile << QByteArray("app_path=C:/q.exe")
                              << malformed << false;
    QTest::newRow("empty file") << withInfo << InfoSetup::WriteFile << QByteArray() << malformed << false;
    QTest::newRow("top level is an array")
        << withInfo << InfoSetup::WriteFile << '[' + object(ValidFields) + ']' << malformed << false;
    QTest::newRow("top level is a string")
        << withInfo << InfoSetup::WriteFile << QByteArray("\"x\"") << malformed << false;
    QTest::newRow("object cut short")
        << withInfo << InfoSetup::WriteFile << object(ValidFields).chopped(1) << malformed << false;
    QTest::newRow("not UTF-8") << withInfo << InfoSetup::WriteFile
                               << object(ValidFields + ",\"memo\":\"caf\xe9\"") << malformed << false;
    const QString utf16 = QString::fromUtf8(object(ValidFields));
    QTest::newRow("UTF-16") << withInfo << InfoSetup::WriteFile
                            << QByteArray(reinterpret_cast<const char *>(utf16.utf16()), utf16.size() * 2)
                            << malformed << false;
    QTest::newRow("nested deeper than the parser allows")
        << withInfo << InfoSetup::WriteFile << object(ValidFields + ",\"x\":" + nested(5000)) << malformed
        << false;
    QTest::newRow("number as new_version")
        << withInfo << InfoSetup::WriteFile
        << QByteArray(R"({"app_path":"%MAIN%","new_version":2.1,"download_url":"u"})") << incomplete << false;
    QTest::newRow("empty app_path") << withInfo << InfoSetup::WriteFile
                                    << QByteArray(R"({"app_path":"","new_version":"2","download_url":"u"})")
                                    << incomplete << false;
    QTest::newRow("download_url missing")
        << withInfo << InfoSetup::WriteFile
        << QByteArray(R"({"app_path":"%MAIN%","new_version":"2","memo":"m"})") << incomplete << false;
    QTest::newRow("values of other types")
        << withInfo << InfoSetup::WriteFile
        << QByteArray(R"({"app_path":["%MAIN%"],"new_version":true,"download_url":{}})") << incomplete
        << false;
    QTest::newRow("null new_version")
        << withInfo << InfoSetup::WriteFile
        << QByteArray(R"({"app_path":"%MAIN%","new_version":null,"download_url":"u"})") << incomplete
        << false;
    // The version is written into config.ini: a line break would add a line there.
    QTest::newRow("line break in new_version")
        << withInfo << InfoSetup::WriteFile
        << QByteArray(R"({"app_path":"%MAIN%","new_version":"2.0\n[App]","download_url":"u"})") << incomplete
        << false;
    QTest::newRow("control character in new_version")
        << withInfo << InfoSetup::WriteFile
        << QByteArray(R"({"app_path":"%MAIN%","new_version":"2.0\u0007","download_url":"u"})") << incomplete
        << false;
    QTest::newRow("line separator in new_version")
        << withInfo << InfoSetup::WriteFile
        << QByteArray(R"({"app_path":"%MAIN%","new_version":"2.0\u2028x","download_url":"u"})") << incomplete
        << false;
    QTest::newRow("main program missing")
        << withInfo << InfoSetup::WriteFile
        << QByteArray(R"({"app_path":"%DIR%/gone.exe","new_version":"2","download_url":"u"})")
        << missingMain + logQuoted("%DIR%/gone.exe") << false;
    QTest::newRow("app_path is a folder")
        << withInfo << InfoSetup::WriteFile
        << QByteArray(R"({"app_path":"%DIR%","new_version":"2","download_url":"u"})")
        << missingMain + logQuoted("%DIR%") << false;
    const QString badTrial = QStringLiteral("trial_seconds 无效（应为 0 到 600 的整数）");
    for (const char *trial :
         {"601", "-1", "1.5", "\"60s\"", "\"\"", "\"-5\"", "true", "null", "\"99999999999\""}) {
        QTest::newRow(qPrintable(QStringLiteral("trial_seconds ") + QLatin1String(trial)))
            << withInfo << InfoSetup::WriteFile << object(ValidFields + ",\"trial_seconds\":" + trial)
            << badTrial << false;
    }
    const QString systemFolder = QStringLiteral("程序文件夹是系统文件夹，拒绝更新: ");
    QTest::newRow("program in /usr/bin")
        << withInfo << InfoSetup::WriteFile
        << QByteArray(R"({"app_path":"/usr/bin/env","new_version":"2","download_url":"u"})")
        << systemFolder + logQuoted("/usr/bin") << false;
    QTest::newRow("link to a program in /usr/bin")
        << withInfo << InfoSetup::WriteFile
        << QByteArray(R"({"app_path":"%DIR%/env-link","new_version":"2","download_url":"u"})")
        << systemFolder + logQuoted("/usr/bin") << false;
    QTest::newRow("program in /etc")
        << withInfo << InfoSetup::WriteFile
        << QByteArray(R"({"app_path":"/etc/passwd","new_version":"2","download_url":"u"})")
        << systemFolder + logQuoted("/etc") << false;
    QTest::newRow("program directly in the program-data root")
        << withInfo << InfoSetup::WriteFile
        << QByteArray(R"({"app_path":"%PROGRAMDATA%/Quillon.exe","new_version":"2","download_url":"u"})")
        << systemFolder + logQuoted("%PROGRAMDATA%") << false;
}

void UpdateInfoReaderTest::rejections()
{
    QFETCH(QStringList, arguments);
    QFETCH(InfoSetup, setup);
    QFETCH(QByteArray, content);
    QFETCH(QString, expectedLog);
    QFETCH(bool, infoKept);

    const QString info = infoPath(setup == InfoSetup::ParentIsFile ? "plain/info.json" : "info.json");
    prepare(setup, info, content);
    writeFile(programData() + QStringLiteral("/Quillon.exe"), {});
    const bool existedBefore = QFileInfo::exists(info);
    arguments.replaceInStrings("%INFO%", info).prepend(QStringLiteral("FarlinkUpdater"));

    const MessageLog log;
    QVERIFY(!startup::readUpdateInfo(arguments));
    QCOMPARE(log.of(QtCriticalMsg), QStringList{withPaths(expectedLog, info)});
    QCOMPARE(QFileInfo::exists(info), infoKept && existedBefore);
}

void UpdateInfoReaderTest::acceptedInformation_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("infoName");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("expected"); // version, url, mode, memo, sha256, signature, trial seconds

    const QStringList withInfo = {"-i", "%INFO%"};
    const QString url = QStringLiteral("http://127.0.0.1:8080/u.zip");
    const QStringList plain = {"2.0.1", url, "auto", "notes", "", "", "60"};
    const QByteArray withMemo = object(ValidFields + R"(,"memo":"notes")");

    QTest::newRow("mode defaults to auto") << withInfo << "info.json" << withMemo << plain;
    QTest::newRow("mode in upper case passes unchanged")
        << QStringList{"-i", "%INFO%", "-m", "MANUAL"} << "info.json" << withMemo
        << QStringList{"2.0.1", url, "MANUAL", "notes", "", "", "60"};
    QTest::newRow("long options") << QStringList{"--info=%INFO%", "--mode=manual"} << "info.json" << withMemo
                                  << QStringList{"2.0.1", url, "manual", "notes", "", "", "60"};
    QTest::newRow("memo missing") << withInfo << "info.json" << object(ValidFields)
                                  << QStringList{"2.0.1", url, "auto", "", "", "", "60"};
    QTest::newRow("sha256 and signature passed on, other keys ignored")
        << withInfo << "info.json"
        << object(ValidFields + R"(,"memo":"notes","sha256":"AB12","signature":"c2ln","extra":[1,{}])")
        << QStringList{"2.0.1", url, "auto", "notes", "AB12", "c2ln", "60"};
    QTest::newRow("app_path through a link: its real path")
        << withInfo << "info.json"
        << object(R"("app_path":"%DIR%/main-link.exe","new_version":"2.0.1","download_url":")" +
                  url.toUtf8() + R"(","memo":"notes")")
        << plain;
    for (const char *trial : {"0", "\"0\"", "600", "\"0600\"", "2.0"}) {
        QStringList expected = plain;
        expected.last() = QString::number(QByteArray(trial).replace('"', "").toDouble());
        QTest::newRow(qPrintable(QStringLiteral("trial_seconds ") + QLatin1String(trial)))
            << withInfo << "info.json" << object(ValidFields + R"(,"memo":"notes","trial_seconds":)" + trial)
            << expected;
    }
    QTest::newRow("UTF-8 byte order mark") << withInfo << "info.json"
                                           << "\xEF\xBB\xBF" + withMemo << plain;
    QTest::newRow("duplicated key, last value wins")
        << withInfo << "info.json" << object(ValidFields + R"(,"memo":{"a":[1]},"memo":"notes")") << plain;
    QTest::newRow("deep nesting the parser allows")
        << withInfo << "info.json" << object(ValidFields + R"(,"memo":"notes","x":)" + nested(500)) << plain;
    QTest::newRow("non-Latin values and info file name")
        << withInfo << QStringLiteral("更新 \"信息\" 1.json")
        << object(ValidFields + R"(,"memo":"新功能\n修复 \"问题\"")")
        << QStringList{"2.0.1", url, "auto", QStringLiteral("新功能\n修复 \"问题\""), "", "", "60"};
}

void UpdateInfoReaderTest::acceptedInformation()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, infoName);
    QFETCH(QByteArray, content);
    QFETCH(QStringList, expected);

    const QString info = infoPath(infoName);
    prepare(InfoSetup::WriteFile, info, content);
    arguments.replaceInStrings("%INFO%", info).prepend(QStringLiteral("FarlinkUpdater"));

    const MessageLog log;
    const std::optional<UpdateInfo> result = startup::readUpdateInfo(arguments);
    QCOMPARE(log.of(QtCriticalMsg), QStringList());
    QVERIFY(result);
    QCOMPARE(result->appPath, mainProgram());
    QCOMPARE((QStringList{result->newVersion, result->downloadUrl, result->mode, result->memo, result->sha256,
                          result->signature, QString::number(result->trialSeconds)}),
             expected);
    QVERIFY(!QFileInfo::exists(info));
    QCOMPARE(QDir::currentPath(), QCoreApplication::applicationDirPath());
}

void UpdateInfoReaderTest::largeFile_data()
{
    QTest::addColumn<bool>("complete");
    QTest::newRow("50 MB of notes") << true;
    QTest::newRow("50 MB array never closed") << false;
}

// Must finish and decide; how long it takes is a matter for benchmarks.
void UpdateInfoReaderTest::largeFile()
{
    QFETCH(bool, complete);
    const int size = 50 * 1024 * 1024;
    const QByteArray content = complete ? object(ValidFields + ",\"memo\":\"" + QByteArray(size, 'a') + '"')
                                        : '[' + QByteArray("1,").repeated(size / 2);
    const QString info = infoPath("info.json");
    prepare(InfoSetup::WriteFile, info, content);

    const MessageLog log;
    const std::optional<UpdateInfo> result = startup::readUpdateInfo({"FarlinkUpdater", "-i", info});
    QCOMPARE(bool(result), complete);
    if (result)
        QCOMPARE(result->memo.size(), size);
    QCOMPARE(log.of(QtCriticalMsg).size(), complete ? 0 : 1);
    QVERIFY(!QFileInfo::exists(info));
}

void UpdateInfoReaderTest::relativeInfoPathUsesStartDirectoryAndArmsCompanionRemoval()
{
    QVERIFY(QDir::setCurrent(m_dir->path()));
    prepare(InfoSetup::WriteFile, infoPath("Info.JSON"), object(ValidFields));
    const QString companion = infoPath("Info");
    QVERIFY(QDir().mkpath(companion + "/sub"));

    const MessageLog log;
    QVERIFY(startup::readUpdateInfo({"FarlinkUpdater", "-i", "Info.JSON"}));
    QVERIFY(!QFileInfo::exists(infoPath("Info.JSON")));
    QTest::qWait(1500);
    QVERIFY2(QFileInfo::exists(companion), "removed before its two seconds");
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(companion), 4000);
    QCOMPARE(log.of(QtDebugMsg), QStringList{"good"});
}

void UpdateInfoReaderTest::infoFileRemoval_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<InfoPlace>("place");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("keptLog"); // empty: the file is deleted

    const QString outside = QStringLiteral("更新信息文件不在临时目录中，保留该文件及其伴随文件夹: ");
    const QString notCallers =
        QStringLiteral("更新信息文件不是调用者本人的普通文件，保留该文件及其伴随文件夹: ");
    QTest::newRow("outside the temporary folders")
        << object(ValidFields) << InfoPlace::Outside << true << outside;
    QTest::newRow("outside, named through a link in the temporary folder")
        << object(ValidFields) << InfoPlace::LinkToOutside << true << outside;
    QTest::newRow("outside, not JSON")
        << QByteArray("app_path=C:/q.exe") << InfoPlace::Outside << false << outside;
    QTest::newRow("root's file in the temporary folder")
        << object(ValidFields) << InfoPlace::RootsInTemp << true << notCallers;
    QTest::newRow("root's file in the temporary folder, not JSON")
        << QByteArray("app_path=C:/q.exe") << InfoPlace::RootsInTemp << false << notCallers;
    QTest::newRow("the caller's file in the temporary folder")
        << object(ValidFields) << InfoPlace::CallersInTemp << true << QString();
    QTest::newRow("the caller's link to the caller's file in the temporary folder")
        << object(ValidFields) << InfoPlace::CallersLinkInTemp << true << notCallers;
}

void UpdateInfoReaderTest::infoFileRemoval()
{
    QFETCH(QByteArray, content);
    QFETCH(InfoPlace, place);
    QFETCH(bool, accepted);
    QFETCH(QString, keptLog);

    QTemporaryDir outside(outsideTemporaryFolders() + QStringLiteral("/outside-temp-XXXXXX"));
    QVERIFY(outside.isValid());
    const bool inTemp = place != InfoPlace::Outside && place != InfoPlace::LinkToOutside;
    const QDir folder(inTemp ? m_dir->path() : outside.path());
    const QString info = folder.filePath(QStringLiteral("info.json"));
    const QString companion = folder.filePath(QStringLiteral("info"));
    writeFile(info, withPaths(content));
    QVERIFY(QDir().mkpath(companion + QStringLiteral("/keep")));
    const bool throughLink = place == InfoPlace::LinkToOutside || place == InfoPlace::CallersLinkInTemp;
    const QString named = throughLink ? infoPath(QStringLiteral("link.json")) : info;
    QVERIFY(!throughLink || QFile::link(info, named));
    const uid_t owner = place == InfoPlace::RootsInTemp ? 0 : Caller;
    for (const QString &path : {info, named, companion})
        QCOMPARE(lchown(QFile::encodeName(path).constData(), owner, owner), 0);
    qputenv("PKEXEC_UID", QByteArray::number(Caller));

    const MessageLog log;
    QCOMPARE(bool(startup::readUpdateInfo({"FarlinkUpdater", "-i", named})), accepted);
    if (keptLog.isEmpty()) {
        QCOMPARE(log.of(QtWarningMsg), QStringList());
        QVERIFY(!entryExists(info));
        return;
    }
    QCOMPARE(log.startingWith(keptLog).size(), 1);
    QCOMPARE(readFile(info), withPaths(content));
    QVERIFY(entryExists(named));
    if (accepted) {
        QTest::qWait(2500);
        QVERIFY(QFileInfo::exists(companion + QStringLiteral("/keep")));
    }
}

void UpdateInfoReaderTest::relativeAppPathUsesUpdaterFolder_data()
{
    QTest::addColumn<bool>("inUpdaterFolder");
    QTest::newRow("main program beside the updater") << true;
    QTest::newRow("main program only in the start directory") << false;
}

void UpdateInfoReaderTest::relativeAppPathUsesUpdaterFolder()
{
    QFETCH(bool, inUpdaterFolder);
    const QString folder = inUpdaterFolder ? QCoreApplication::applicationDirPath() : m_dir->path();
    QTemporaryFile main(folder + "/relative-main-XXXXXX.exe");
    QVERIFY(main.open());
    const QString relative = QFileInfo(main.fileName()).fileName();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    prepare(InfoSetup::WriteFile, infoPath("info.json"),
            object(R"("app_path":")" + relative.toUtf8() + R"(","new_version":"2","download_url":"u")"));

    const MessageLog log;
    const std::optional<UpdateInfo> result = startup::readUpdateInfo({"FarlinkUpdater", "-i", "info.json"});
    QCOMPARE(bool(result), inUpdaterFolder);
    if (result)
        QCOMPARE(result->appPath, QFileInfo(main.fileName()).canonicalFilePath());
    else
        QCOMPARE(log.of(QtCriticalMsg),
                 QStringList{QStringLiteral("主程序不存在: ") +
                             logQuoted(QFileInfo(QCoreApplication::applicationDirPath()).canonicalFilePath() +
                                       QLatin1Char('/') + relative)});
}

QTEST_GUILESS_MAIN(UpdateInfoReaderTest)
#include "tst_updateinforeader.moc"
