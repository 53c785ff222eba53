// The trial after an update, seen from outside: the updater installs a 2.0.0 built from the product
// stand-ins, whose main program or daemon may be made to fail, and the test looks at what the user's machine
// holds once the trial has ended: which version is in the program folder, what runs, what config.ini and the
// log say. The trial's 60 seconds are shortened by the test pause scale like every other pause.

#include "FolderSnapshot.h"
#include "LoopbackHttpServer.h"
#include "StandinWorkspace.h"
#include "TestFiles.h"
#include "UpdaterRun.h"
#include "ZipBuilder.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTest>

#include <memory>

#include <csignal>
#include <sys/types.h>

namespace {

enum class Ending
{
    Committed,  // 2.0.0 stays; backup and journal gone
    RolledBack, // 1.0.0 back byte for byte but for the two keys; old main program and daemon running
};

constexpr int UpdateMs = 120000;
constexpr int TrialEndMs = 90000;
const QString MainImage = QStringLiteral("Quillon.exe");
const QString DaemonPath = QStringLiteral("QuillonServer/QuillonDaemon.exe");
const QString ServerPath = QStringLiteral("QuillonServer/QuillonServer.exe");
const QString PackagePath = QStringLiteral("/update.zip");
const QString JournalName = QStringLiteral("_update_backup_journal.json");
// Characters of the logs shown with a failure: their last lines say how the trial went.
constexpr int LogTail = 1500;
const QString WatcherStarted = QStringLiteral("试用期监视程序已启动");
const QByteArray OldConfig = "[App]\nVersion=1.0.0\n\n[Network]\nPort=4819\n\n[Update]\n"
                             "LastCheckTime=2024-01-01 10:00:00\n";
// A trial long enough to be interrupted (600 s, 30 s at the test scale).
const QByteArray LongTrial = "600";

// The parent of a process, from /proc: the watcher is the parent of the main program it started.
qint64 parentOf(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() : 0;
}

} // namespace

Q_DECLARE_METATYPE(Ending)

class TrialPeriod : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void endsAsTheNewVersionFares_data();
    void endsAsTheNewVersionFares();
    void twoUpdatersInstallOnce();

private:
    void layOutOldVersion();
    QByteArray packageOfNewVersion(const QString &mainMode, const QString &daemonMode);
    QString writeInfo(const QByteArray &trialSeconds, const QString &name = QStringLiteral("update.json"));
    void startUpdater(UpdaterRun &run, const QString &infoPath);
    void killWatcherAndRecover();
    QString allLogs() const;
    QList<qint64> mainStarts() const;
    void verifyCommitted();
    void verifyRolledBack(const FolderSnapshot &oldVersion);

    std::unique_ptr<StandinWorkspace> workspace;
    std::unique_ptr<LoopbackHttpServer> server;
    QString productDir;
};

void TrialPeriod::init()
{
    workspace = std::make_unique<StandinWorkspace>();
    QVERIFY(workspace->isValid());
    server = std::make_unique<LoopbackHttpServer>();
    QVERIFY(server->isListening());
    productDir = workspace->path() + QStringLiteral("/product");
}

// The workspace ends whatever of the product still runs, watcher-started programs included.
void TrialPeriod::cleanup()
{
    server.reset();
    workspace.reset();
}

void TrialPeriod::layOutOldVersion()
{
    writeFiles(productDir, {{"config.ini", OldConfig},
                            {"readme.txt", "Quillon 1.0.0\n"},
                            {"data/old.dat", LoopbackHttpServer::filler(3000)}});
    for (const QString &image : {MainImage, DaemonPath, ServerPath})
        QVERIFY(workspace->installProduct(QStringLiteral("product/") + image));
}

// 2.0.0: the same stand-ins in the row's way of failing, the main program marked with its version.
QByteArray TrialPeriod::packageOfNewVersion(const QString &mainMode, const QString &daemonMode)
{
    const QString staging = workspace->path() + QStringLiteral("/new");
    if (!workspace->installProduct(QStringLiteral("new/") + MainImage, mainMode) ||
        !workspace->installProduct(QStringLiteral("new/") + DaemonPath, daemonMode) ||
        !workspace->installProduct(QStringLiteral("new/") + ServerPath))
        return {};
    QFile main(staging + QLatin1Char('/') + MainImage);
    if (!main.open(QIODevice::Append) || main.write("\nQuillon 2.0.0\n") < 0 || !main.flush())
        return {};
    writeFiles(staging,
               {{"readme.txt", "Quillon 2.0.0\n"}, {"data/new.dat", LoopbackHttpServer::filler(5000)}});
    const QString zipPath = workspace->path() + QStringLiteral("/package.zip");
    QString error;
    return zipFolder(staging, zipPath, error) ? readFile(zipPath) : QByteArray();
}

QString TrialPeriod::writeInfo(const QByteArray &trialSeconds, const QString &name)
{
    const QString infoPath = workspace->path() + QLatin1Char('/') + name;
    QByteArray info = "{\"app_path\": \"" + QFile::encodeName(productDir + QLatin1Char('/') + MainImage) +
                      "\", \"new_version\": \"2.0.0\", \"download_url\": \"" +
                      server->url(PackagePath).toEncoded() + '"';
    if (!trialSeconds.isEmpty())
        info += ", \"trial_seconds\": " + trialSeconds;
    writeFile(infoPath, info + '}');
    return infoPath;
}

void TrialPeriod::startUpdater(UpdaterRun &run, const QString &infoPath)
{
    run.start({QStringLiteral("-i"), infoPath, QStringLiteral("-m"), QStringLiteral("manual")},
              QProcessEnvironment::systemEnvironment());
}

// As a kill or a restart of the machine would leave the trial: no watcher, the journal "on trial". Then the
// recovery that the logon command or the next updater start runs.
void TrialPeriod::killWatcherAndRecover()
{
    QVERIFY(QTest::qWaitFor([this] { return !mainStarts().isEmpty(); }, TrialEndMs));
    const qint64 watcher = parentOf(mainStarts().constLast());
    QVERIFY2(watcher > 1 && ::kill(static_cast<pid_t>(watcher), SIGKILL) == 0, "no watcher to kill");
    QTRY_VERIFY(!StandinWorkspace::isRunning(watcher));
    QVERIFY(QFileInfo::exists(productDir + QLatin1Char('/') + JournalName));
    UpdaterRun recovery;
    recovery.start({QStringLiteral("--recover"), productDir + QLatin1Char('/') + MainImage},
                   QProcessEnvironment::systemEnvironment());
    QVERIFY2(recovery.waitForExit(UpdateMs), qPrintable(recovery.log()));
    QCOMPARE(recovery.exitCode(), 0);
}

// The watcher writes a log file of its own beside the window's.
QString TrialPeriod::allLogs() const
{
    const QDir logs(qEnvironmentVariable("PROGRAMDATA") + QStringLiteral("/FarlinkUpdater/logs"));
    QString text;
    for (const QString &name : logs.entryList({QStringLiteral("*.log")}, QDir::Files))
        text += readText(logs.filePath(name));
    return text;
}

QList<qint64> TrialPeriod::mainStarts() const
{
    return workspace->pidsOf(QStringLiteral("start"), MainImage);
}

void TrialPeriod::verifyCommitted()
{
    QCOMPARE(readFile(productDir + QStringLiteral("/readme.txt")), QByteArray("Quillon 2.0.0\n"));
    const QSettings config(productDir + QStringLiteral("/config.ini"), QSettings::IniFormat);
    QCOMPARE(config.value(QStringLiteral("App/Version")).toString(), QStringLiteral("2.0.0"));
    QVERIFY(!config.contains(QStringLiteral("Update/FailedVersion")));
}

void TrialPeriod::verifyRolledBack(const FolderSnapshot &oldVersion)
{
    QCOMPARE(FolderSnapshot(productDir, FolderSnapshot::Scope::Everything, QStringLiteral("config.ini"))
                 .differenceFrom(oldVersion),
             QString());
    // config.ini: the old file, with the two keys added to its [Update] section and nothing else changed.
    const QByteArray config = readFile(productDir + QStringLiteral("/config.ini"));
    QVERIFY2(config.startsWith(OldConfig + "FailedVersion=2.0.0\nFailedTime=20"), config.constData());
    QCOMPARE(config.count('\n'), OldConfig.count('\n') + 2);
    // The old main program runs again, and an old daemon's service.
    QTRY_VERIFY_WITH_TIMEOUT(mainStarts().size() >= 2, TrialEndMs);
    QVERIFY(StandinWorkspace::isRunning(mainStarts().constLast()));
    const QList<qint64> services = workspace->pidsOf(QStringLiteral("service"));
    QVERIFY(!services.isEmpty() && StandinWorkspace::isRunning(services.constLast()));
}

void TrialPeriod::endsAsTheNewVersionFares_data()
{
    QTest::addColumn<QString>("mainMode"); // the stand-ins' way of failing; empty: healthy
    QTest::addColumn<QString>("daemonMode");
    QTest::addColumn<QByteArray>("trialSeconds"); // empty: the default
    QTest::addColumn<bool>("watcherStarted");
    QTest::addColumn<bool>("watcherKilled"); // then --recover
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<QString>("logSays");

    const QString healthy;
    const QString crash = QStringLiteral("crash-after-ms:1000");
    const QString closedByUser = QStringLiteral("exit-after-ms:500");
    const QString noService = QStringLiteral("service-never-starts");
    const QString serviceDies = QStringLiteral("service-dies-after-ms:500");
    QTest::newRow("healthy") << healthy << healthy << QByteArray() << true << false << Ending::Committed
                             << QStringLiteral("试用期通过，新版本已确认: 2.0.0");
    QTest::newRow("main program closed normally") << closedByUser << healthy << QByteArray() << true << false
                                                  << Ending::Committed << QStringLiteral("主程序已正常退出");
    QTest::newRow("main program crashes 1 s after start")
        << crash << healthy << QByteArray() << true << false << Ending::RolledBack
        << QStringLiteral("试用期检查未通过: 主程序崩溃退出");
    QTest::newRow("daemon service never starts")
        << healthy << noService << QByteArray() << true << false << Ending::RolledBack
        << QStringLiteral("试用期检查未通过: 试用期结束时守护进程服务未运行");
    QTest::newRow("daemon service dies") << healthy << serviceDies << QByteArray() << true << false
                                         << Ending::RolledBack << QStringLiteral("守护进程服务未运行");
    QTest::newRow("trial off") << crash << noService << QByteArray("0") << false << false << Ending::Committed
                               << QStringLiteral("安装已成功完成");
    QTest::newRow("watcher killed, daemon runs, then --recover")
        << healthy << healthy << LongTrial << true << true << Ending::Committed
        << QStringLiteral("试用期被中断，守护进程服务正在运行，确认新版本: 2.0.0");
    QTest::newRow("watcher killed, daemon never started, then --recover")
        << healthy << noService << LongTrial << true << true << Ending::RolledBack
        << QStringLiteral("试用期被中断，守护进程服务未运行，恢复原版本: 2.0.0");
}

void TrialPeriod::endsAsTheNewVersionFares()
{
    QFETCH(QString, mainMode);
    QFETCH(QString, daemonMode);
    QFETCH(QByteArray, trialSeconds);
    QFETCH(bool, watcherStarted);
    QFETCH(bool, watcherKilled);
    QFETCH(Ending, ending);
    QFETCH(QString, logSays);

    layOutOldVersion();
    const FolderSnapshot oldVersion(productDir, FolderSnapshot::Scope::Everything,
                                    QStringLiteral("config.ini"));
    const QByteArray package = packageOfNewVersion(mainMode, daemonMode);
    QVERIFY(!package.isEmpty());
    server->addRoute(PackagePath, LoopbackHttpServer::ok(package));

    UpdaterRun run;
    startUpdater(run, writeInfo(trialSeconds));
    QVERIFY2(run.waitForExit(UpdateMs), qPrintable(run.log()));
    QCOMPARE(run.exitCode(), 0);
    // Without a trial the update is final as the window ends, and no watcher is started.
    QCOMPARE(run.log().contains(WatcherStarted), watcherStarted);
    if (watcherKilled)
        killWatcherAndRecover();
    // The trial has ended once its journal is gone and the folder lock of whoever ended it is released.
    const auto ended = [&] {
        return entriesMatching(productDir, QStringLiteral("_update_backup_*")).isEmpty() &&
               allLogs().contains(logSays);
    };
    QVERIFY2(QTest::qWaitFor(ended, TrialEndMs), qPrintable(allLogs().right(LogTail)));
    if (ending == Ending::Committed)
        verifyCommitted();
    else
        verifyRolledBack(oldVersion);
}

// Two updaters for one product and version, started a second apart: whichever waits for the other finds the
// version installed, installs nothing and starts no second copy of the main program.
void TrialPeriod::twoUpdatersInstallOnce()
{
    layOutOldVersion();
    const QByteArray package = packageOfNewVersion({}, {});
    QVERIFY(!package.isEmpty());
    server->addRoute(PackagePath, LoopbackHttpServer::ok(package));

    UpdaterRun first;
    UpdaterRun second;
    startUpdater(first, writeInfo({}, QStringLiteral("first.json")));
    QTest::qWait(1000);
    startUpdater(second, writeInfo({}, QStringLiteral("second.json")));
    for (UpdaterRun *run : {&first, &second}) {
        QVERIFY2(run->waitForExit(UpdateMs), qPrintable(run->log()));
        QCOMPARE(run->exitCode(), 0);
    }
    const QString alreadyInstalled = QStringLiteral("此版本已由另一个更新程序安装，不再重复安装: 2.0.0");
    QCOMPARE(first.log().contains(alreadyInstalled) + second.log().contains(alreadyInstalled), 1);
    QVERIFY(QTest::qWaitFor(
        [this] { return entriesMatching(productDir, QStringLiteral("_update_backup_*")).isEmpty(); },
        TrialEndMs));
    verifyCommitted();
    QCOMPARE(mainStarts().size(), 1);
    QCOMPARE(workspace->pidsOf(QStringLiteral("stop")).size(), 1);
}

QTEST_GUILESS_MAIN(TrialPeriod)
#include "tst_trialperiod.moc"
