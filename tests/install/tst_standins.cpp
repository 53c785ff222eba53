#include "ProcessRun.h"
#include "StandinWorkspace.h"
#include "TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

ProcessRun runTool(const QString &tool, const QStringList &arguments)
{
    return runProcess(qEnvironmentVariable("FARLINK_TOOLS_BIN") + QLatin1Char('/') + tool, arguments);
}

const QByteArray InfoLine = "INFO: No tasks are running which match the specified criteria.\n";
// The folder below the workspace that the stand-ins in the tests below are started from.
const QString ProductFolder = QStringLiteral("product/");

} // namespace

class TestStandins final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void taskkillMatchesWholeImageNameInAnyCase_data();
    void taskkillMatchesWholeImageNameInAnyCase();
    void taskkillEndsChildrenOnlyWithTree_data();
    void taskkillEndsChildrenOnlyWithTree();
    void taskkillRejectsBadArguments_data();
    void taskkillRejectsBadArguments();
    void tasklistPrintsWindowsTable_data();
    void tasklistPrintsWindowsTable();
    void tarExtractsZipArchives_data();
    void tarExtractsZipArchives();
    void daemonRecordsCommandsWithFolder_data();
    void daemonRecordsCommandsWithFolder();
    void daemonStopEndsOnlyItsOwnService();
    void mainExecutableRecordsItsStart_data();
    void mainExecutableRecordsItsStart();
    void modeInTheCopyChangesHowItEnds_data();
    void modeInTheCopyChangesHowItEnds();

private:
    // Starts a copy of the product stand-in and waits until it has recorded its start; 0 when it did not.
    qint64 startProduct(const QString &name, const QStringList &arguments = {});
    // Makes the folder below the workspace the stand-ins' scope; a null folder leaves no scope set.
    void setScope(const QString &folder);

    std::unique_ptr<StandinWorkspace> workspace;
};

void TestStandins::init()
{
    workspace = std::make_unique<StandinWorkspace>();
    QVERIFY(workspace->isValid());
}

void TestStandins::cleanup()
{
    workspace.reset();
}

qint64 TestStandins::startProduct(const QString &name, const QStringList &arguments)
{
    const QProcess *process = workspace->startProduct(name, arguments);
    return process ? process->processId() : 0;
}

void TestStandins::setScope(const QString &folder)
{
    if (folder.isNull()) {
        qunsetenv("FARLINK_STANDIN_SCOPE");
        return;
    }
    const QString path = QDir(workspace->path()).filePath(folder);
    QVERIFY(QDir().mkpath(path));
    qputenv("FARLINK_STANDIN_SCOPE", QFile::encodeName(path));
}

void TestStandins::taskkillMatchesWholeImageNameInAnyCase_data()
{
    QTest::addColumn<QString>("askedName");
    QTest::addColumn<QString>("scope");
    QTest::addColumn<bool>("ended");

    const QString name = StandinWorkspace::uniqueImage(QStringLiteral("SiKill"));
    const QString workspace = QStringLiteral(".");
    QTest::newRow("same name") << name << workspace << true;
    QTest::newRow("upper case") << name.toUpper() << workspace << true;
    QTest::newRow("lower case") << name.toLower() << workspace << true;
    QTest::newRow("one character short") << name.chopped(1) << workspace << false;
    QTest::newRow("one character more") << name + QLatin1Char('x') << workspace << false;
    QTest::newRow("wildcard") << QStringLiteral("SiKill*") << workspace << false;
    // Only processes whose executable lies below the scope folder are ended.
    QTest::newRow("scope is the program's folder") << name << ProductFolder << true;
    QTest::newRow("scope is another folder") << name << QStringLiteral("other") << false;
    QTest::newRow("scope shares a prefix only") << name << QStringLiteral("prod") << false;
    QTest::newRow("no scope") << name << QString() << false;
}

void TestStandins::taskkillMatchesWholeImageNameInAnyCase()
{
    QFETCH(QString, askedName);
    QFETCH(QString, scope);
    QFETCH(bool, ended);

    const qint64 pid = startProduct(ProductFolder + StandinWorkspace::uniqueImage(QStringLiteral("SiKill")));
    QVERIFY(pid > 0);
    setScope(scope);
    const ProcessRun run = runTool(QStringLiteral("taskkill"), {"/F", "/IM", askedName, "/T"});

    if (ended) {
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.output,
                 QStringLiteral("SUCCESS: The process with PID %1 (child process of PID %2) has been "
                                "terminated.\n")
                     .arg(pid)
                     .arg(QCoreApplication::applicationPid())
                     .toUtf8());
    } else {
        QCOMPARE(run.exitCode, 128);
        QCOMPARE(run.errors,
                 QStringLiteral("ERROR: The process \"%1\" not found.\n").arg(askedName).toUtf8());
    }
    QCOMPARE(StandinWorkspace::isRunning(pid), !ended);
}

void TestStandins::taskkillEndsChildrenOnlyWithTree_data()
{
    QTest::addColumn<bool>("tree");
    QTest::newRow("with /T") << true;
    QTest::newRow("without /T") << false;
}

void TestStandins::taskkillEndsChildrenOnlyWithTree()
{
    QFETCH(bool, tree);

    // A parent of another image name whose child is a main executable.
    const QString parent = StandinWorkspace::uniqueImage(QStringLiteral("SiParent"));
    const QString child = StandinWorkspace::uniqueImage(QStringLiteral("SiChild"));
    QVERIFY(workspace->installProduct(child));
    QProcess *guard = workspace->startGuard(parent, 0, QDir(workspace->path()).filePath(child));
    QVERIFY(guard);
    const qint64 childPid = workspace->pidsOf(QStringLiteral("start"), child).at(0);

    QStringList arguments{"/F", "/IM", parent};
    if (tree)
        arguments << QStringLiteral("/T");
    const ProcessRun run = runTool(QStringLiteral("taskkill"), arguments);

    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.output.count("SUCCESS:"), tree ? 2 : 1);
    QVERIFY(guard->waitForFinished(5000));
    QCOMPARE(StandinWorkspace::isRunning(childPid), !tree);
}

void TestStandins::taskkillRejectsBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no image") << QStringList{"/F", "/T"};
    QTest::newRow("image switch without name") << QStringList{"/F", "/IM"};
    QTest::newRow("unknown switch") << QStringList{"/F", "/Q", "/IM", "x.exe"};
}

void TestStandins::taskkillRejectsBadArguments()
{
    QFETCH(QStringList, arguments);
    const ProcessRun run = runTool(QStringLiteral("taskkill"), arguments);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.errors.startsWith("ERROR: Invalid"), run.errors.constData());
    QVERIFY(run.output.isEmpty());
}

void TestStandins::tasklistPrintsWindowsTable_data()
{
    QTest::addColumn<QString>("stem");
    QTest::addColumn<int>("instances");
    QTest::addColumn<bool>("askInUpperCase");
    QTest::addColumn<QString>("scope");
    QTest::addColumn<bool>("listed");

    const QString workspace = QStringLiteral(".");
    QTest::newRow("none running") << QStringLiteral("SiList") << 0 << false << workspace << false;
    QTest::newRow("one running") << QStringLiteral("SiList") << 1 << false << workspace << true;
    QTest::newRow("asked in other case") << QStringLiteral("SiList") << 1 << true << workspace << true;
    QTest::newRow("two running") << QStringLiteral("SiList") << 2 << false << workspace << true;
    // The first column is 25 characters wide; a longer name is not cut.
    QTest::newRow("name longer than the column")
        << QStringLiteral("SiListWithAVeryLongName") << 1 << false << workspace << true;
    QTest::newRow("running outside the scope")
        << QStringLiteral("SiList") << 1 << false << QStringLiteral("other") << false;
    QTest::newRow("no scope") << QStringLiteral("SiList") << 1 << false << QString() << false;
}

void TestStandins::tasklistPrintsWindowsTable()
{
    QFETCH(QString, stem);
    QFETCH(int, instances);
    QFETCH(bool, askInUpperCase);
    QFETCH(QString, scope);
    QFETCH(bool, listed);

    const QString name = StandinWorkspace::uniqueImage(stem);
    QList<qint64> pids;
    for (int i = 0; i < instances; ++i)
        pids.append(startProduct(ProductFolder + name));
    QVERIFY(!pids.contains(0));
    setScope(scope);

    const QString asked = askInUpperCase ? name.toUpper() : name;
    const ProcessRun run =
        runTool(QStringLiteral("tasklist"), {"/FI", QStringLiteral("IMAGENAME eq %1").arg(asked)});
    QCOMPARE(run.exitCode, 0);
    if (!listed) {
        QCOMPARE(run.output, InfoLine);
        return;
    }
    const QStringList lines = QString::fromUtf8(run.output).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 4 + instances); // a blank line first, the text ends with a line break
    QCOMPARE(lines.at(0), QString());
    QCOMPARE(lines.at(1),
             QStringLiteral("Image Name                     PID Session Name        Session#    Mem Usage"));
    QCOMPARE(lines.at(2),
             QStringLiteral("========================= ======== ================ =========== ============"));
    // Rows come in process id order; right-aligned ids sort the same way as text.
    QStringList rows = lines.mid(3, instances);
    std::sort(pids.begin(), pids.end());
    std::sort(rows.begin(), rows.end());
    for (int i = 0; i < instances; ++i) {
        const QString start = name.leftJustified(25) + QLatin1Char(' ') +
                              QString::number(pids.at(i)).rightJustified(8) +
                              QStringLiteral(" Console                    1 ");
        QVERIFY2(rows.at(i).startsWith(start) && rows.at(i).endsWith(QStringLiteral(" K")),
                 qPrintable(rows.at(i)));
    }
}

void TestStandins::tarExtractsZipArchives_data()
{
    QTest::addColumn<bool>("archiveExists");
    QTest::newRow("zip archive") << true;
    QTest::newRow("missing archive") << false;
}

void TestStandins::tarExtractsZipArchives()
{
    QFETCH(bool, archiveExists);

    const QDir root(workspace->path());
    QVERIFY(root.mkpath(QStringLiteral("target")));
    writeFile(root.filePath(QStringLiteral("content/sub/a.txt")), "alpha");
    const QString archive = root.filePath(QStringLiteral("package.zip"));
    if (archiveExists) {
        QCOMPARE(
            QProcess::execute(QStringLiteral("bsdtar"),
                              {"-a", "-cf", archive, "-C", root.filePath(QStringLiteral("content")), "sub"}),
            0);
    }

    const ProcessRun run =
        runTool(QStringLiteral("tar"), {"-xf", archive, "-C", root.filePath(QStringLiteral("target"))});

    QCOMPARE(run.exitCode == 0, archiveExists);
    const QString extracted = root.filePath(QStringLiteral("target/sub/a.txt"));
    QCOMPARE(QFileInfo::exists(extracted), archiveExists);
    if (archiveExists)
        QCOMPARE(readFile(extracted), QByteArray("alpha"));
}

void TestStandins::daemonRecordsCommandsWithFolder_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("hanging"); // the commands that never return
    QTest::addColumn<int>("exitCode");    // -1: does not return
    QTest::addColumn<QStringList>("events");

    QTest::newRow("stop") << "stop" << QString() << 0 << QStringList{"stop"};
    QTest::newRow("install") << "install" << QString() << 0 << QStringList{"install"};
    QTest::newRow("run") << "run" << QString() << 0 << QStringList{"run", "service"};
    QTest::newRow("unknown command") << "frobnicate" << QString() << 1 << QStringList{"frobnicate"};
    QTest::newRow("hanging install") << "install"
                                     << "stop,install" << -1 << QStringList{"install"};
    QTest::newRow("another command hanging") << "install"
                                             << "stop" << 0 << QStringList{"install"};
}

void TestStandins::daemonRecordsCommandsWithFolder()
{
    QFETCH(QString, command);
    QFETCH(QString, hanging);
    QFETCH(int, exitCode);
    QFETCH(QStringList, events);

    if (!hanging.isEmpty())
        qputenv("FARLINK_STANDIN_HANG", hanging.toUtf8());
    QVERIFY(workspace->installProduct(QStringLiteral("Server/QuillonDaemon.exe")));
    const QString serverFolder = QDir(workspace->path()).filePath(QStringLiteral("Server"));
    QProcess daemon;
    daemon.setWorkingDirectory(serverFolder);
    daemon.start(serverFolder + QStringLiteral("/QuillonDaemon.exe"), {command});
    // "run" returns at once although its service goes on.
    const bool returns = exitCode >= 0;
    QCOMPARE(daemon.waitForFinished(returns ? 3000 : 1000), returns);
    if (returns)
        QCOMPARE(daemon.exitCode(), exitCode);
    QStringList recorded;
    for (const QStringList &entry : workspace->entries()) {
        recorded.append(entry.at(1));
        QCOMPARE(entry.at(0), QStringLiteral("QuillonDaemon.exe"));
        QCOMPARE(entry.at(3), serverFolder);
    }
    QCOMPARE(recorded, events);
    for (const qint64 service : workspace->pidsOf(QStringLiteral("service")))
        QVERIFY(StandinWorkspace::isRunning(service));
}

void TestStandins::daemonStopEndsOnlyItsOwnService()
{
    const QDir root(workspace->path());
    for (const QString &folder : {QStringLiteral("A"), QStringLiteral("B")}) {
        QVERIFY(workspace->installProduct(folder + QStringLiteral("/QuillonDaemon.exe")));
        QCOMPARE(QProcess::execute(root.filePath(folder + QStringLiteral("/QuillonDaemon.exe")), {"run"}), 0);
    }
    const QList<qint64> services = workspace->pidsOf(QStringLiteral("service"));
    QCOMPARE(services.size(), 2);

    QCOMPARE(QProcess::execute(root.filePath(QStringLiteral("A/QuillonDaemon.exe")), {"stop"}), 0);

    QVERIFY(!StandinWorkspace::isRunning(services.at(0)));
    QVERIFY(StandinWorkspace::isRunning(services.at(1)));
}

void TestStandins::mainExecutableRecordsItsStart_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("main executable") << StandinWorkspace::uniqueImage(QStringLiteral("SiMain"))
                                     << QStringList{"-x", "two words"};
    QTest::newRow("server without arguments") << QStringLiteral("QuillonServer.exe") << QStringList{};
}

void TestStandins::mainExecutableRecordsItsStart()
{
    QFETCH(QString, name);
    QFETCH(QStringList, arguments);

    const qint64 pid = startProduct(name, arguments);
    QVERIFY(pid > 0);
    const QStringList entry = workspace->entries().value(0);
    QCOMPARE(entry.mid(0, 4),
             (QStringList{name, QStringLiteral("start"), QString::number(pid), QDir::currentPath()}));
    QCOMPARE(entry.mid(4), arguments);
    QTest::qWait(200);
    QVERIFY(StandinWorkspace::isRunning(pid));
}

void TestStandins::modeInTheCopyChangesHowItEnds_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("crashed");
    QTest::addColumn<int>("exitCode"); // of a copy that did not crash
    QTest::addColumn<QStringList>("events");

    const QString main = StandinWorkspace::uniqueImage(QStringLiteral("SiMode"));
    const QString daemon = QStringLiteral("QuillonDaemon.exe");
    QTest::newRow("main executable crashes")
        << main << "crash-after-ms:300" << QStringList{"-x"} << true << 0 << QStringList{"start"};
    QTest::newRow("main executable crashes at once")
        << main << "crash-after-ms:0" << QStringList() << true << 0 << QStringList{"start"};
    QTest::newRow("main executable exits")
        << main << "exit-after-ms:300" << QStringList() << false << 0 << QStringList{"start"};
    QTest::newRow("service dies") << daemon << "service-dies-after-ms:300" << QStringList() << false << 1
                                  << QStringList{"service"};
    QTest::newRow("service started by run dies")
        << daemon << "service-dies-after-ms:300" << QStringList{"run"} << false << 0
        << QStringList{"run", "service"};
    QTest::newRow("run starts no service")
        << daemon << "service-never-starts" << QStringList{"run"} << false << 0 << QStringList{"run"};
    QTest::newRow("service refuses to start")
        << daemon << "service-never-starts" << QStringList() << false << 1 << QStringList{"service-refused"};
    QTest::newRow("mode of a main executable on the daemon")
        << daemon << "crash-after-ms:0" << QStringList{"install"} << false << 0 << QStringList{"install"};
    QTest::newRow("unknown mode") << main << "crash-after:300" << QStringList() << false << 2
                                  << QStringList();
    QTest::newRow("delay not a number")
        << main << "exit-after-ms:soon" << QStringList() << false << 2 << QStringList();
    QTest::newRow("delay missing") << daemon << "service-dies-after-ms" << QStringList() << false << 2
                                   << QStringList();
}

void TestStandins::modeInTheCopyChangesHowItEnds()
{
    QFETCH(QString, name);
    QFETCH(QString, mode);
    QFETCH(QStringList, arguments);
    QFETCH(bool, crashed);
    QFETCH(int, exitCode);
    QFETCH(QStringList, events);

    QVERIFY(workspace->installProduct(ProductFolder + name, mode));
    const ProcessRun run = runProcess(QDir(workspace->path()).filePath(ProductFolder + name), arguments);

    QVERIFY(run.finished);
    QCOMPARE(run.status, crashed ? QProcess::CrashExit : QProcess::NormalExit);
    if (!crashed)
        QCOMPARE(run.exitCode, exitCode);
    QStringList recorded;
    for (const QStringList &entry : workspace->entries())
        recorded.append(entry.at(StandinWorkspace::Event));
    QCOMPARE(recorded, events);
    for (const qint64 service : workspace->pidsOf(QStringLiteral("service")))
        QTRY_VERIFY_WITH_TIMEOUT(!StandinWorkspace::isRunning(service), ProcessRunLimitMs);
}

QTEST_GUILESS_MAIN(TestStandins)
#include "tst_standins.moc"
