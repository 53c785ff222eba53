// The Windows FarlinkUpdater.exe (tools/windows/build.sh) run under Wine on a display of its own: a whole
// update of a product laid out under "C:\Program Files\Quillon", the package served from 127.0.0.1, checked
// as a user would see it; a 2.0.0 whose main program crashes at start, rolled back after the restart; and a
// cut package, refused before the product folder is touched.

#include "FolderSnapshot.h"
#include "LoopbackHttpServer.h"
#include "PowerShellCommand.h"
#include "ScreenArea.h"
#include "TestFiles.h"
#include "UpdaterRun.h"
#include "VirtualDisplay.h"
#include "WinePrefix.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSettings>
#include <QTest>

#include <functional>
#include <memory>

namespace {

// Wine's start, the installation's fixed pauses, the countdown and the restart.
constexpr int UpdateMs = 180000;
constexpr int WindowReactionMs = 60000;

const QString ProductDir = QStringLiteral("C:/Program Files/Quillon");
const QString ServerDir = ProductDir + QStringLiteral("/QuillonServer");
const QString MainName = QStringLiteral("Quillon.exe");
const QString DaemonImage = QStringLiteral("QuillonDaemon.exe");
const QString ServerImage = QStringLiteral("QuillonServer.exe");
// The product hands its file over in a temporary folder, the only place the updater deletes it from.
const QString InfoPath = QStringLiteral("C:/windows/temp/quillon-update.json");
const QString StandinLog = QStringLiteral("C:/standin-log.txt");
const QString PackagePath = QStringLiteral("/update.zip");
const QString ExpandDir = QStringLiteral("C:/Expand");
const QByteArray NewDaemonMark = "\nQuillon daemon 2.0.0\n";
// The shipped build waits its pauses in full: short trials keep the runs short.
constexpr int HealthyTrialSeconds = 3;
constexpr int FailingTrialSeconds = 10;
const QByteArray CrashingMainMark = "\nQuillon 2.0.0\nFARLINK_STANDIN_MODE=crash-after-ms:1000\n";

// Wine 8 finds Xvfb's only output disconnected and reports a primary screen of 1024 x 768 whatever the X
// screen's size; an X screen of that size is the screen the updater sees.
const QSize Screen(1024, 768);
constexpr QRgb PanelColour = 0xEFF6FF;
// Where the panel lies on that screen without a task bar: the window's bottom-right corner overhangs the
// work area by 18 pixels, and the 430 x 300 panel sits 20 pixels inside the window.
const QRect PanelPlace(Screen.width() - 2 - 430, Screen.height() - 2 - 300, 430, 300);

// A path as Windows writes it (QDir::toNativeSeparators does that only when built for Windows).
QString backslashed(QString path)
{
    return path.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

bool isPanel(QRgb c)
{
    return (c & 0xffffff) == PanelColour;
}
bool isGreen(QRgb c)
{
    return qGreen(c) >= 130 && qGreen(c) - qRed(c) >= 50 && qGreen(c) - qBlue(c) >= 50;
}
bool isBlue(QRgb c)
{
    return qBlue(c) >= 190 && qRed(c) <= 100 && qGreen(c) >= 100 && qGreen(c) <= 190;
}
bool isOrange(QRgb c)
{
    return qRed(c) >= 230 && qGreen(c) >= 100 && qGreen(c) <= 170 && qBlue(c) <= 40;
}
bool isGreyButton(QRgb c)
{
    return (c & 0xffffff) == 0xf5f5f5;
}
// Cancel while the installation runs.
bool isDisabledButton(QRgb c)
{
    return (c & 0xffffff) == 0xf8f8f8;
}

} // namespace

class UpdaterWineTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void updatesAndRestartsTheProduct();
    void crashingNewVersionIsRolledBack();
    void cutPackageLeavesTheProductAsItWas();
    void powerShellStandInRunsOnlyTheUpdatersCommand_data();
    void powerShellStandInRunsOnlyTheUpdatersCommand();

private:
    QString host(const QString &windowsPath) const { return prefix->hostPath(windowsPath); }
    bool layOutProduct();
    void startProduct();
    QByteArray packageOf(const QString &folder);
    void startUpdater(UpdaterRun &run, int trialSeconds);
    bool trialEnded() const;
    QList<QStringList> standinEntries() const;
    QStringList runningProcesses() const;

    QImage waitForScreen(const std::function<bool(const QImage &)> &test, const QString &name) const;

    std::unique_ptr<VirtualDisplay> display;
    std::unique_ptr<WinePrefix> prefix;
    std::unique_ptr<LoopbackHttpServer> server;
};

void UpdaterWineTest::initTestCase()
{
    QVERIFY2(QFileInfo::exists(QStringLiteral(FARLINK_WINDOWS_DEPLOY "/FarlinkUpdater.exe")),
             "no Windows build in " FARLINK_WINDOWS_DEPLOY ": run tools/windows/build.sh");
    display = std::make_unique<VirtualDisplay>(Screen);
    QVERIFY2(display->isValid(), qPrintable(display->errorText()));
    // The stand-ins record to a file on drive C: and end by themselves should a run be cut short.
    qputenv("FARLINK_STANDIN_LOG", backslashed(StandinLog).toLocal8Bit());
    qputenv("FARLINK_STANDIN_LIFETIME_S", "300");
    // taskkill and tasklist act only on the product's processes (the prefix holds nothing else of ours).
    qputenv("FARLINK_STANDIN_SCOPE", backslashed(ProductDir).toLocal8Bit());
}

void UpdaterWineTest::init()
{
    prefix = std::make_unique<WinePrefix>(QStringLiteral("wine-prefix"),
                                          QStringLiteral(FARLINK_WINDOWS_STANDINS), display->name());
    QVERIFY2(prefix->isValid(), qPrintable(prefix->errorText()));
    for (const QString &stale : {ProductDir, QStringLiteral("C:/handover"), ExpandDir})
        QDir(host(stale)).removeRecursively();
    const QString programData = host(QStringLiteral("C:/ProgramData"));
    for (const QString &workFolder : entriesMatching(programData, QStringLiteral("QuillUpdate_*")))
        QDir(programData + QLatin1Char('/') + workFolder).removeRecursively();
    QFile::remove(host(StandinLog));
    server = std::make_unique<LoopbackHttpServer>();
    QVERIFY(server->isListening());
}

void UpdaterWineTest::cleanup()
{
    prefix.reset();
    server.reset();
}

bool UpdaterWineTest::layOutProduct()
{
    writeFiles(host(ProductDir),
               {{"config.ini", "[App]\nVersion=1.0.0\n\n[Network]\nPort=4819\n\n[Update]\n"
                               "LastCheckTime=2024-01-01 10:00:00\nLastPromptTime=2024-01-02 10:00:00\n"},
                {"readme.txt", "Quillon 1.0.0\n"},
                {"data/old.dat", LoopbackHttpServer::filler(3000)}});
    const QString standin = QStringLiteral(FARLINK_WINDOWS_STANDINS "/product-standin.exe");
    return QDir().mkpath(host(ServerDir)) &&
           QFile::copy(standin, host(ProductDir + QLatin1Char('/') + MainName)) &&
           QFile::copy(standin, host(ServerDir + QLatin1Char('/') + DaemonImage)) &&
           QFile::copy(standin, host(ServerDir + QLatin1Char('/') + ServerImage));
}

// The product as the user has it running: its main program, its server and its daemon's service.
void UpdaterWineTest::startProduct()
{
    for (const QString &program :
         {ProductDir + QLatin1Char('/') + MainName, ServerDir + QLatin1Char('/') + ServerImage,
          ServerDir + QLatin1Char('/') + DaemonImage})
        QVERIFY(prefix->startDetached(program));
    QTRY_COMPARE_WITH_TIMEOUT(standinEntries().size(), 3, WindowReactionMs);
}

QByteArray UpdaterWineTest::packageOf(const QString &folder)
{
    const QString zipPath = QDir::currentPath() + QStringLiteral("/package.zip");
    QFile::remove(zipPath);
    const bool zipped =
        runProcess(QStringLiteral("zip"), {QStringLiteral("-qr"), zipPath, QStringLiteral(".")},
                   QProcessEnvironment::systemEnvironment(), folder)
            .succeeded();
    return zipped ? readFile(zipPath) : QByteArray();
}

// Started as the product starts it: the information file's path and the mode on the command line, the
// program path with drive letter and forward slashes in the file.
void UpdaterWineTest::startUpdater(UpdaterRun &run, int trialSeconds)
{
    writeFile(
        host(InfoPath),
        "{\"app_path\": \"" + (ProductDir + QLatin1Char('/') + MainName).toUtf8() +
            "\", \"new_version\": \"2.0.0\", \"download_url\": \"" + server->url(PackagePath).toEncoded() +
            "\", \"memo\": \"Quillon 2.0.0\", \"trial_seconds\": " + QByteArray::number(trialSeconds) + '}');
    run.start({QStringLiteral(FARLINK_WINDOWS_DEPLOY "/FarlinkUpdater.exe"), QStringLiteral("-i"),
               backslashed(InfoPath), QStringLiteral("-m"), QStringLiteral("manual")},
              prefix->environmentFor(QProcessEnvironment::systemEnvironment()), QString(),
              WinePrefix::wineProgram());
}

// The watcher has ended the trial: the backup, the journal and the lock are gone.
bool UpdaterWineTest::trialEnded() const
{
    return entriesMatching(host(ProductDir), QStringLiteral("_update_backup_*")).isEmpty();
}

// The first screen that passes the test; when none does in time, the last one is kept as <name>.png in the
// test's folder, to show what the user saw instead.
QImage UpdaterWineTest::waitForScreen(const std::function<bool(const QImage &)> &test,
                                      const QString &name) const
{
    const QImage screen = display->waitForScreen(test, UpdateMs);
    if (screen.isNull())
        display->screenshot().save(name + QStringLiteral(".png"));
    return screen;
}

// One list per line of the stand-ins' record: image name, event, process id, working folder, arguments.
QList<QStringList> UpdaterWineTest::standinEntries() const
{
    QList<QStringList> entries;
    for (const QString &line : readText(host(StandinLog)).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        entries.append(line.split(QLatin1Char('\t')));
    return entries;
}

// "<image name> <process id>" of every process of the product that runs in the prefix, as Windows' tasklist
// (the stand-in) shows them.
QStringList UpdaterWineTest::runningProcesses() const
{
    const QString table = QString::fromLocal8Bit(prefix->run(QStringLiteral("tasklist"), {}).output);
    QStringList processes;
    for (const QString &row : table.split(QLatin1Char('\n'))) {
        const QStringList columns = row.simplified().split(QLatin1Char(' '));
        if (columns.size() > 1 && QStringList({MainName, ServerImage, DaemonImage}).contains(columns.at(0)))
            processes.append(columns.at(0) + QLatin1Char(' ') + columns.at(1));
    }
    processes.sort();
    return processes;
}

void UpdaterWineTest::updatesAndRestartsTheProduct()
{
    QVERIFY(layOutProduct());
    startProduct();
    const QList<QStringList> before = standinEntries();

    const QString staging = QDir::currentPath() + QStringLiteral("/package");
    QDir(staging).removeRecursively();
    const QByteArray newDaemon = readFile(host(ServerDir + QLatin1Char('/') + DaemonImage)) + NewDaemonMark;
    writeFiles(staging, {{"readme.txt", "Quillon 2.0.0\n"},
                         {"data/new.dat", LoopbackHttpServer::filler(5000)},
                         {"QuillonServer/" + DaemonImage, newDaemon}});
    server->addRoute(PackagePath, LoopbackHttpServer::ok(packageOf(staging)));

    UpdaterRun run;
    startUpdater(run, HealthyTrialSeconds);
    // The success card: the green progress bar and Restart button, Cancel gone.
    const QImage card = waitForScreen(
        [](const QImage &shot) { return shows(shot, isGreen) && !shows(shot, isDisabledButton); },
        QStringLiteral("no-success-card"));
    QVERIFY2(!card.isNull(), "the success card never showed");
    card.save(QStringLiteral("screenshot-wine.png"));
    QCOMPARE(areaOf(card, isPanel), PanelPlace);
    QVERIFY(PanelPlace.contains(areaOf(card, isGreen)));
    QVERIFY2(run.waitForExit(UpdateMs), "the updater did not end after the restart");
    QCOMPARE(run.exitCode(), 0);

    QCOMPARE(readFile(host(ProductDir + QStringLiteral("/readme.txt"))), QByteArray("Quillon 2.0.0\n"));
    QCOMPARE(readFile(host(ProductDir + QStringLiteral("/data/new.dat"))), LoopbackHttpServer::filler(5000));
    QCOMPARE(readFile(host(ProductDir + QStringLiteral("/data/old.dat"))), LoopbackHttpServer::filler(3000));
    QVERIFY(readFile(host(ServerDir + QLatin1Char('/') + DaemonImage)) == newDaemon);
    const QSettings config(host(ProductDir + QStringLiteral("/config.ini")), QSettings::IniFormat);
    QCOMPARE(config.value(QStringLiteral("App/Version")).toString(), QStringLiteral("2.0.0"));
    QCOMPARE(config.value(QStringLiteral("Update/LastUpdateVersion")).toString(), QStringLiteral("2.0.0"));
    QVERIFY(!config.value(QStringLiteral("Update/LastUpdateTime")).toString().isEmpty());
    QVERIFY(!config.contains(QStringLiteral("Update/LastCheckTime")));
    QCOMPARE(config.value(QStringLiteral("Network/Port")).toString(), QStringLiteral("4819"));
    QTRY_VERIFY_WITH_TIMEOUT(trialEnded(), UpdateMs);
    QCOMPARE(entriesMatching(host(QStringLiteral("C:/ProgramData")), QStringLiteral("QuillUpdate_*")),
             QStringList());
    QVERIFY(!QFileInfo::exists(host(InfoPath)));

    // The daemon stopped (run from the updater's folder, which it makes its working folder), re-registered
    // and started from its folder, then the main program started again from its folder.
    // The updater ends as soon as the main program's process exists; its record follows.
    QTRY_VERIFY_WITH_TIMEOUT(standinEntries().size() >= before.size() + 5, WindowReactionMs);
    const QList<QStringList> after = standinEntries().mid(before.size());
    QStringList steps;
    for (const QStringList &entry : after)
        steps.append(QStringList(entry.mid(0, 2) + entry.mid(3)).join(QLatin1Char(' ')));
    const QString daemon = DaemonImage + QLatin1Char(' ');
    const QStringList expected = {daemon + QStringLiteral("stop Z:") +
                                      backslashed(QStringLiteral(FARLINK_WINDOWS_DEPLOY)),
                                  daemon + QStringLiteral("install ") + backslashed(ServerDir),
                                  daemon + QStringLiteral("run ") + backslashed(ServerDir),
                                  daemon + QStringLiteral("service ") + backslashed(ServerDir),
                                  MainName + QStringLiteral(" start ") + backslashed(ProductDir)};
    QVERIFY2(steps == expected, qPrintable(QStringLiteral("recorded:\n") + steps.join(QLatin1Char('\n'))));
    const QStringList service = after.at(3);
    const QStringList restart = after.at(4);
    // The old processes are gone; the new service and main program run.
    QStringList running = {DaemonImage + QLatin1Char(' ') + service.at(2),
                           MainName + QLatin1Char(' ') + restart.at(2)};
    running.sort();
    QCOMPARE(runningProcesses(), running);
    for (const QStringList &old : before)
        QVERIFY(!running.contains(old.at(0) + QLatin1Char(' ') + old.at(2)));
}

// The watcher, a Windows process of its own, starts the new main program, sees it crash with an exception
// code and puts 1.0.0 back: the files byte for byte, config.ini with the failed version, the old main program
// and daemon running.
void UpdaterWineTest::crashingNewVersionIsRolledBack()
{
    QVERIFY(layOutProduct());
    const FolderSnapshot oldVersion(host(ProductDir), FolderSnapshot::Scope::Everything,
                                    QStringLiteral("config.ini"));
    const QString staging = QDir::currentPath() + QStringLiteral("/package");
    QDir(staging).removeRecursively();
    const QByteArray crashingMain =
        readFile(host(ProductDir + QLatin1Char('/') + MainName)) + CrashingMainMark;
    writeFiles(staging, {{"readme.txt", "Quillon 2.0.0\n"}, {MainName.toUtf8(), crashingMain}});
    server->addRoute(PackagePath, LoopbackHttpServer::ok(packageOf(staging)));

    UpdaterRun run;
    startUpdater(run, FailingTrialSeconds);
    QVERIFY2(run.waitForExit(UpdateMs), "the updater did not end after the restart");
    QCOMPARE(run.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(trialEnded(), UpdateMs);

    QCOMPARE(readFile(host(ProductDir + QStringLiteral("/readme.txt"))), QByteArray("Quillon 1.0.0\n"));
    QCOMPARE(FolderSnapshot(host(ProductDir), FolderSnapshot::Scope::Everything, QStringLiteral("config.ini"))
                 .differenceFrom(oldVersion),
             QString());
    const QSettings config(host(ProductDir + QStringLiteral("/config.ini")), QSettings::IniFormat);
    QCOMPARE(config.value(QStringLiteral("App/Version")).toString(), QStringLiteral("1.0.0"));
    QCOMPARE(config.value(QStringLiteral("Update/FailedVersion")).toString(), QStringLiteral("2.0.0"));
    QVERIFY(!config.value(QStringLiteral("Update/FailedTime")).toString().isEmpty());
    // Two main programs started: the new one by the watcher, which crashed, then the old one.
    const auto mainStarts = [this] {
        QStringList pids;
        for (const QStringList &entry : standinEntries()) {
            if (entry.mid(0, 2) == QStringList({MainName, QStringLiteral("start")}))
                pids.append(MainName + QLatin1Char(' ') + entry.at(2));
        }
        return pids;
    };
    QTRY_COMPARE_WITH_TIMEOUT(mainStarts().size(), 2, WindowReactionMs);
    QTRY_VERIFY_WITH_TIMEOUT(runningProcesses().contains(mainStarts().constLast()), WindowReactionMs);
    QVERIFY(!runningProcesses().contains(mainStarts().constFirst()));
    QVERIFY(runningProcesses().filter(DaemonImage).size() == 1);
}

void UpdaterWineTest::cutPackageLeavesTheProductAsItWas()
{
    QVERIFY(layOutProduct());
    const QString staging = QDir::currentPath() + QStringLiteral("/package");
    QDir(staging).removeRecursively();
    writeFiles(staging, {{"readme.txt", "Quillon 2.0.0\n"},
                         {"data/new.dat", randomBytes(20000, 1)},
                         {"data/old.dat", randomBytes(20000, 2)}});
    const QByteArray package = packageOf(staging);
    server->addRoute(PackagePath, LoopbackHttpServer::ok(package.left(package.size() * 6 / 10)));
    const FolderSnapshot before(host(ProductDir));

    UpdaterRun run;
    startUpdater(run, HealthyTrialSeconds);
    // The package is read as a zip before anything is stopped: a cut one is a failed download, with Retry
    // and Close, and the product is never touched.
    const QImage screen = waitForScreen(
        [](const QImage &shot) {
            return shows(shot, isBlue) && shows(shot, isGreyButton) && !shows(shot, isGreen) &&
                   !shows(shot, isOrange);
        },
        QStringLiteral("no-download-failure"));
    QVERIFY2(!screen.isNull(), "the window never offered Retry and Close");
    QVERIFY2(run.isRunning(), "the updater must wait for the user after a failed download");
    QVERIFY2(!QFileInfo::exists(host(StandinLog)), "the product's daemon was asked to stop");
    QCOMPARE(FolderSnapshot(host(ProductDir)).differenceFrom(before), QString());
}

// The stand-in must do what Windows PowerShell does with the updater's command, so that the updater's
// judgement of it is tested, and refuse anything else rather than pass it as done.
void UpdaterWineTest::powerShellStandInRunsOnlyTheUpdatersCommand_data()
{
    QTest::addColumn<bool>("cut");
    QTest::addColumn<bool>("updatersScript");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("extracted");

    const QStringList all = {QStringLiteral("data/new.dat"), QStringLiteral("readme.txt")};
    QTest::newRow("whole package") << false << true << 0 << all;
    // Expand-Archive reads the archive's directory first: nothing is written.
    QTest::newRow("cut package") << true << true << 1 << QStringList();
    QTest::newRow("another script") << false << false << 1 << QStringList();
}

void UpdaterWineTest::powerShellStandInRunsOnlyTheUpdatersCommand()
{
    QFETCH(bool, cut);
    QFETCH(bool, updatersScript);
    QFETCH(int, exitCode);
    QFETCH(QStringList, extracted);

    const QString staging = QDir::currentPath() + QStringLiteral("/package");
    QDir(staging).removeRecursively();
    writeFiles(staging, {{"readme.txt", "Quillon 2.0.0\n"}, {"data/new.dat", randomBytes(20000, 3)}});
    const QByteArray package = packageOf(staging);
    writeFile(host(ExpandDir + QStringLiteral("/package.zip")),
              cut ? package.left(package.size() / 2) : package);
    // A space and an apostrophe, which the script must quote.
    const QString target = ExpandDir + QStringLiteral("/It's here");
    const QString script =
        updatersScript ? engine::expandArchiveScript(backslashed(ExpandDir + QStringLiteral("/package.zip")),
                                                     backslashed(target))
                       : QStringLiteral("Get-ChildItem");

    const ProcessRun run = prefix->run(QStringLiteral("powershell"),
                                       {QStringLiteral("-NoProfile"), QStringLiteral("-EncodedCommand"),
                                        engine::encodePowerShellCommand(script)});
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    QStringList files;
    for (QDirIterator it(host(target), QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        files.append(QDir(host(target)).relativeFilePath(it.next()));
    files.sort();
    QCOMPARE(files, extracted);
    if (exitCode != 0)
        QVERIFY2(!run.errors.isEmpty(), "a failure without a reason on standard error");
}

QTEST_GUILESS_MAIN(UpdaterWineTest)
#include "tst_updaterwine.moc"
