#include "EngineProbe.h"
#include "FolderSnapshot.h"
#include "LoopbackHttpServer.h"
#include "MessageLog.h"
#include "ProcessRun.h"
#include "StandinWorkspace.h"
#include "TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QProcess>
#include <QSettings>
#include <QThread>
#include <QtTest>

#include <memory>

using namespace engine;
using transaction::JournalFileName;

namespace {

constexpr int RunLimitMs = 120000;
const QString CorruptMarker = QStringLiteral("DAMAGED-IN-TRANSIT");

QString progress(int percent, const QString &text)
{
    return QStringLiteral("%1 %2").arg(percent).arg(text);
}

QStringList extractionProgress()
{
    QStringList lines;
    for (int percent = 80; percent <= 95; percent += 3)
        lines << progress(percent, ProgressExtracting);
    return lines;
}

// The run as far as the extraction, for a product of this many files.
QStringList progressUpToExtraction(int files)
{
    QStringList lines{progress(70, ProgressClosing), progress(75, ProgressBackup)};
    if (files > 0)
        lines << progress(80, ProgressBackupFiles.arg(files).arg(files));
    return lines << progress(80, ProgressInstalling) << extractionProgress();
}

// A zip of the files, stored uncompressed so that a byte of one of them can be damaged afterwards.
bool writePackage(const QString &zipPath, const QMap<QString, QByteArray> &files)
{
    QTemporaryDir stage;
    writeFiles(stage.path(), files);
    // Whole top-level entries, so that folders have entries of their own as in a real package.
    QStringList topLevel;
    for (const QString &path : files.keys()) {
        if (!topLevel.contains(path.section(QLatin1Char('/'), 0, 0)))
            topLevel << path.section(QLatin1Char('/'), 0, 0);
    }
    return runProcess(QStringLiteral("zip"), QStringList{"-q", "-0", "-r", zipPath} + topLevel,
                      QProcessEnvironment::systemEnvironment(), stage.path())
        .succeeded();
}

// The file holding the marker then fails its checksum on extraction.
bool damagePackage(const QString &zipPath)
{
    QByteArray bytes = readFile(zipPath);
    const int at = bytes.indexOf(CorruptMarker.toLatin1());
    if (at < 0)
        return false;
    bytes[at] = 'X';
    writeFile(zipPath, bytes);
    return !QTest::currentTestFailed();
}

// Backup folders, and the journal and lock that carry the same marker.
QStringList backupFolders(const QString &appDir)
{
    return entriesMatching(appDir, BackupMarker + QLatin1Char('*'));
}

QStringList daemonCommands(const QStringList &more)
{
    QStringList commands{QStringLiteral("QuillonDaemon.exe stop")};
    for (const QString &command : more)
        commands << QStringLiteral("QuillonDaemon.exe ") + command;
    return commands;
}

const QStringList DaemonRestart{QStringLiteral("install"), QStringLiteral("run")};

// What else happens to the run that does not end installed.
enum class Twist
{
    None,
    // The package holds notes.txt/inner.txt: the extraction turns the file notes.txt into a folder.
    NotesBecomeFolder,
    // notes.txt, which the package would replace, cannot be changed by anyone from the start.
    NotesLockedBefore,
    // After the extraction another program writes notes.txt and holds it: it cannot be put back.
    NotesHeldAfterExtraction,
    // The package is whole; config.ini then cannot be replaced.
    ConfigLocked,
    // The package and config.ini are whole; the journal cannot take the "installed" record.
    JournalLockedAtEnd,
};

bool lockFile(const QString &path)
{
    return QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) == 0;
}

} // namespace

Q_DECLARE_METATYPE(Twist)

class TestInstallWorker final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void successfulInstall_data();
    void successfulInstall();
    void processesNotClosed();
    void backupFailureThenRetry();
    void failedExtraction_data();
    void failedExtraction();
    void twoUpdatersAtOnce();
    void checkedBeforeStopping_data();
    void checkedBeforeStopping();

private:
    // A product of six files (with the daemon) or of hidden files only.
    void createProduct(bool hiddenOnly = false);
    // Makes the file unchangeable, even for root, until cleanup; false where the system cannot.
    bool lock(const QString &path);
    void startMainExecutable();
    // Runs one installation on its worker thread to its end.
    bool runInstall();
    QStringList daemonCalls() const
    {
        return workspace->calls().filter(QRegularExpression(QStringLiteral("^QuillonDaemon\\.exe ")));
    }
    QString file(const QString &relative) const { return appDir + QLatin1Char('/') + relative; }

    std::unique_ptr<StandinWorkspace> workspace;
    std::unique_ptr<EngineProbe> engine;
    std::unique_ptr<EngineSignalLog> signalLog;
    // Owned by the workspace.
    QProcess *mainProcess = nullptr;
    QString appDir;
    QString mainImage;
    QStringList locked;
};

void TestInstallWorker::init()
{
    workspace = std::make_unique<StandinWorkspace>();
    QVERIFY(workspace->isValid());
    appDir = workspace->path() + QStringLiteral("/Quillon App");
    engine = std::make_unique<EngineProbe>();
    signalLog = std::make_unique<EngineSignalLog>(engine.get());
}

void TestInstallWorker::cleanup()
{
    for (const QString &path : qAsConst(locked))
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path});
    locked.clear();
    engine->cancelUpdate();
    signalLog.reset();
    engine.reset();
    mainProcess = nullptr;
    workspace.reset();
}

void TestInstallWorker::createProduct(bool hiddenOnly)
{
    const QString stem = hiddenOnly ? QStringLiteral(".HiddenApp") : QStringLiteral("InstallApp");
    mainImage = StandinWorkspace::uniqueImage(stem);
    const QString base = QStringLiteral("Quillon App/");
    QVERIFY(workspace->installProduct(base + mainImage));
    if (hiddenOnly) {
        writeFile(file(QStringLiteral(".data.bin")), "data 1");
    } else {
        QVERIFY(workspace->installProduct(base + QStringLiteral("QuillonServer/QuillonDaemon.exe")));
        writeFiles(appDir,
                   {{"readme.txt", "version 1"},
                    {"lib/core.dll", "core 1"},
                    {"notes.txt", "notes 1"},
                    {"config.ini", "[App]\nVersion=1.0\n\n[Update]\nLastCheckTime=2024-01-01 10:00:00\n\n"
                                   "[Other]\nKey=kept\n"}});
    }
    engine->setUpdateInfo(file(mainImage), QStringLiteral("2.0"),
                          QStringLiteral("http://127.0.0.1:9/update.zip"));
    QVERIFY(QDir(engine->tempDir).exists());
    // As after a download that passed its checks.
    engine->running = true;
}

bool TestInstallWorker::lock(const QString &path)
{
    if (!lockFile(path))
        return false;
    locked.append(path);
    return true;
}

void TestInstallWorker::startMainExecutable()
{
    mainProcess = workspace->startProduct(QStringLiteral("Quillon App/") + mainImage);
    QVERIFY(mainProcess);
}

bool TestInstallWorker::runInstall()
{
    engine->startInstall();
    return engine->workerThread && engine->workerThread->wait(RunLimitMs);
}

void TestInstallWorker::successfulInstall_data()
{
    QTest::addColumn<bool>("withConfig");
    QTest::newRow("config.ini updated") << true;
    // The version is not recorded, but the program files are installed.
    QTest::newRow("config.ini missing") << false;
}

void TestInstallWorker::successfulInstall()
{
    QFETCH(bool, withConfig);
    createProduct();
    if (!withConfig)
        QVERIFY(QFile::remove(engine->configPath));
    startMainExecutable();
    QVERIFY(
        writePackage(engine->zipPath,
                     {{"readme.txt", "version 2"}, {"lib/core.dll", "core 2"}, {"added.dll", "added 2"}}));

    engine->startInstall();
    QThread *const thread = engine->workerThread;
    // A second request while the first runs changes nothing.
    engine->startInstall();
    QCOMPARE(engine->workerThread, thread);
    QVERIFY(thread->wait(RunLimitMs));

    const int files = withConfig ? 6 : 5;
    QCOMPARE(signalLog->of(QStringLiteral("installProgress")), progressUpToExtraction(files)
                                                                   << progress(95, ProgressFinalizing)
                                                                   << progress(100, ProgressFinalizingDone));
    QCOMPARE(signalLog->lines.last(), QStringLiteral("updateFinished true ") + InstallSucceeded);
    QCOMPARE(signalLog->of(QStringLiteral("errorOccurred")), QStringList());
    QVERIFY(!engine->isRunning());
    QCOMPARE(engine->thread(), QCoreApplication::instance()->thread());

    QVERIFY(mainProcess->waitForFinished(1000));
    QCOMPARE(workspace->calls().value(0), QStringLiteral("QuillonDaemon.exe stop"));
    QCOMPARE(readFile(file(QStringLiteral("readme.txt"))), QByteArray("version 2"));
    QCOMPARE(readFile(file(QStringLiteral("lib/core.dll"))), QByteArray("core 2"));
    QCOMPARE(readFile(file(QStringLiteral("added.dll"))), QByteArray("added 2"));
    QCOMPARE(readFile(file(QStringLiteral("notes.txt"))), QByteArray("notes 1"));
    QVERIFY(QFileInfo(file(mainImage)).isExecutable());
    QVERIFY(!QDir(engine->tempDir).exists());
    // Only the stop: the window restarts the daemon after a success.
    QCOMPARE(daemonCalls(), daemonCommands({}));
    // The journal waits for that restart: a kill before it must still bring the daemon back.
    QCOMPARE(backupFolders(appDir), QStringList{JournalFileName});
    engine->completeInstallation();
    QCOMPARE(backupFolders(appDir), QStringList());
    QCOMPARE(QFile::exists(engine->configPath), withConfig);
    if (withConfig) {
        QSettings config(engine->configPath, QSettings::IniFormat);
        QCOMPARE(config.value(QStringLiteral("App/Version")).toString(), QStringLiteral("2.0"));
        QCOMPARE(config.value(QStringLiteral("Update/LastUpdateVersion")).toString(), QStringLiteral("2.0"));
        QVERIFY(!config.contains(QStringLiteral("Update/LastCheckTime")));
        QCOMPARE(config.value(QStringLiteral("Other/Key")).toString(), QStringLiteral("kept"));
    }
}

void TestInstallWorker::processesNotClosed()
{
    createProduct();
    startMainExecutable();
    qputenv("FARLINK_SPARED_IMAGE", mainImage.toUtf8());
    QVERIFY(writePackage(engine->zipPath, {{"readme.txt", "version 2"}}));
    const FolderSnapshot before(appDir);

    QVERIFY(runInstall());

    QCOMPARE(signalLog->of(QStringLiteral("installProgress")),
             (QStringList{progress(70, ProgressClosing), progress(90, ProgressRecoveryStarted)}));
    QCOMPARE(signalLog->lines.last(), QStringLiteral("errorOccurred ") + ErrorProcessesNotClosed);
    QCOMPARE(signalLog->of(QStringLiteral("updateFinished")), QStringList());
    QVERIFY(!engine->isRunning());
    QCOMPARE(FolderSnapshot(appDir).differenceFrom(before), QString());
    QVERIFY(!QDir(engine->tempDir).exists());
    QCOMPARE(mainProcess->state(), QProcess::Running);
    // The daemon was stopped on the way, so it is started again; the main program is the user's.
    QTRY_COMPARE(daemonCalls(), daemonCommands(DaemonRestart));
    QCOMPARE(backupFolders(appDir), QStringList());
}

void TestInstallWorker::backupFailureThenRetry()
{
    createProduct();
    for (int number = 1; number <= 10; ++number)
        writeFile(file(QStringLiteral("extra/%1.dat").arg(number)), "extra");
    // A file goes away while the backup runs (as a log the product rotates): its copy fails.
    QString movedAway;
    connect(
        engine.get(), &UpdateEngine::installProgress, this,
        [&](int, const QString &text) {
            if (!movedAway.isEmpty() || !text.startsWith(QStringLiteral("Files: 10/")))
                return;
            for (int number = 1; number <= 10 && movedAway.isEmpty(); ++number) {
                const QString relative = QStringLiteral("extra/%1.dat").arg(number);
                if (!entryExists(engine->backupDir() + QLatin1Char('/') + relative) &&
                    QFile::rename(file(relative), workspace->path() + QStringLiteral("/away.dat")))
                    movedAway = relative;
            }
        },
        Qt::DirectConnection);
    QVERIFY(writePackage(engine->zipPath, {{"readme.txt", "version 2"}}));
    const FolderSnapshot before(appDir, FolderSnapshot::Scope::Everything, BackupMarker);

    QVERIFY(runInstall());

    QVERIFY(!movedAway.isEmpty());
    QCOMPARE(signalLog->of(QStringLiteral("installProgress")),
             (QStringList{progress(70, ProgressClosing), progress(75, ProgressBackup),
                          progress(78, ProgressBackupFiles.arg(10).arg(16)),
                          progress(80, ProgressBackupFiles.arg(16).arg(16))}));
    QCOMPARE(signalLog->lines.last(), QStringLiteral("errorOccurred ") + ErrorBackupFailed);
    QVERIFY(!engine->isRunning());
    QVERIFY(QFile::rename(workspace->path() + QStringLiteral("/away.dat"), file(movedAway)));
    QCOMPARE(FolderSnapshot(appDir, FolderSnapshot::Scope::Everything, BackupMarker).differenceFrom(before),
             QString());
    QVERIFY(!QDir(engine->tempDir).exists());
    // The partial backup holds only copies of untouched files: it goes with the journal at once.
    QCOMPARE(backupFolders(appDir), QStringList());
    QTRY_COMPARE(daemonCalls(), daemonCommands(DaemonRestart));

    // Retry: a new download, then a new run that starts from a new backup folder.
    QVERIFY(QDir().mkpath(engine->tempDir));
    QVERIFY(writePackage(engine->zipPath, {{"readme.txt", "version 2"}}));
    signalLog->lines.clear();
    engine->running = true;
    const QPointer<QThread> firstThread = engine->workerThread;
    QVERIFY(runInstall());

    QVERIFY(firstThread.isNull());
    QCOMPARE(signalLog->lines.last(), QStringLiteral("updateFinished true ") + InstallSucceeded);
    QCOMPARE(readFile(file(QStringLiteral("readme.txt"))), QByteArray("version 2"));
    QCOMPARE(backupFolders(appDir), QStringList{JournalFileName});
}

void TestInstallWorker::failedExtraction_data()
{
    QTest::addColumn<bool>("hiddenOnly");
    QTest::addColumn<Twist>("twist");
    QTest::addColumn<QStringList>("restoreProgress");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("workFolderKept");
    // The backup, and the journal that names it.
    QTest::addColumn<bool>("backupKept");
    QTest::addColumn<QStringList>("daemonRestart");

    const auto restored = [](int files) {
        return QStringList{progress(100, ProgressRestoring.arg(files).arg(files))};
    };
    QTest::newRow("every file restored")
        << false << Twist::None << restored(6) << ErrorInstallRestored << false << false << DaemonRestart;
    QTest::newRow("a file that became a folder is restored")
        << false << Twist::NotesBecomeFolder << restored(6) << ErrorInstallRestored << false << false
        << DaemonRestart;
    // Hidden files are backed up and restored like any other (this product has no daemon).
    QTest::newRow("hidden files restored")
        << true << Twist::None << restored(2) << ErrorInstallRestored << false << false << QStringList{};
    // The extraction fails on it and the restore cannot write it either, but it never changed.
    QTest::newRow("an unchangeable file that is still right")
        << false << Twist::NotesLockedBefore << restored(6) << ErrorInstallRestored << false << false
        << DaemonRestart;
    // notes.txt cannot come back: the backup then holds its only copy, and the product is not the
    // previous version.
    QTest::newRow("one file not restored") << false << Twist::NotesHeldAfterExtraction << QStringList{}
                                           << ErrorInstallNotRestored << true << true << QStringList{};
    QTest::newRow("config.ini cannot be replaced") << false << Twist::ConfigLocked << restored(6)
                                                   << ErrorInstallRestored << false << false << DaemonRestart;
    // The journal still says the extraction was under way: backup and journal stay for the recovery, which
    // starts the daemon once it has ended the journal.
    QTest::newRow("the installed record cannot be written")
        << false << Twist::JournalLockedAtEnd << restored(6) << ErrorInstallRestored << false << true
        << QStringList{};
}

void TestInstallWorker::failedExtraction()
{
    QFETCH(bool, hiddenOnly);
    QFETCH(Twist, twist);
    QFETCH(QStringList, restoreProgress);
    QFETCH(QString, error);
    QFETCH(bool, workFolderKept);
    QFETCH(bool, backupKept);
    QFETCH(QStringList, daemonRestart);

    createProduct(hiddenOnly);
    const bool packageWhole = twist == Twist::ConfigLocked || twist == Twist::JournalLockedAtEnd;
    const int files = hiddenOnly ? 2 : 6;
    QMap<QString, QByteArray> package{{"added.dll", "added 2"},
                                      {"zz-large.dat", CorruptMarker.toLatin1().repeated(50)}};
    if (twist == Twist::NotesBecomeFolder)
        package.insert(QStringLiteral("notes.txt/inner.txt"), "inner 2");
    if (twist == Twist::NotesLockedBefore)
        package.insert(QStringLiteral("notes.txt"), "notes 2");
    // The extraction overwrites the hidden file before it fails.
    if (hiddenOnly)
        package.insert(QStringLiteral(".data.bin"), "data 2");
    QVERIFY(writePackage(engine->zipPath, package));
    // Read as the download's check read it; the damage comes later, as from a failing disk.
    QVERIFY(engine->packageListing.read(engine->zipPath));
    if (!packageWhole)
        QVERIFY(damagePackage(engine->zipPath));
    const QString notes = file(QStringLiteral("notes.txt"));
    if ((twist == Twist::ConfigLocked && !lock(engine->configPath)) ||
        (twist == Twist::NotesLockedBefore && !lock(notes)))
        QSKIP("the file system cannot make a file unchangeable (chattr +i)");
    const QString journal = appDir + QLatin1Char('/') + JournalFileName;
    const bool lockedOnTheWay =
        twist == Twist::NotesHeldAfterExtraction || twist == Twist::JournalLockedAtEnd;
    bool held = false;
    if (lockedOnTheWay) {
        const QString target = twist == Twist::JournalLockedAtEnd ? journal : notes;
        locked.append(target);
        // Progress of the extraction is reported once the tools have ended; finalizing, before config.ini.
        const QString when = twist == Twist::JournalLockedAtEnd ? ProgressFinalizing : ProgressExtracting;
        connect(
            engine.get(), &UpdateEngine::installProgress, this,
            [&, target, when](int, const QString &text) {
                if (held || text != when)
                    return;
                QFile file(target);
                if (target == notes && file.open(QIODevice::WriteOnly))
                    file.write("held by another program");
                file.close();
                held = lockFile(target);
            },
            Qt::DirectConnection);
    }
    const FolderSnapshot before(appDir, FolderSnapshot::Scope::FilesOnly, BackupMarker);

    QVERIFY(runInstall());

    if (lockedOnTheWay && !held)
        QSKIP("the file system cannot make a file unchangeable (chattr +i)");
    // Where a file that fails to come back falls in the walk is not fixed; it may report 0 restored first.
    QStringList reported = signalLog->of(QStringLiteral("installProgress"));
    reported.removeAll(progress(90, ProgressRestoring.arg(0).arg(files)));
    QStringList expected = progressUpToExtraction(files);
    if (packageWhole)
        expected << progress(95, ProgressFinalizing);
    QCOMPARE(reported, expected << progress(90, ProgressRecoveryInProgress) << restoreProgress);
    QCOMPARE(signalLog->lines.last(), QStringLiteral("errorOccurred ") + error);
    QVERIFY(!engine->isRunning());
    QCOMPARE(QDir(engine->tempDir).exists(), workFolderKept);
    QCOMPARE(QFile::exists(engine->zipPath), workFolderKept);
    QCOMPARE(QDir(engine->backupDir()).exists(), backupKept);
    QCOMPARE(engine->backupMustBeKept(), backupKept);
    // Whatever the backup still has to give back, the journal keeps for the next recovery.
    QCOMPARE(QFile::exists(journal), backupKept);
    QTRY_COMPARE(daemonCalls(), hiddenOnly ? QStringList() : daemonCommands(daemonRestart));

    const QString difference =
        FolderSnapshot(appDir, FolderSnapshot::Scope::FilesOnly, BackupMarker).differenceFrom(before);
    if (twist == Twist::NotesHeldAfterExtraction) {
        QCOMPARE(difference, QStringLiteral("notes.txt"));
        QCOMPARE(readFile(engine->backupDir() + QStringLiteral("/notes.txt")), QByteArray("notes 1"));
    } else {
        QCOMPARE(difference, QString());
    }
}

// Two updaters for one program folder and version, set up in the same second: separate work folders, and the
// second waits for the first instead of sharing its backup, then finds the version installed and installs
// nothing.
void TestInstallWorker::twoUpdatersAtOnce()
{
    createProduct();
    EngineProbe second;
    EngineSignalLog secondLog(&second);
    second.setUpdateInfo(file(mainImage), QStringLiteral("2.0"),
                         QStringLiteral("http://127.0.0.1:9/update.zip"));
    QVERIFY(second.tempDir != engine->tempDir);
    second.running = true;
    for (const EngineProbe *probe : {engine.get(), &second})
        QVERIFY(writePackage(probe->zipPath, {{"readme.txt", "version 2"}, {"second.dll", "2"}}));

    engine->startInstall();
    second.startInstall();
    QVERIFY(engine->workerThread->wait(RunLimitMs));
    QVERIFY(second.workerThread->wait(RunLimitMs));

    QCOMPARE(signalLog->lines.last(), QStringLiteral("updateFinished true ") + InstallSucceeded);
    QCOMPARE(secondLog.lines.last(), QStringLiteral("updateFinished true ") + InstallSucceeded);
    // Whichever thread came second waited, and said so in its window.
    const QString waiting = progress(70, ProgressWaitingForOtherUpdate);
    QVERIFY((signalLog->of(QStringLiteral("installProgress")).first() == waiting) !=
            (secondLog.of(QStringLiteral("installProgress")).first() == waiting));
    // The second run began only once the first had installed and cleaned up; it found the first's journal
    // before the first's window had restarted the daemon, so it completed that run, and stopped nothing.
    // The detached "run" records itself in its own time, so only the commands, not their order, count.
    QStringList expected = daemonCommands(DaemonRestart);
    expected.sort();
    const auto sortedCalls = [this] {
        QStringList calls = daemonCalls();
        calls.sort();
        return calls;
    };
    QTRY_COMPARE(sortedCalls(), expected);
    const bool firstInstalled = !signalLog->of(QStringLiteral("installProgress")).contains(waiting);
    const EngineSignalLog &waited = firstInstalled ? secondLog : *signalLog;
    QVERIFY(!waited.of(QStringLiteral("installProgress")).contains(progress(70, ProgressClosing)));
    QCOMPARE(readFile(file(QStringLiteral("second.dll"))), QByteArray("2"));
    // The first run's journal ended by the second, which had none of its own.
    QCOMPARE(backupFolders(appDir), QStringList());
    second.cancelUpdate();
}

void TestInstallWorker::checkedBeforeStopping_data()
{
    QTest::addColumn<QString>("installed"); // App/Version in config.ini
    QTest::addColumn<QString>("packaged");  // the manifest's version; empty: a package without a manifest
    QTest::addColumn<QString>("announced"); // new_version
    QTest::addColumn<bool>("keyed");
    QTest::addColumn<QString>("logged"); // the refusal; empty: ready to install

    const QString otherVersion = QStringLiteral("更新包清单的版本与更新信息不一致: ");
    const QString notHigher = QStringLiteral("更新包版本不高于已安装的版本，拒绝安装: ");
    QTest::newRow("an older signed package announced as a higher version") << "1.0"
                                                                           << "0.9"
                                                                           << "3.0" << true << otherVersion;
    QTest::newRow("an older signed package announced as itself") << "2.0"
                                                                 << "1.5"
                                                                 << "1.5" << true << notHigher;
    QTest::newRow("the installed version again") << "2.0"
                                                 << "2.0.0"
                                                 << "2.0" << true << notHigher;
    QTest::newRow("a manifest of another version than announced") << "1.0"
                                                                  << "2.0"
                                                                  << "2.1" << false << otherVersion;
    QTest::newRow("keys built in, no manifest") << "1.0"
                                                << ""
                                                << "2.0" << true << "更新包没有清单，拒绝安装";
    QTest::newRow("no keys, no manifest") << "1.0"
                                          << ""
                                          << "2.0" << false << "";
    QTest::newRow("a newer signed package") << "1.0"
                                            << "2.0"
                                            << "2.0" << true << "";
    QTest::newRow("an unreadable installed version counts as the lowest") << "n/a"
                                                                          << "0.1"
                                                                          << "0.1" << true << "";
}

// The package's own word on what it is decides before anything is stopped: a refusal leaves the product
// running and its folder as it was.
void TestInstallWorker::checkedBeforeStopping()
{
    QFETCH(QString, installed);
    QFETCH(QString, packaged);
    QFETCH(QString, announced);
    QFETCH(bool, keyed);
    QFETCH(QString, logged);
    createProduct();
    engine->running = false;
    writeFile(engine->configPath, "[App]\nVersion=" + installed.toUtf8() + "\n");
    startMainExecutable();
    QTemporaryDir scratch;
    const QString stage = scratch.filePath(QStringLiteral("2.0"));
    const QString served = scratch.filePath(QStringLiteral("served.zip"));
    const QString key = scratch.filePath(QStringLiteral("key.pem"));
    writeFiles(stage, {{"readme.txt", "version 2"}, {"lib/core.dll", randomBytes(3000, 5)}});
    const ProcessRun keygen = runProcess(QStringLiteral(FARLINK_SIGN_PATH), {"keygen", key});
    QVERIFY(keygen.succeeded());
    const ProcessRun packed =
        packaged.isEmpty() ? (runProcess(QStringLiteral("zip"), {"-q", "-r", served, "."},
                                         QProcessEnvironment::systemEnvironment(), stage),
                              runProcess(QStringLiteral(FARLINK_SIGN_PATH), {"sign", key, served}))
                           : runProcess(QStringLiteral(FARLINK_PACK_PATH),
                                        {"full", stage, "--version", packaged, "-o", served, "--key", key});
    QVERIFY2(packed.succeeded(), packed.errors.constData());
    const QString signature = QRegularExpression(QStringLiteral("\"signature\": \"([^\"]+)\""))
                                  .match(QString::fromLatin1(packed.output))
                                  .captured(1);
    if (keyed)
        engine->setPackageSignature(signature, {QString::fromLatin1(keygen.output.trimmed())});
    LoopbackHttpServer server;
    server.addRoute(QStringLiteral("/update.zip"), LoopbackHttpServer::file(served));
    engine->newVersion = announced;
    engine->downloadUrl = server.url(QStringLiteral("/update.zip")).toString();
    const FolderSnapshot before(appDir);
    MessageLog log;

    engine->startDownload();
    QTRY_VERIFY_WITH_TIMEOUT(
        !engine->isRunning() || !signalLog->of(QStringLiteral("readyToInstall")).isEmpty(), RunLimitMs);

    QCOMPARE(signalLog->of(QStringLiteral("errorOccurred")),
             logged.isEmpty() ? QStringList() : QStringList{ErrorIntegrity});
    QVERIFY2(logged.isEmpty() || log.startingWith(logged).size() == 1, qPrintable(log.lines().join('\n')));
    QCOMPARE(mainProcess->state(), QProcess::Running);
    QCOMPARE(workspace->calls(), QStringList());
    QCOMPARE(FolderSnapshot(appDir).differenceFrom(before), QString());
}

QTEST_GUILESS_MAIN(TestInstallWorker)
#include "tst_installworker.moc"
