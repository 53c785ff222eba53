// The executable refuses a bad command line or update-information file the way the product sees it:
// exit code 1 at once, a critical log line, no window, and nothing lost but the file it was handed.

#include "EngineConstants.h"
#include "InstallJournal.h"
#include "TestFiles.h"
#include "UpdaterRun.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

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

enum class LogFolder
{
    Fresh,          // no log folder yet
    HoldsOlderLogs, // OlderLogs files of earlier runs, and a file that is not a log
    Blocked,        // a file stands where the folder would be created
    UsersOwn,       // made in advance by the user nobody, open to all
    LinkElsewhere,  // the logs folder is a link to another folder
};

constexpr int PromptExitMs = 10000;
constexpr int OlderLogs = 25;
constexpr int KeptLogs = 20;
const QString NotALog = QStringLiteral("notes.txt");
const QString InfoName = QStringLiteral("info.json");
const QString MainProgramName = QStringLiteral("Quillon.exe");
// A copy of the main program in a folder that anyone may write to.
const QString OpenFolderName = QStringLiteral("open");
constexpr QFile::Permissions OpenToAll = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                         QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                         QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
constexpr QFile::Permissions OwnerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr uid_t Nobody = 65534;

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
Q_DECLARE_METATYPE(LogFolder)

class UpdaterRejections : public QObject
{
    Q_OBJECT

private slots:
    void rejectsBadInformation_data();
    void rejectsBadInformation();
    void recoverCommand_data();
    void recoverCommand();

private:
    static QString logRoot();
    static QString logsElsewhere();
    static void prepareLogFolder(LogFolder logFolder);
    static void verifyLogFolder(LogFolder logFolder, UpdaterRun &run, const QStringList &arguments,
                                const QString &expectedLog);
};

QString UpdaterRejections::logRoot()
{
    return qEnvironmentVariable("PROGRAMDATA") + QStringLiteral("/FarlinkUpdater");
}

QString UpdaterRejections::logsElsewhere()
{
    return qEnvironmentVariable("PROGRAMDATA") + QStringLiteral("/elsewhere");
}

void UpdaterRejections::prepareLogFolder(LogFolder logFolder)
{
    QFile::remove(logRoot());
    QVERIFY(QDir(logRoot()).removeRecursively() && QDir(logsElsewhere()).removeRecursively());
    const QString logs = logRoot() + QStringLiteral("/logs");
    if (logFolder == LogFolder::Blocked)
        writeFile(logRoot(), {});
    if (logFolder == LogFolder::UsersOwn) {
        QVERIFY(QDir().mkpath(logs));
        for (const QString &folder : {logRoot(), logs})
            QVERIFY(chown(QFile::encodeName(folder).constData(), Nobody, Nobody) == 0 &&
                    QFile::setPermissions(folder, OpenToAll));
    }
    if (logFolder == LogFolder::LinkElsewhere)
        QVERIFY(QDir().mkpath(logRoot()) && QFile::setPermissions(logRoot(), OwnerOnly) &&
                QDir().mkpath(logsElsewhere()) && QFile::link(logsElsewhere(), logs));
    if (logFolder != LogFolder::HoldsOlderLogs)
        return;
    for (int i = 0; i < OlderLogs; ++i)
        writeFile(logs + QStringLiteral("/updater-20200101-0000%1-1.log").arg(i, 2, 10, QLatin1Char('0')),
                  "old\n");
    writeFile(logs + QLatin1Char('/') + NotALog, {});
    // As the elevated copy makes them: closed to everyone else.
    QVERIFY(QFile::setPermissions(logRoot(), OwnerOnly) && QFile::setPermissions(logs, OwnerOnly));
}

void UpdaterRejections::verifyLogFolder(LogFolder logFolder, UpdaterRun &run, const QStringList &arguments,
                                        const QString &expectedLog)
{
    const QStringList lines = run.logFileLines();
    if (logFolder == LogFolder::Blocked || logFolder == LogFolder::UsersOwn ||
        logFolder == LogFolder::LinkElsewhere) {
        QCOMPARE(lines, QStringList());
        QVERIFY2(run.log().contains(QStringLiteral("无法写入日志文件:")), qPrintable(run.log()));
        QVERIFY(QDir(logsElsewhere()).isEmpty());
        return;
    }
    // Time stamp, level, text.
    const QRegularExpression entry(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[(\\w+)\\] (.*)$"));
    QVERIFY2(lines.size() >= 3, qPrintable(lines.join(QLatin1Char('\n'))));
    for (const QString &line : lines)
        QVERIFY2(entry.match(line).hasMatch(), qPrintable(line));
    QCOMPARE(entry.match(lines.at(0)).captured(2),
             QStringLiteral("FarlinkUpdater 版本: " FARLINK_EXPECTED_VERSION));
    QCOMPARE(entry.match(lines.at(1)).captured(2),
             QStringLiteral("命令行参数: ") + arguments.join(QLatin1Char(' ')));
    QCOMPARE(entry.match(lines.last()).captured(1), QStringLiteral("critical"));
    QVERIFY2(lines.last().contains(expectedLog), qPrintable(lines.last()));
    if (logFolder != LogFolder::HoldsOlderLogs)
        return;
    const QDir logs(logRoot() + QStringLiteral("/logs"));
    const QStringList kept = logs.entryList({QStringLiteral("updater-*.log")}, QDir::Files, QDir::Name);
    QCOMPARE(kept.size(), KeptLogs);
    QCOMPARE(kept.first(), QStringLiteral("updater-20200101-000006-1.log"));
    QVERIFY(logs.exists(NotALog));
}

void UpdaterRejections::rejectsBadInformation_data()
{
    QTest::addColumn<InfoKind>("kind");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expectedLog");
    QTest::addColumn<QString>("loggedPath");
    QTest::addColumn<bool>("infoStays");
    QTest::addColumn<LogFolder>("logFolder");

    const QString noOption = QStringLiteral("错误：必须通过 -i 参数传递JSON文件");
    const QString unreadable = QStringLiteral("无法读取JSON文件:");
    const QString malformed = QStringLiteral("JSON格式不正确");
    const QString incomplete = QStringLiteral("参数不完整");
    const QString noProgram = QStringLiteral("主程序不存在:");
    const QString info = QStringLiteral("%DIR%/info.json");

    QTest::newRow("-i missing") << InfoKind::NoOption << validInfo() << noOption << QString() << true
                                << LogFolder::Fresh;
    QTest::newRow("file absent") << InfoKind::Absent << QByteArray() << unreadable << info << false
                                 << LogFolder::Fresh;
    QTest::newRow("a folder") << InfoKind::Folder << QByteArray() << unreadable << info << true
                              << LogFolder::Fresh;
    QTest::newRow("parent is a file")
        << InfoKind::BelowFile << QByteArray() << unreadable << QStringLiteral("%DIR%/plain.txt/info.json")
        << false << LogFolder::Fresh;
    QTest::newRow("not JSON") << InfoKind::File << QByteArray("app_path = %APP%") << malformed << QString()
                              << false << LogFolder::Fresh;
    QTest::newRow("empty file") << InfoKind::File << QByteArray() << malformed << QString() << false
                                << LogFolder::Fresh;
    QTest::newRow("top level array") << InfoKind::File << "[" + validInfo() + "]" << malformed << QString()
                                     << false << LogFolder::Fresh;
    QTest::newRow("trailing garbage")
        << InfoKind::File << validInfo() + "}" << malformed << QString() << false << LogFolder::Fresh;
    QTest::newRow("relative path") << InfoKind::Relative << QByteArray("[]") << malformed << QString()
                                   << false << LogFolder::Fresh;
    QTest::newRow("app_path missing")
        << InfoKind::File << QByteArray("{\"new_version\": \"2.0.0\", \"download_url\": \"http://x/\"}")
        << incomplete << QString() << false << LogFolder::Fresh;
    QTest::newRow("app_path null") << InfoKind::File << infoJson("null", "\"2.0.0\"", "\"http://x/\"")
                                   << incomplete << QString() << false << LogFolder::Fresh;
    QTest::newRow("version a number") << InfoKind::File << infoJson("\"%APP%\"", "2", "\"http://x/\"")
                                      << incomplete << QString() << false << LogFolder::Fresh;
    QTest::newRow("download_url empty") << InfoKind::File << infoJson("\"%APP%\"", "\"2.0.0\"", "\"\"")
                                        << incomplete << QString() << false << LogFolder::Fresh;
    QTest::newRow("main program absent")
        << InfoKind::File << infoJson("\"%DIR%/gone.exe\"", "\"2.0.0\"", "\"http://x/\"") << noProgram
        << QStringLiteral("%DIR%/gone.exe") << false << LogFolder::Fresh;
    QTest::newRow("main program a folder")
        << InfoKind::File << infoJson("\"%DIR%/info\"", "\"2.0.0\"", "\"http://x/\"") << noProgram
        << QStringLiteral("%DIR%/info") << false << LogFolder::Fresh;
    QTest::newRow("main program in a folder anyone may write to")
        << InfoKind::File << infoJson("\"%DIR%/open/Quillon.exe\"", "\"2.0.0\"", "\"http://x/\"")
        << QStringLiteral("程序文件夹可被非管理员修改，拒绝更新:") << QStringLiteral("%DIR%/open") << false
        << LogFolder::Fresh;
    // Every entry stays one line of the log file, whatever a value holds.
    QTest::newRow("line break in app_path")
        << InfoKind::File
        << infoJson("\"%DIR%/gone\\nroot::0:0::/root:/bin/sh\"", "\"2.0.0\"", "\"http://x/\"") << noProgram
        << QStringLiteral("%DIR%/gone\\nroot::0:0::/root:/bin/sh") << false << LogFolder::Fresh;
    QTest::newRow("main program in a system folder")
        << InfoKind::File << infoJson("\"/usr/bin/env\"", "\"2.0.0\"", "\"http://x/\"")
        << QStringLiteral("程序文件夹是系统文件夹，拒绝更新:") << QStringLiteral("/usr/bin") << false
        << LogFolder::Fresh;
    // However the run ends, the log folder keeps the newest files only, and one that cannot be written
    // changes nothing else.
    QTest::newRow("-i missing, 25 older logs")
        << InfoKind::NoOption << validInfo() << noOption << QString() << true << LogFolder::HoldsOlderLogs;
    QTest::newRow("-i missing, log folder blocked")
        << InfoKind::NoOption << validInfo() << noOption << QString() << true << LogFolder::Blocked;
    // A log folder someone else made or can redirect is not written through.
    QTest::newRow("-i missing, log folder the user's own")
        << InfoKind::NoOption << validInfo() << noOption << QString() << true << LogFolder::UsersOwn;
    QTest::newRow("-i missing, log folder a link elsewhere")
        << InfoKind::NoOption << validInfo() << noOption << QString() << true << LogFolder::LinkElsewhere;
}

void UpdaterRejections::rejectsBadInformation()
{
    QFETCH(InfoKind, kind);
    QFETCH(QByteArray, content);
    QFETCH(QString, expectedLog);
    QFETCH(QString, loggedPath);
    QFETCH(bool, infoStays);
    QFETCH(LogFolder, logFolder);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString infoPath = dir.filePath(InfoName);
    const QString companion = dir.filePath(QStringLiteral("info"));
    QVERIFY(QDir().mkpath(companion + QStringLiteral("/keep")));
    const QString program = dir.filePath(MainProgramName);
    writeFile(program, {});
    writeFile(dir.filePath(OpenFolderName + QLatin1Char('/') + MainProgramName), {});
    QVERIFY(QFile::setPermissions(dir.filePath(OpenFolderName), OpenToAll));
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

    prepareLogFolder(logFolder);
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
    verifyLogFolder(logFolder, run, arguments, expectedLog);
    QFile::remove(logRoot());
}

// FarlinkUpdater --recover <main executable>: no window, and an exit code that says how it went.
void UpdaterRejections::recoverCommand_data()
{
    QTest::addColumn<QStringList>("arguments"); // %DIR%: the program folder
    QTest::addColumn<QByteArray>("journal");    // empty: none
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("backupStays");
    QTest::addColumn<bool>("openToAll"); // the program folder

    const QStringList recover{QStringLiteral("--recover"), QStringLiteral("%DIR%/Quillon.exe")};
    const QByteArray installed = R"({"format":1,"stage":"installed","backup":"_update_backup_1"})";
    QTest::newRow("no path") << QStringList{QStringLiteral("--recover")} << installed << 1 << true << false;
    QTest::newRow("empty path") << QStringList{QStringLiteral("--recover"), QString()} << installed << 1
                                << true << false;
    QTest::newRow("two paths") << (recover + QStringList{QStringLiteral("%DIR%/other.exe")}) << installed << 1
                               << true << false;
    QTest::newRow("no such folder") << QStringList{QStringLiteral("--recover"),
                                                   QStringLiteral("%DIR%/gone/Q.exe")}
                                    << installed << 1 << true << false;
    // A stray backup folder without a journal is not the updater's to remove.
    QTest::newRow("nothing to do") << recover << QByteArray() << 0 << true << false;
    QTest::newRow("completed") << recover << installed << 0 << false << false;
    // The main executable may be what the interruption took; the folder is what counts.
    QTest::newRow("main executable missing")
        << QStringList{QStringLiteral("--recover"), QStringLiteral("%DIR%/gone.exe")} << installed << 0
        << false << false;
    QTest::newRow("torn journal") << recover << installed.left(20) << 2 << true << false;
    // Anyone could have written that journal: nothing in the folder is touched.
    QTest::newRow("program folder anyone may write to") << recover << installed << 2 << true << true;
}

void UpdaterRejections::recoverCommand()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, journal);
    QFETCH(int, exitCode);
    QFETCH(bool, backupStays);
    QFETCH(bool, openToAll);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(!openToAll || QFile::setPermissions(dir.path(), OpenToAll));
    writeFile(dir.filePath(MainProgramName), "main");
    const QString backup = dir.filePath(QStringLiteral("_update_backup_1/Quillon.exe"));
    writeFile(backup, "main");
    const InstallJournal record(dir.path());
    if (!journal.isEmpty())
        writeFile(record.path(), journal);
    arguments.replaceInStrings(QStringLiteral("%DIR%"), dir.path());

    UpdaterRun run;
    run.start(arguments, QProcessEnvironment::systemEnvironment(), dir.path());
    QVERIFY2(run.waitForExit(PromptExitMs), "a recovery shows no window and ends by itself");
    QVERIFY2(run.exitCode() == exitCode, qPrintable(run.log()));
    QVERIFY(!openToAll || run.log().contains(QStringLiteral("程序文件夹可被非管理员修改，拒绝更新:")));
    QCOMPARE(QFileInfo::exists(backup), backupStays);
    QCOMPARE(record.exists(), !journal.isEmpty() && exitCode != 0);
    QCOMPARE(readFile(dir.filePath(MainProgramName)), QByteArray("main"));
}

QTEST_GUILESS_MAIN(UpdaterRejections)
#include "tst_updaterrejections.moc"
