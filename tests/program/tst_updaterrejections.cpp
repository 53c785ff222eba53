// The executable refuses a bad command line or update-information file the way the product sees it:
// exit code 1 at once, a critical log line, no window, and nothing lost but the file it was handed.

#include "TestFiles.h"
#include "UpdaterRun.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

enum class InfoKind
{
    NoOption,  // -i not given; a valid file lies beside it all the same
    Absent,    // -i names nothing
    Folder,    // -i names a folder
    BelowFile, // -i names a path whose parent is a regular file
    File,      // -i names a file with the row's content
    Relative,  // as File, with -i relative to the folder the updater is started in
};

constexpr int PromptExitMs = 10000;
const QString InfoName = QStringLiteral("info.json");
const QString MainProgramName = QStringLiteral("Quillon.exe");

QByteArray infoJson(const QByteArray &appPath, const QByteArray &version, const QByteArray &url)
{
    return "{\"app_path\": " + appPath + ", \"new_version\": " + version + ", \"download_url\": " + url +
           ", \"memo\": \"notes\"}";
}

QByteArray validInfo()
{
    return infoJson("\"%APP%\"", "\"2.0.0\"", "\"http://127.0.0.1:9/update.zip\"");
}

} // namespace

Q_DECLARE_METATYPE(InfoKind)

class UpdaterRejections : public QObject
{
    Q_OBJECT

private slots:
    void rejectsBadInformation_data();
    void rejectsBadInformation();
};

void UpdaterRejections::rejectsBadInformation_data()
{
    QTest::addColumn<InfoKind>("kind");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expectedLog");
    QTest::addColumn<QString>("loggedPath");
    QTest::addColumn<bool>("infoStays");

    const QString noOption = QStringLiteral("错误：必须通过 -i 参数传递JSON文件");
    const QString unreadable = QStringLiteral("无法读取JSON文件:");
    const QString malformed = QStringLiteral("JSON格式不正确");
    const QString incomplete = QStringLiteral("参数不完整");
    const QString noProgram = QStringLiteral("主程序不存在:");
    const QString info = QStringLiteral("%DIR%/info.json");

    QTest::newRow("-i missing") << InfoKind::NoOption << validInfo() << noOption << QString() << true;
    QTest::newRow("file absent") << InfoKind::Absent << QByteArray() << unreadable << info << false;
    QTest::newRow("a folder") << InfoKind::Folder << QByteArray() << unreadable << info << true;
    QTest::newRow("parent is a file") << InfoKind::BelowFile << QByteArray() << unreadable
                                      << QStringLiteral("%DIR%/plain.txt/info.json") << false;
    QTest::newRow("not JSON") << InfoKind::File << QByteArray("app_path = %APP%") << malformed << QString()
                              << false;
    QTest::newRow("empty file") << InfoKind::File << QByteArray() << malformed << QString() << false;
    QTest::newRow("top level array") << InfoKind::File << "[" + validInfo() + "]" << malformed << QString()
                                     << false;
    QTest::newRow("trailing garbage")
        << InfoKind::File << validInfo() + "}" << malformed << QString() << false;
    QTest::newRow("relative path") << InfoKind::Relative << QByteArray("[]") << malformed << QString()
                                   << false;
    QTest::newRow("app_path missing")
        << InfoKind::File << QByteArray("{\"new_version\": \"2.0.0\", \"download_url\": \"http://x/\"}")
        << incomplete << QString() << false;
    QTest::newRow("app_path null") << InfoKind::File << infoJson("null", "\"2.0.0\"", "\"http://x/\"")
                                   << incomplete << QString() << false;
    QTest::newRow("version a number")
        << InfoKind::File << infoJson("\"%APP%\"", "2", "\"http://x/\"") << incomplete << QString() << false;
    QTest::newRow("download_url empty")
        << InfoKind::File << infoJson("\"%APP%\"", "\"2.0.0\"", "\"\"") << incomplete << QString() << false;
    QTest::newRow("main program absent")
        << InfoKind::File << infoJson("\"%DIR%/gone.exe\"", "\"2.0.0\"", "\"http://x/\"") << noProgram
        << QStringLiteral("%DIR%/gone.exe") << false;
    QTest::newRow("main program a folder")
        << InfoKind::File << infoJson("\"%DIR%/info\"", "\"2.0.0\"", "\"http://x/\"") << noProgram
        << QStringLiteral("%DIR%/info") << false;
}

void UpdaterRejections::rejectsBadInformation()
{
    QFETCH(InfoKind, kind);
    QFETCH(QByteArray, content);
    QFETCH(QString, expectedLog);
    QFETCH(QString, loggedPath);
    QFETCH(bool, infoStays);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString infoPath = dir.filePath(InfoName);
    const QString companion = dir.filePath(QStringLiteral("info"));
    QVERIFY(QDir().mkpath(companion + QStringLiteral("/keep")));
    const QString program = dir.filePath(MainProgramName);
    writeFile(program, {});
    content.replace("%APP%", QFile::encodeName(program)).replace("%DIR%", QFile::encodeName(dir.path()));
    loggedPath.replace(QStringLiteral("%DIR%"), dir.path());

    QStringList arguments = {QStringLiteral("-m"), QStringLiteral("manual")};
    if (kind == InfoKind::Folder) {
        QVERIFY(QDir().mkdir(infoPath));
    } else if (kind == InfoKind::NoOption || kind == InfoKind::File || kind == InfoKind::Relative) {
        writeFile(infoPath, content);
    }
    if (kind == InfoKind::BelowFile) {
        writeFile(dir.filePath(QStringLiteral("plain.txt")), {});
        arguments << QStringLiteral("-i") << loggedPath;
    } else if (kind == InfoKind::Relative) {
        arguments << QStringLiteral("--info") << InfoName;
    } else if (kind != InfoKind::NoOption) {
        arguments << QStringLiteral("-i") << infoPath;
    }

    UpdaterRun run;
    run.start(arguments, QProcessEnvironment::systemEnvironment(), dir.path());
    QVERIFY2(run.waitForExit(PromptExitMs), "the updater did not end at once: it must show no window");
    QCOMPARE(run.exitCode(), 1);
    const QString log = run.log();
    QVERIFY2(log.contains(expectedLog), qPrintable(log));
    QVERIFY2(log.contains(loggedPath), qPrintable(log));
    QCOMPARE(QFileInfo::exists(infoPath), infoStays);
    QVERIFY2(QFileInfo::exists(companion + QStringLiteral("/keep")),
             "the companion folder is removed only later");
    QVERIFY(QFileInfo::exists(program));
    QCOMPARE(workFolders(), QStringList());
}

QTEST_GUILESS_MAIN(UpdaterRejections)
#include "tst_updaterrejections.moc"
