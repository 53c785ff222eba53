// Whole runs of the executable against a loopback HTTP server and the product stand-ins: a successful
// update that ends with the product restarted, and the two failures a user can meet on the way, seen and
// answered on a virtual display the way a person would.

#include "FolderSnapshot.h"
#include "LoopbackHttpServer.h"
#include "ProcessRun.h"
#include "ScreenArea.h"
#include "StandinWorkspace.h"
#include "TestFiles.h"
#include "UpdaterRun.h"
#include "VirtualDisplay.h"
#include "ZipBuilder.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

#include <memory>

namespace {

constexpr int UpdateMs = 120000;
constexpr int WindowReactionMs = 30000;
constexpr int CloseExitMs = 10000;
constexpr int TrialEndMs = 60000;

const QString DaemonImage = QStringLiteral("QuillonDaemon.exe");
const QString ServerImage = QStringLiteral("QuillonServer.exe");
const QString PackagePath = QStringLiteral("/update.zip");
const QString DownloadErrorLog = QStringLiteral("下载错误:");
const QString InstallStartLog = QStringLiteral("=== 开始执行安装（工作线程）===");
const QByteArray NewDaemonMark = "\nQuillon daemon 2.0.0\n";

// The window's colours: the blue Update Now / Retry button (also when hovered), the green progress bar
// and Restart button, the orange Website button and the grey Cancel / Close button.
bool isBlue(QRgb c)
{
    return qBlue(c) >= 190 && qRed(c) <= 100 && qGreen(c) >= 100 && qGreen(c) <= 190;
}
bool isGreen(QRgb c)
{
    return qGreen(c) >= 130 && qGreen(c) - qRed(c) >= 50 && qGreen(c) - qBlue(c) >= 50;
}
bool isOrange(QRgb c)
{
    return qRed(c) >= 230 && qGreen(c) >= 100 && qGreen(c) <= 170 && qBlue(c) <= 40;
}
bool isGreyButton(QRgb c)
{
    return (c & 0xffffff) == 0xf5f5f5;
}

} // namespace

class UpdaterRunTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void updatesAndRestartsTheProduct_data();
    void updatesAndRestartsTheProduct();
    void downloadFailureOffersRetryAndClose();
    void failedExtractionRestoresTheProduct();
    void keyedBuildRefusesUnsignedPackage();

private:
    QString layOutProduct(const QString &mainName);
    QString writeInfo(const QString &mainPath);
    QByteArray packageOf(const QString &folder);
    void startUpdater(UpdaterRun &run, const QString &infoPath, bool onDisplay);
    qint64 startProductProcess(const QString &program, const QStringList &arguments);
    QStringList daemonCommands() const;

    std::unique_ptr<VirtualDisplay> display;
    std::unique_ptr<StandinWorkspace> workspace;
    std::unique_ptr<LoopbackHttpServer> server;
    QString productDir;
};

void UpdaterRunTest::initTestCase()
{
    display = std::make_unique<VirtualDisplay>();
    QVERIFY2(display->isValid(), qPrintable(display->errorText()));
}

void UpdaterRunTest::init()
{
    workspace = std::make_unique<StandinWorkspace>();
    QVERIFY(workspace->isValid());
    server = std::make_unique<LoopbackHttpServer>();
    QVERIFY(server->isListening());
}

// The workspace ends whatever of the product is still running, by process id.
void UpdaterRunTest::cleanup()
{
    server.reset();
    workspace.reset();
}

QString UpdaterRunTest::layOutProduct(const QString &mainName)
{
    productDir = QFileInfo(workspace->path() + QStringLiteral("/product")).absoluteFilePath();
    writeFiles(productDir,
               {{"config.ini", "[App]\nVersion=1.0.0\n\n[Network]\nPort=4819\n\n[Update]\n"
                               "LastCheckTime=2024-01-01 10:00:00\nLastPromptTime=2024-01-02 10:00:00\n"},
                {"readme.txt", "Quillon 1.0.0\n"},
                {"data/old.dat", LoopbackHttpServer::filler(3000)}});
    const bool laidOut = workspace->installProduct(QStringLiteral("product/") + mainName) &&
                         workspace->installProduct(QStringLiteral("product/QuillonServer/") + DaemonImage) &&
                         workspace->installProduct(QStringLiteral("product/QuillonServer/") + ServerImage);
    return laidOut ? productDir + QLatin1Char('/') + mainName : QString();
}

// The information file lies in a folder of its own beside its companion folder, as the product leaves them.
QString UpdaterRunTest::writeInfo(const QString &mainPath)
{
    const QString infoPath = workspace->path() + QStringLiteral("/handover/update.json");
    const QByteArray info = "{\"app_path\": \"" + QFile::encodeName(mainPath) +
                            "\", \"new_version\": \"2.0.0\", \"download_url\": \"" +
                            server->url(PackagePath).toEncoded() + "\", \"memo\": \"Quillon 2.0.0\"}";
    writeFile(infoPath, info);
    writeFile(workspace->path() + QStringLiteral("/handover/update/notes.html"), "<p>2.0.0</p>");
    return infoPath;
}

QByteArray UpdaterRunTest::packageOf(const QString &folder)
{
    const QString zipPath = workspace->path() + QStringLiteral("/package.zip");
    const bool zipped =
        runProcess(QStringLiteral("zip"), {QStringLiteral("-qr"), zipPath, QStringLiteral(".")},
                   QProcessEnvironment::systemEnvironment(), folder)
            .succeeded();
    return zipped ? readFile(zipPath) : QByteArray();
}

void UpdaterRunTest::startUpdater(UpdaterRun &run, const QString &infoPath, bool onDisplay)
{
    const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
    run.start({QStringLiteral("-i"), infoPath, QStringLiteral("-m"), QStringLiteral("manual")},
              onDisplay ? display->environmentFor(system) : system);
}

qint64 UpdaterRunTest::startProductProcess(const QString &program, const QStringList &arguments)
{
    qint64 pid = 0;
    QProcess::startDetached(program, arguments, QFileInfo(program).absolutePath(), &pid);
    return pid;
}

QStringList UpdaterRunTest::daemonCommands() const
{
    return workspace->calls().filter(QRegularExpression(QStringLiteral("^") + DaemonImage));
}

void UpdaterRunTest::updatesAndRestartsTheProduct_data()
{
    QTest::addColumn<bool>("logFolderBlocked");
    QTest::newRow("log written") << false;
    // A file stands where the log folder would be created: the update goes on without its log file.
    QTest::newRow("log folder cannot be created") << true;
}

void UpdaterRunTest::updatesAndRestartsTheProduct()
{
    QFETCH(bool, logFolderBlocked);
    const QString logRoot = qEnvironmentVariable("PROGRAMDATA") + QStringLiteral("/FarlinkUpdater");
    QFile::remove(logRoot);
    if (logFolderBlocked)
        QVERIFY(QDir(logRoot).removeRecursively() && QFile(logRoot).open(QIODevice::WriteOnly));
    const QString mainName = QStringLiteral("ProgramTestUpdate.exe");
    const QString mainPath = layOutProduct(mainName);
    QVERIFY(!mainPath.isEmpty());
    const QString serverDir = productDir + QStringLiteral("/QuillonServer");
    const QList<qint64> runningBefore = {startProductProcess(mainPath, {}),
                                         startProductProcess(serverDir + QLatin1Char('/') + ServerImage, {}),
                                         startProductProcess(serverDir + QLatin1Char('/') + DaemonImage, {})};
    QTRY_COMPARE(workspace->entries().size(), runningBefore.size());

    const QString staging = workspace->path() + QStringLiteral("/package");
    const QByteArray newDaemon = readFile(serverDir + QLatin1Char('/') + DaemonImage) + NewDaemonMark;
    writeFiles(staging, {{"readme.txt", "Quillon 2.0.0\n"},
                         {"data/new.dat", LoopbackHttpServer::filler(5000)},
                         {"QuillonServer/" + DaemonImage, newDaemon}});
    QVERIFY(QFile::setPermissions(staging + QStringLiteral("/QuillonServer/") + DaemonImage,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray package = packageOf(staging);
    QVERIFY(package.size() > 1024);
    server->addRoute(PackagePath, LoopbackHttpServer::ok(package));
    const QString infoPath = writeInfo(mainPath);

    UpdaterRun run;
    startUpdater(run, infoPath, false);
    QVERIFY2(run.waitForExit(UpdateMs), qPrintable(run.log()));
    QCOMPARE(run.exitCode(), 0);
    QFile::remove(logRoot);
    // The information file's values follow the version and the arguments; the release notes do not.
    const QStringList logLines = run.logFileLines();
    const QString logText = logLines.join(QLatin1Char('\n'));
    if (logFolderBlocked) {
        QCOMPARE(logLines, QStringList());
    } else {
        QVERIFY2(logLines.value(2).endsWith(QStringLiteral("[info] app_path: ") + mainPath),
                 qPrintable(logText));
        QVERIFY(logLines.value(3).endsWith(QStringLiteral("[info] new_version: 2.0.0")));
        QVERIFY(logLines.value(4).endsWith(QStringLiteral("[info] download_url: ") +
                                           server->url(PackagePath).toString()));
        QVERIFY2(logText.contains(InstallStartLog), "the installation's lines are missing");
        QVERIFY2(logText.contains(QStringLiteral("[info] 安装已成功完成")), "the outcome is missing");
        QVERIFY(!logText.contains(QStringLiteral("Quillon 2.0.0")));
    }

    QCOMPARE(readFile(productDir + QStringLiteral("/readme.txt")), QByteArray("Quillon 2.0.0\n"));
    QCOMPARE(readFile(productDir + QStringLiteral("/data/new.dat")), LoopbackHttpServer::filler(5000));
    QCOMPARE(readFile(productDir + QStringLiteral("/data/old.dat")), LoopbackHttpServer::filler(3000));
    QVERIFY(readFile(serverDir + QLatin1Char('/') + DaemonImage) == newDaemon);
    const QSettings config(productDir + QStringLiteral("/config.ini"), QSettings::IniFormat);
    QCOMPARE(config.value(QStringLiteral("App/Version")).toString(), QStringLiteral("2.0.0"));
    QCOMPARE(config.value(QStringLiteral("Update/LastUpdateVersion")).toString(), QStringLiteral("2.0.0"));
    QVERIFY(!config.value(QStringLiteral("Update/LastUpdateTime")).toString().isEmpty());
    QVERIFY(!config.contains(QStringLiteral("Update/LastCheckTime")));
    QVERIFY(!config.contains(QStringLiteral("Update/LastPromptTime")));
    QCOMPARE(config.value(QStringLiteral("Network/Port")).toString(), QStringLiteral("4819"));
    // The backup stays through the trial that the watcher ends once the new version has shown it runs.
    QTRY_COMPARE_WITH_TIMEOUT(entriesMatching(productDir, QStringLiteral("_update_backup_*")), QStringList(),
                              TrialEndMs);
    QCOMPARE(workFolders(), QStringList());
    QVERIFY(!QFileInfo::exists(infoPath));
    QVERIFY2(!QFileInfo::exists(workspace->path() + QStringLiteral("/handover/update")),
             "companion folder kept");
    QCOMPARE(server->requestedPaths(), QStringList{PackagePath});

    for (const qint64 pid : runningBefore)
        QVERIFY2(!StandinWorkspace::isRunning(pid), "a process of the old version still runs");
    QCOMPARE(daemonCommands(),
             QStringList({DaemonImage + QStringLiteral(" stop"), DaemonImage + QStringLiteral(" install"),
                          DaemonImage + QStringLiteral(" run")}));
    const QString canonicalServerDir = QFileInfo(serverDir).canonicalFilePath();
    QCOMPARE(workspace->daemonCommandFolder(QStringLiteral("install")), canonicalServerDir);
    QCOMPARE(workspace->daemonCommandFolder(QStringLiteral("run")), canonicalServerDir);
    // The daemon's service may record its start after the main executable's when the pauses are short.
    QStringList restart;
    for (const QStringList &entry : workspace->entries()) {
        if (entry.mid(0, 2) == QStringList({mainName, QStringLiteral("start")}))
            restart = entry;
    }
    QVERIFY2(!restart.isEmpty(), "the main executable was not started again");
    QVERIFY(!runningBefore.contains(restart.at(2).toLongLong()));
    QCOMPARE(restart.mid(3), QStringList{QFileInfo(productDir).canonicalFilePath()});
}

void UpdaterRunTest::downloadFailureOffersRetryAndClose()
{
    const QString mainPath = layOutProduct(QStringLiteral("ProgramTestDownload.exe"));
    QVERIFY(!mainPath.isEmpty());
    const FolderSnapshot before(productDir);
    const QString infoPath = writeInfo(mainPath);
    UpdaterRun run;
    startUpdater(run, infoPath, true);

    for (int attempt = 1; attempt <= 2; ++attempt) {
        QTRY_COMPARE_WITH_TIMEOUT(run.log().count(DownloadErrorLog), attempt, WindowReactionMs);
        const QImage screen =
            display->waitForScreen([](const QImage &shot) { return shows(shot, isBlue); }, WindowReactionMs);
        QVERIFY2(!screen.isNull(), "no Retry button");
        QVERIFY(!shows(screen, isGreen));
        QVERIFY(!shows(screen, isOrange));
        const QRect retry = areaOf(screen, isBlue);
        const QRect close = areaOf(screen, isGreyButton, retry.top(), retry.bottom());
        QVERIFY2(!close.isNull() && close.left() > retry.right(), "no Close button right of Retry");
        QVERIFY2(run.isRunning(), "the updater must wait for the user after a failed download");
        QCOMPARE(server->requestedPaths().size(), attempt);
        QVERIFY(display->click(attempt == 1 ? retry.center() : close.center()));
    }
    QVERIFY(run.waitForExit(CloseExitMs));
    QCOMPARE(run.exitCode(), 0);
    // Said once by a build without public keys, once the information has been read.
    QCOMPARE(run.log().count(QStringLiteral("未内置公钥：更新包不做签名校验")),
             FARLINK_KEYS_BUILT_IN ? 0 : 1);
    QCOMPARE(FolderSnapshot(productDir).differenceFrom(before), QString());
    QCOMPARE(workspace->calls(), QStringList());
    QCOMPARE(workFolders(), QStringList());
}

void UpdaterRunTest::failedExtractionRestoresTheProduct()
{
    const QString mainPath = layOutProduct(QStringLiteral("ProgramTestRestore.exe"));
    QVERIFY(!mainPath.isEmpty());
    const FolderSnapshot before(productDir);
    // A sound zip that cannot be extracted: a file of the product stands where the package needs a folder.
    server->addRoute(PackagePath, LoopbackHttpServer::ok(zipArchive(
                                      {ZipEntry{QStringLiteral("data/new.dat"), randomBytes(5000, 3)},
                                       ZipEntry{QStringLiteral("data/old.dat/inner.txt"), "x"}})));
    UpdaterRun run;
    startUpdater(run, writeInfo(mainPath), true);

    QVERIFY2(run.waitForLog(InstallStartLog, WindowReactionMs), qPrintable(run.log()));
    // Only the restored presentation shows Close alone: no progress bar, no Retry, Restart or Website.
    const QImage screen = display->waitForScreen(
        [](const QImage &shot) {
            return shows(shot, isGreyButton) && !shows(shot, isBlue) && !shows(shot, isGreen) &&
                   !shows(shot, isOrange);
        },
        UpdateMs);
    QVERIFY2(!screen.isNull(), "the window never showed Close alone");
    const QRect close = areaOf(screen, isGreyButton);
    QVERIFY2(run.isRunning(), "the updater must wait for the user after a failed installation");
    QCOMPARE(FolderSnapshot(productDir).differenceFrom(before), QString());
    // The daemon is back before the failure shows; the main program is left for the user.
    QTRY_COMPARE(daemonCommands(),
                 (QStringList{DaemonImage + QStringLiteral(" stop"), DaemonImage + QStringLiteral(" install"),
                              DaemonImage + QStringLiteral(" run")}));
    QCOMPARE(workspace->pidsOf(QStringLiteral("start")), QList<qint64>());
    QVERIFY(run.logFileLines()
                .join(QLatin1Char('\n'))
                .contains(QStringLiteral("[critical] 安装文件失败，已恢复原版本")));

    QVERIFY(display->click(close.center()));
    QVERIFY(run.waitForExit(CloseExitMs));
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(workFolders(), QStringList());
}

// An updater built with a public key installs nothing unsigned: the integrity check fails before any process
// of the product is touched.
void UpdaterRunTest::keyedBuildRefusesUnsignedPackage()
{
    const QString mainPath = layOutProduct(QStringLiteral("ProgramTestKeyed.exe"));
    QVERIFY(!mainPath.isEmpty());
    const FolderSnapshot before(productDir);
    server->addRoute(PackagePath, LoopbackHttpServer::ok(LoopbackHttpServer::filler(4096)));
    {
        UpdaterRun run;
        run.start({QStringLiteral("-i"), writeInfo(mainPath), QStringLiteral("-m"), QStringLiteral("manual")},
                  QProcessEnvironment::systemEnvironment(), QString(),
                  QStringLiteral(FARLINK_KEYED_UPDATER_PATH));
        QVERIFY2(run.waitForLog(QStringLiteral("签名校验失败: 缺少签名"), WindowReactionMs),
                 qPrintable(run.log()));
        QVERIFY(run.waitForLog(QStringLiteral("文件验证失败"), WindowReactionMs));
        QVERIFY(!run.log().contains(QStringLiteral("未内置公钥")));
        QVERIFY(!run.log().contains(InstallStartLog));
    }
    QCOMPARE(FolderSnapshot(productDir).differenceFrom(before), QString());
    QCOMPARE(workspace->calls(), QStringList());
    // Killed, the updater leaves its work folder to the next start's sweep; this test tidies its own.
    for (const QString &folder : workFolders())
        QDir(qEnvironmentVariable("PROGRAMDATA") + QLatin1Char('/') + folder).removeRecursively();
}

QTEST_GUILESS_MAIN(UpdaterRunTest)
#include "tst_updaterrun.moc"
