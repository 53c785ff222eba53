// Recovery of a program folder left by an interrupted installation, from each state the journal can name,
// on a real folder with the product's daemon stand-in: the folder ends exactly old or exactly new, with no
// backup, journal or lock left and the daemon registered and started; or, when that cannot be done safely,
// nothing is touched and everything needed for a later attempt is kept.

#include "FolderSnapshot.h"
#include "InstallJournal.h"
#include "InstallTransaction.h"
#include "ProductDaemon.h"
#include "StandinWorkspace.h"
#include "TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QLockFile>
#include <QProcess>
#include <QSysInfo>
#include <QtTest>

#include <future>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using Stage = InstallJournal::Stage;
using Outcome = InstallTransaction::RecoveryOutcome;
using LockWait = InstallTransaction::LockWait;

namespace {

const QString BackupName = QStringLiteral("_update_backup_20250101_120000");
const QString AppName = QStringLiteral("Quillon App");
const QString DaemonRelative = QStringLiteral("QuillonServer/QuillonDaemon.exe");
const QMap<QString, QByteArray> OldFiles{{"Quillon.exe", "main 1"},
                                         {"readme.txt", "version 1"},
                                         {"lib/core.dll", "core 1"},
                                         {"lib/deep/data.bin", QByteArray(5000, 'o')},
                                         {"config.ini", "[App]\nVersion=1.0\n"}};
const QMap<QString, QByteArray> NewFiles{
    {"Quillon.exe", "main 2"},    {"readme.txt", "version 2!"},
    {"lib/core.dll", "core 2"},   {"lib/deep/data.bin", QByteArray(6000, 'n')},
    {"added/new.dll", "added 2"}, {"config.ini", "[App]\nVersion=2.0\n"}};

enum class Folder
{
    Old,
    New,
    Mixed,       // some files new, one added, one gone: a killed extraction
    HalfDeleted, // most files gone: a killed restore's deletion phase
};

enum class Backup
{
    None,
    Partial, // a killed backup, or a killed removal of the backup
    Whole,
    LacksFile,
    WrongSize,
};

// What a user without administrator rights could have prepared for the recovery, running as root, to act on.
enum class Forgery
{
    ProgramFolderWritableByOthers,
    ProgramFolderOwnedByNobody,
    FolderAboveWritableByOthers,
    JournalOwnedByNobody,
    JournalWritableByGroup,
    JournalIsALink,
    BackupFolderIsALink,
};

// A lock file that no live updater on this machine holds.
enum class StaleLock
{
    Empty,
    AnotherHost,
    AnotherMachineId,
    LinkToAFile,
    LinkToAPipe,
};

constexpr uid_t Nobody = 65534;
constexpr int ShortLockWaitMs = 50;

QString daemonCall(const QString &command)
{
    return QStringLiteral("QuillonDaemon.exe ") + command;
}

} // namespace

Q_DECLARE_METATYPE(Stage)
Q_DECLARE_METATYPE(Folder)
Q_DECLARE_METATYPE(Backup)
Q_DECLARE_METATYPE(Forgery)
Q_DECLARE_METATYPE(StaleLock)

class TestInstallRecovery final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void bringsBackOneWholeVersion_data();
    void bringsBackOneWholeVersion();
    void keepsWhatItCannotRecover_data();
    void keepsWhatItCannotRecover();
    void leavesOthersAlone();
    void refusesWhatOthersCouldHavePrepared_data();
    void refusesWhatOthersCouldHavePrepared();
    void takesALockNoLiveUpdaterHolds_data();
    void takesALockNoLiveUpdaterHolds();
    void waitsForALiveHolder();

private:
    void layOut(Folder folder, Backup backup);
    void writeJournal(Stage stage);
    Outcome recover(LockWait wait = LockWait::UntilFree);
    QString appPath() const { return appDir + QStringLiteral("/Quillon.exe"); }
    QString backupDir() const { return appDir + QLatin1Char('/') + BackupName; }
    QString lockPath() const { return appDir + QLatin1Char('/') + transaction::FolderLockFileName; }
    QStringList daemonCalls() const;

    std::unique_ptr<StandinWorkspace> workspace;
    QString appDir;
    // Made immutable by the test; made changeable again after it.
    QString immutableFolder;
    QByteArray daemonBytes;
};

void TestInstallRecovery::init()
{
    workspace = std::make_unique<StandinWorkspace>();
    QVERIFY(workspace->isValid());
    appDir = workspace->path() + QLatin1Char('/') + AppName;
}

void TestInstallRecovery::cleanup()
{
    if (!immutableFolder.isEmpty())
        QCOMPARE(QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), immutableFolder}), 0);
    immutableFolder.clear();
    workspace.reset();
}

// The daemon is the real stand-in in both versions, so that its commands are recorded.
void TestInstallRecovery::layOut(Folder folder, Backup backup)
{
    QVERIFY(workspace->installProduct(AppName + QLatin1Char('/') + DaemonRelative));
    writeFiles(appDir, folder == Folder::New ? NewFiles : OldFiles);
    if (backup != Backup::None) {
        QMap<QString, QByteArray> copies = OldFiles;
        copies.insert(DaemonRelative, readFile(appDir + QLatin1Char('/') + DaemonRelative));
        if (backup == Backup::Partial || backup == Backup::LacksFile)
            copies.remove(QStringLiteral("lib/deep/data.bin"));
        if (backup == Backup::WrongSize)
            copies.insert(QStringLiteral("readme.txt"), "version");
        writeFiles(backupDir(), copies);
        const QString daemon = QLatin1Char('/') + DaemonRelative;
        QVERIFY(QFile::setPermissions(backupDir() + daemon, QFile::permissions(appDir + daemon)));
    }
    if (folder == Folder::Mixed) {
        writeFiles(appDir, {{"readme.txt", "version 2!"}, {"added/new.dll", "added 2"}});
        QVERIFY(QFile::remove(appDir + QStringLiteral("/lib/core.dll")));
    }
    if (folder == Folder::HalfDeleted) {
        for (const QString &file :
             {QStringLiteral("Quillon.exe"), QStringLiteral("readme.txt"), DaemonRelative})
            QVERIFY(QFile::remove(appDir + QLatin1Char('/') + file));
    }
}

void TestInstallRecovery::writeJournal(Stage stage)
{
    InstallJournal::Record record{stage, BackupName, {}, QStringLiteral("2.0"), 60};
    QMap<QString, QByteArray> listed = OldFiles;
    listed.insert(DaemonRelative, daemonBytes);
    for (auto it = listed.cbegin(); it != listed.cend(); ++it)
        record.files.append({it.key(), it.value().size()});
    QVERIFY(InstallJournal(appDir).write(record));
}

// As --recover runs it, with a lock holder that cannot be judged waited for only briefly.
Outcome TestInstallRecovery::recover(LockWait wait)
{
    InstallTransaction::Observer observer;
    observer.restartDaemon = [](const QString &folder) { ProductDaemon(folder).restart(); };
    return InstallTransaction(observer, ShortLockWaitMs).recover(appPath(), wait);
}

QStringList TestInstallRecovery::daemonCalls() const
{
    return workspace->calls().filter(QRegularExpression(QStringLiteral("^QuillonDaemon\\.exe ")));
}

void TestInstallRecovery::bringsBackOneWholeVersion_data()
{
    QTest::addColumn<Stage>("stage");
    QTest::addColumn<Folder>("folder");
    QTest::addColumn<Backup>("backup");
    QTest::addColumn<bool>("newVersion");

    QTest::newRow("stopping processes") << Stage::Started << Folder::Old << Backup::None << false;
    QTest::newRow("backing up") << Stage::BackupStarted << Folder::Old << Backup::Partial << false;
    QTest::newRow("backup complete") << Stage::BackupComplete << Folder::Old << Backup::Whole << false;
    QTest::newRow("extracting") << Stage::ExtractionStarted << Folder::Mixed << Backup::Whole << false;
    QTest::newRow("restoring") << Stage::RestoreStarted << Folder::HalfDeleted << Backup::Whole << false;
    // A recovery killed in its own restore leaves the same state and a journal that still says so.
    QTest::newRow("recovery killed while restoring")
        << Stage::ExtractionStarted << Folder::HalfDeleted << Backup::Whole << false;
    QTest::newRow("restored, removing the backup")
        << Stage::Restored << Folder::Old << Backup::Partial << false;
    QTest::newRow("installed") << Stage::Installed << Folder::New << Backup::Whole << true;
    QTest::newRow("installed, backup gone") << Stage::Installed << Folder::New << Backup::None << true;
    // A trial whose watcher is gone, judged by a daemon service that does not run.
    QTest::newRow("on trial") << Stage::OnTrial << Folder::New << Backup::Whole << false;
    QTest::newRow("trial rolling back") << Stage::TrialRollBack << Folder::Mixed << Backup::Whole << false;
}

void TestInstallRecovery::bringsBackOneWholeVersion()
{
    QFETCH(Stage, stage);
    QFETCH(Folder, folder);
    QFETCH(Backup, backup);
    QFETCH(bool, newVersion);

    layOut(newVersion ? Folder::New : Folder::Old, Backup::None);
    daemonBytes = readFile(appDir + QLatin1Char('/') + DaemonRelative);
    const FolderSnapshot expected(appDir, FolderSnapshot::Scope::FilesOnly);
    QVERIFY(QDir(appDir).removeRecursively());
    layOut(folder, backup);
    writeJournal(stage);

    QCOMPARE(recover(), Outcome::Recovered);
    // Files only: a restore brings files back, and an emptied folder may stay. The backup, the journal and
    // the lock would show up here as files too.
    QCOMPARE(FolderSnapshot(appDir, FolderSnapshot::Scope::FilesOnly).differenceFrom(expected), QString());
    QVERIFY(!QFileInfo::exists(backupDir()));
    QTRY_COMPARE(daemonCalls(),
                 (QStringList{daemonCall(QStringLiteral("install")), daemonCall(QStringLiteral("run"))}));
    QCOMPARE(workspace->daemonCommandFolder(QStringLiteral("install")),
             appDir + QStringLiteral("/QuillonServer"));

    // Run again: nothing left to do, and the daemon is not touched again.
    QCOMPARE(recover(), Outcome::NothingToDo);
    QCOMPARE(FolderSnapshot(appDir, FolderSnapshot::Scope::FilesOnly).differenceFrom(expected), QString());
    QCOMPARE(daemonCalls().size(), 2);
}

void TestInstallRecovery::keepsWhatItCannotRecover_data()
{
    QTest::addColumn<QByteArray>("journal"); // empty: a valid journal of a killed extraction
    QTest::addColumn<Backup>("backup");
    QTest::addColumn<bool>("blockedFile");

    QTest::newRow("torn journal") << QByteArray(R"({"format":1,"stage":"extraction-sta)") << Backup::Whole
                                  << false;
    QTest::newRow("journal naming a folder outside")
        << QByteArray(R"({"format":1,"stage":"installed","backup":"../../victim"})") << Backup::Whole
        << false;
    QTest::newRow("backup lacks a listed file") << QByteArray() << Backup::LacksFile << false;
    QTest::newRow("backup file of another size") << QByteArray() << Backup::WrongSize << false;
    // The folder a backed-up file must go back to takes no new entries, even from root.
    QTest::newRow("a file cannot come back") << QByteArray() << Backup::Whole << true;
}

void TestInstallRecovery::keepsWhatItCannotRecover()
{
    QFETCH(QByteArray, journal);
    QFETCH(Backup, backup);
    QFETCH(bool, blockedFile);

    layOut(Folder::Mixed, backup);
    daemonBytes = readFile(appDir + QLatin1Char('/') + DaemonRelative);
    if (journal.isEmpty())
        writeJournal(Stage::ExtractionStarted);
    else
        writeFile(InstallJournal(appDir).path(), journal);
    if (blockedFile) {
        const QString lib = appDir + QStringLiteral("/lib");
        if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), lib}) != 0)
            QSKIP("no immutable folders here (needs root and a file system that has them)");
        immutableFolder = lib;
    }
    const FolderSnapshot backupBefore(backupDir());
    const FolderSnapshot before(appDir);

    QCOMPARE(recover(), Outcome::Failed);
    QCOMPARE(FolderSnapshot(backupDir()).differenceFrom(backupBefore), QString());
    QVERIFY(InstallJournal(appDir).exists());
    QCOMPARE(daemonCalls(), QStringList());
    // Only a restore that had every copy it needs may have changed the program folder.
    if (!blockedFile)
        QCOMPARE(FolderSnapshot(appDir).differenceFrom(before), QString());
    // Still refused when asked again.
    QCOMPARE(recover(), Outcome::Failed);
}

// Backup folders without a journal are someone else's; a folder another updater is working on is not
// touched until that updater lets go.
void TestInstallRecovery::leavesOthersAlone()
{
    layOut(Folder::Mixed, Backup::Whole);
    daemonBytes = readFile(appDir + QLatin1Char('/') + DaemonRelative);
    const FolderSnapshot stray(appDir);
    QCOMPARE(recover(), Outcome::NothingToDo);
    QCOMPARE(FolderSnapshot(appDir).differenceFrom(stray), QString());

    writeJournal(Stage::ExtractionStarted);
    const FolderSnapshot journaled(appDir);
    QLockFile otherUpdater(lockPath());
    QVERIFY(otherUpdater.tryLock(0));
    QCOMPARE(recover(LockWait::SkipWhenBusy), Outcome::NothingToDo);
    otherUpdater.unlock();
    QCOMPARE(FolderSnapshot(appDir).differenceFrom(journaled), QString());
    QCOMPARE(daemonCalls(), QStringList());

    QCOMPARE(recover(LockWait::SkipWhenBusy), Outcome::Recovered);
}

void TestInstallRecovery::refusesWhatOthersCouldHavePrepared_data()
{
    QTest::addColumn<Forgery>("forgery");

    QTest::newRow("program folder writable by others") << Forgery::ProgramFolderWritableByOthers;
    QTest::newRow("program folder owned by nobody") << Forgery::ProgramFolderOwnedByNobody;
    QTest::newRow("folder above writable by others") << Forgery::FolderAboveWritableByOthers;
    QTest::newRow("journal owned by nobody") << Forgery::JournalOwnedByNobody;
    QTest::newRow("journal writable by its group") << Forgery::JournalWritableByGroup;
    QTest::newRow("journal is a link") << Forgery::JournalIsALink;
    QTest::newRow("backup folder is a link to a root-only folder") << Forgery::BackupFolderIsALink;
}

// A journal of a finished installation would have the backup removed and the daemon run as root: from a
// journal someone else could have written, nothing is removed, nothing is run, and the run fails.
void TestInstallRecovery::refusesWhatOthersCouldHavePrepared()
{
    QFETCH(Forgery, forgery);
    layOut(Folder::New, Backup::Whole);
    writeJournal(Stage::Installed);
    const QString rootOnly = workspace->path() + QStringLiteral("/root-only");
    writeFiles(rootOnly, {{"secret.conf", "keep"}, {"sub/other.conf", "keep too"}});
    QVERIFY(QFile::setPermissions(rootOnly, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString journal = InstallJournal(appDir).path();
    switch (forgery) {
    case Forgery::ProgramFolderWritableByOthers:
        QVERIFY(QFile::setPermissions(appDir, QFile::permissions(appDir) | QFile::WriteOther));
        break;
    case Forgery::ProgramFolderOwnedByNobody:
        QCOMPARE(chown(QFile::encodeName(appDir).constData(), Nobody, Nobody), 0);
        break;
    case Forgery::FolderAboveWritableByOthers:
        QVERIFY(QFile::setPermissions(workspace->path(), QFile::permissions(workspace->path()) |
                                                             QFile::WriteOther | QFile::ExeOther));
        break;
    case Forgery::JournalOwnedByNobody:
        QCOMPARE(chown(QFile::encodeName(journal).constData(), Nobody, Nobody), 0);
        break;
    case Forgery::JournalWritableByGroup:
        QVERIFY(QFile::setPermissions(journal, QFile::permissions(journal) | QFile::WriteGroup));
        break;
    case Forgery::JournalIsALink:
        QVERIFY(QFile::rename(journal, rootOnly + QStringLiteral("/journal.json")));
        QVERIFY(QFile::link(rootOnly + QStringLiteral("/journal.json"), journal));
        break;
    case Forgery::BackupFolderIsALink:
        QVERIFY(QDir(backupDir()).removeRecursively());
        QVERIFY(QFile::link(rootOnly, backupDir()));
        break;
    }
    const FolderSnapshot programBefore(appDir);
    const FolderSnapshot rootOnlyBefore(rootOnly);

    QCOMPARE(recover(), Outcome::Failed);
    QCOMPARE(FolderSnapshot(appDir).differenceFrom(programBefore), QString());
    QCOMPARE(FolderSnapshot(rootOnly).differenceFrom(rootOnlyBefore), QString());
    QCOMPARE(daemonCalls(), QStringList());
}

void TestInstallRecovery::takesALockNoLiveUpdaterHolds_data()
{
    QTest::addColumn<StaleLock>("lock");

    // A power cut can leave the lock file empty or half written: it is not flushed.
    QTest::newRow("empty") << StaleLock::Empty;
    QTest::newRow("another host's") << StaleLock::AnotherHost;
    QTest::newRow("this host's name, another machine's id") << StaleLock::AnotherMachineId;
    QTest::newRow("a link to a file") << StaleLock::LinkToAFile;
    QTest::newRow("a link to a pipe") << StaleLock::LinkToAPipe;
}

// Taken after the (shortened) wait and the interrupted run recovered; what a link leads to is not touched.
void TestInstallRecovery::takesALockNoLiveUpdaterHolds()
{
    QFETCH(StaleLock, lock);
    layOut(Folder::New, Backup::Whole);
    writeJournal(Stage::Installed);
    const QByteArray foreignHolder =
        QByteArray::number(QCoreApplication::applicationPid()) + "\nFarlinkUpdater\nanother-host\n";
    const QString target = workspace->path() + QStringLiteral("/lock-target");
    switch (lock) {
    case StaleLock::Empty:
        writeFile(lockPath(), QByteArray());
        break;
    case StaleLock::AnotherHost:
        writeFile(lockPath(), foreignHolder);
        break;
    case StaleLock::AnotherMachineId:
        writeFile(lockPath(),
                  QByteArray(foreignHolder).replace("another-host", QSysInfo::machineHostName().toUtf8()) +
                      "0123456789abcdef\n");
        break;
    case StaleLock::LinkToAFile:
        writeFile(target, foreignHolder);
        QVERIFY(QFile::link(target, lockPath()));
        break;
    case StaleLock::LinkToAPipe:
        QCOMPARE(mkfifo(QFile::encodeName(target).constData(), 0600), 0);
        QVERIFY(QFile::link(target, lockPath()));
        break;
    }

    QCOMPARE(recover(), Outcome::Recovered);
    QVERIFY(!entryExists(lockPath()));
    QVERIFY(!InstallJournal(appDir).exists());
    if (lock == StaleLock::LinkToAFile)
        QCOMPARE(readFile(target), foreignHolder);
    if (lock == StaleLock::LinkToAPipe)
        QVERIFY(entryExists(target));
}

// An updater at work on the folder is waited for, however long the wait for an unjudged holder is.
void TestInstallRecovery::waitsForALiveHolder()
{
    layOut(Folder::New, Backup::Whole);
    writeJournal(Stage::Installed);
    QLockFile otherUpdater(lockPath());
    QVERIFY(otherUpdater.tryLock(0));

    std::future<Outcome> outcome = std::async(std::launch::async, [this] { return recover(); });
    QVERIFY(outcome.wait_for(std::chrono::milliseconds(40 * ShortLockWaitMs)) == std::future_status::timeout);
    QVERIFY(InstallJournal(appDir).exists());
    otherUpdater.unlock();
    QCOMPARE(outcome.get(), Outcome::Recovered);
}

QTEST_GUILESS_MAIN(TestInstallRecovery)
#include "tst_installrecovery.moc"
