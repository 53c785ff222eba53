#include "EngineProbe.h"
#include "FolderSnapshot.h"
#include "MessageLog.h"
#include "TestFiles.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using transaction::BackupMarker;
using transaction::BackupTimeFormat;

namespace {

QString numberedFile(int number)
{
    // A third of them in a sub-folder, so that the walk has to descend.
    const QString name = QStringLiteral("f%1.txt").arg(number, 2, 10, QLatin1Char('0'));
    return number % 3 == 0 ? QStringLiteral("sub/") + name : name;
}

// The order in which a walk meets the files belongs to the file system, so the
// test asks the file system rather than assume one.
QStringList walkOrder(const QString &root)
{
    QStringList relative;
    QDirIterator it(root, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        relative.append(QDir(root).relativeFilePath(it.next()));
    return relative;
}

QString backupNameAt(qint64 secondsSinceEpoch)
{
    return BackupMarker + QDateTime::fromSecsSinceEpoch(secondsSinceEpoch).toString(BackupTimeFormat);
}

enum class Planted
{
    LinkToFolder,
    DanglingLink,
    File,
    // A backup folder made by another engine for the same program folder.
    OtherRunsBackup,
};

// What happens, after the first progress report, to files the backup has not copied yet.
enum class Swap
{
    None,
    OneRemoved,
    AllRemoved,
    OneByLinkToSecret,
};

} // namespace

Q_DECLARE_METATYPE(Planted)
Q_DECLARE_METATYPE(Swap)

class BackupRestoreTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void everyEntryBackedUpAndRestored_data();
    void everyEntryBackedUpAndRestored();
    void programFolderWithoutSelectableFiles();
    void backupFolderCannotBeCreated();
    void plantedBackupNamesAreNeverUsed_data();
    void plantedBackupNamesAreNeverUsed();
    void backupProgress_data();
    void backupProgress();
    void restoreProgress_data();
    void restoreProgress();
    void restoreWithoutBackupFolder_data();
    void restoreWithoutBackupFolder();

private:
    void writeNumberedFiles(int count);
    // Makes the file unchangeable, even for root, until cleanup; false where the system cannot.
    bool lock(const QString &path);
    QString app(const QString &relative) const { return appDir + QLatin1Char('/') + relative; }
    QString backup(const QString &relative) const
    {
        return engine->backupDir() + QLatin1Char('/') + relative;
    }
    QString backupName() const { return QFileInfo(engine->backupDir()).fileName(); }

    std::unique_ptr<QTemporaryDir> scratch;
    std::unique_ptr<EngineProbe> engine;
    std::unique_ptr<EngineSignalLog> signalLog;
    QString appDir;
    QStringList locked;
};

void BackupRestoreTest::init()
{
    scratch = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch->isValid());
    appDir = scratch->filePath(QStringLiteral("Quillon"));
    QVERIFY(QDir().mkpath(appDir));
    engine = std::make_unique<EngineProbe>();
    engine->setAppDir(appDir);
    signalLog = std::make_unique<EngineSignalLog>(engine.get());
}

void BackupRestoreTest::cleanup()
{
    for (const QString &path : qAsConst(locked))
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path});
    locked.clear();
}

bool BackupRestoreTest::lock(const QString &path)
{
    if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) != 0)
        return false;
    locked.append(path);
    return true;
}

void BackupRestoreTest::writeNumberedFiles(int count)
{
    for (int number = 1; number <= count; ++number)
        writeFile(app(numberedFile(number)), "content of file " + QByteArray::number(number));
}

void BackupRestoreTest::everyEntryBackedUpAndRestored_data()
{
    QTest::addColumn<QString>("parentFolder");

    QTest::newRow("plain parent folder") << QStringLiteral("Apps");
    // The marker counts only inside the program folder, never in the folders above it.
    QTest::newRow("parent folder named with the marker") << QStringLiteral("old_update_backup_2023");
}

void BackupRestoreTest::everyEntryBackedUpAndRestored()
{
    QFETCH(QString, parentFolder);
    appDir = scratch->filePath(parentFolder + QStringLiteral("/Quillon"));
    engine->setAppDir(appDir);
    const QStringList files{QStringLiteral("app.exe"),
                            QStringLiteral("QuillonServer/QuillonDaemon.exe"),
                            QStringLiteral("QuillonServer/plugins/codec.dll"),
                            QStringLiteral(".settings"),
                            QStringLiteral(".hiddenfolder/inside.txt"),
                            QStringLiteral("QuillonServer/.state"),
                            QStringLiteral("notes_update_backup_.txt"),
                            QStringLiteral("plugins")};
    for (const QString &relative : files)
        writeFile(app(relative), relative.toUtf8() + " old bytes");
    QVERIFY(QDir().mkpath(app(QStringLiteral("logs/empty"))));
    writeFile(app(QStringLiteral("_update_backup_20200101_000000/app.exe")), "an earlier backup");
    const QString elsewhere = scratch->filePath(QStringLiteral("elsewhere"));
    writeFile(elsewhere + QStringLiteral("/behind-link.txt"), "behind a link");
    QVERIFY(QFile::link(elsewhere, app(QStringLiteral("linked"))));
    const FolderSnapshot before(appDir);
    const FolderSnapshot outsideBefore(elsewhere);

    QVERIFY(engine->createBackup());
    QStringList expectedBackup = files;
    expectedBackup.sort();
    QCOMPARE(FolderSnapshot(engine->backupDir(), FolderSnapshot::Scope::FilesOnly).paths(), expectedBackup);
    for (const QString &relative : files)
        QCOMPARE(readFile(backup(relative)), readFile(app(relative)));
    // The link itself is copied, not what it points to.
    QCOMPARE(QFileInfo(backup(QStringLiteral("linked"))).symLinkTarget(), elsewhere);
    QCOMPARE(signalLog->of(QStringLiteral("installProgress")), QStringList{QStringLiteral("80 Files: 9/9 ")});

    // What a failed extraction leaves: changed files, hidden ones too, new ones, a missing one, a link out,
    // a file that became a folder, a folder that became a file, and new folders.
    writeFile(app(QStringLiteral("app.exe")), "half-written new version");
    writeFile(app(QStringLiteral(".settings")), "new hidden settings");
    writeFile(app(QStringLiteral("added.dll")), "new in the package");
    writeFile(app(QStringLiteral(".newhidden")), "hidden and new");
    QVERIFY(QFile::remove(app(QStringLiteral("QuillonServer/plugins/codec.dll"))));
    QVERIFY(QFile::link(elsewhere, app(QStringLiteral("QuillonServer/out"))));
    QVERIFY(QFile::remove(app(QStringLiteral("plugins"))));
    writeFile(app(QStringLiteral("plugins/codec.dat")), "new codec");
    QVERIFY(QDir(app(QStringLiteral(".hiddenfolder"))).removeRecursively());
    writeFile(app(QStringLiteral(".hiddenfolder")), "a file now");
    writeFile(app(QStringLiteral("new/deeper/module.dll")), "new module");
    signalLog->lines.clear();

    QVERIFY(engine->restoreBackup());
    QCOMPARE(FolderSnapshot(appDir, FolderSnapshot::Scope::Everything, backupName()).differenceFrom(before),
             QString());
    QCOMPARE(FolderSnapshot(elsewhere).differenceFrom(outsideBefore), QString());
    QCOMPARE(signalLog->of(QStringLiteral("installProgress")),
             QStringList{QStringLiteral("100 Restoring files (9/9)")});
    QVERIFY(!engine->backupMustBeKept());
}

void BackupRestoreTest::programFolderWithoutSelectableFiles()
{
    writeFile(app(QStringLiteral("_update_backup_20200101_000000/app.exe")), "an earlier backup");
    const FolderSnapshot before(appDir);
    MessageLog log;

    QVERIFY(engine->createBackup());
    QVERIFY(log.contains(QStringLiteral("备份完成，成功率: 全部成功")));
    QVERIFY(QFileInfo(engine->backupDir()).isDir());

    QVERIFY(!engine->restoreBackup());
    QVERIFY(log.contains(QStringLiteral("备份目录为空")));
    QCOMPARE(FolderSnapshot(appDir, FolderSnapshot::Scope::Everything, backupName()).differenceFrom(before),
             QString());
    QCOMPARE(signalLog->lines, QStringList());
}

void BackupRestoreTest::backupFolderCannotBeCreated()
{
    writeFile(app(QStringLiteral("app.exe")), "program");
    // A regular file where the program folder would have to be.
    engine->setAppDir(app(QStringLiteral("app.exe")));
    MessageLog log;

    QVERIFY(!engine->createBackup());
    QCOMPARE(log.startingWith(QStringLiteral("无法创建备份目录:")).size(), 1);
    QCOMPARE(readFile(app(QStringLiteral("app.exe"))), QByteArray("program"));
    QCOMPARE(signalLog->lines, QStringList());
}

void BackupRestoreTest::plantedBackupNamesAreNeverUsed_data()
{
    QTest::addColumn<Planted>("planted");
    QTest::newRow("link to a folder elsewhere") << Planted::LinkToFolder;
    QTest::newRow("dangling link") << Planted::DanglingLink;
    QTest::newRow("file") << Planted::File;
    QTest::newRow("another run's backup in the same second") << Planted::OtherRunsBackup;
}

// What someone could have put under the names of the coming seconds, or what another window's run made in
// the same second: the backup takes a new folder of its own, and removing it leaves everything else alone.
void BackupRestoreTest::plantedBackupNamesAreNeverUsed()
{
    QFETCH(Planted, planted);
    writeNumberedFiles(4);
    const QString elsewhere = scratch->filePath(QStringLiteral("elsewhere"));
    writeFile(elsewhere + QStringLiteral("/precious.txt"), "keep");
    EngineProbe other;
    if (planted == Planted::OtherRunsBackup) {
        other.setAppDir(appDir);
        QVERIFY(other.createBackup());
    } else {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        for (qint64 second = now; second <= now + 5; ++second) {
            for (const QString &suffix : {QString(), QStringLiteral("_1")}) {
                const QString name = app(backupNameAt(second) + suffix);
                if (planted == Planted::LinkToFolder)
                    QVERIFY(QFile::link(elsewhere, name));
                else if (planted == Planted::DanglingLink)
                    QVERIFY(QFile::link(elsewhere + QStringLiteral("/none"), name));
                else
                    writeFile(name, "planted");
            }
        }
    }
    const FolderSnapshot programBefore(appDir);
    const FolderSnapshot elsewhereBefore(elsewhere);

    QVERIFY(engine->createBackup());
    QVERIFY(engine->backupDir() != other.backupDir());
    QVERIFY(QFileInfo(engine->backupDir()).isDir() && !QFileInfo(engine->backupDir()).isSymLink());
    QCOMPARE(readFile(backup(numberedFile(3))), readFile(app(numberedFile(3))));
    QCOMPARE(
        FolderSnapshot(appDir, FolderSnapshot::Scope::Everything, backupName()).differenceFrom(programBefore),
        QString());
    QCOMPARE(FolderSnapshot(elsewhere).differenceFrom(elsewhereBefore), QString());

    // Closing this window and this run's clean-up take only what this run made.
    engine->cancelUpdate();
    QVERIFY(entryExists(engine->backupDir()));
    engine->cleanupBackup();
    QVERIFY(!entryExists(engine->backupDir()));
    QCOMPARE(FolderSnapshot(appDir).differenceFrom(programBefore), QString());
    QCOMPARE(FolderSnapshot(elsewhere).differenceFrom(elsewhereBefore), QString());
}

void BackupRestoreTest::backupProgress_data()
{
    QTest::addColumn<int>("fileCount");
    QTest::addColumn<Swap>("swap");
    QTest::addColumn<QStringList>("expectedProgress");

    const QString text = QStringLiteral("%1 Files: %2/%3 ");
    const QStringList progress25{text.arg(77).arg(10).arg(25), text.arg(79).arg(20).arg(25),
                                 text.arg(80).arg(25).arg(25)};
    QTest::newRow("one file") << 1 << Swap::None << QStringList{text.arg(80).arg(1).arg(1)};
    QTest::newRow("nine files") << 9 << Swap::None << QStringList{text.arg(80).arg(9).arg(9)};
    QTest::newRow("ten files, one report") << 10 << Swap::None << QStringList{text.arg(80).arg(10).arg(10)};
    QTest::newRow("eleven files") << 11 << Swap::None
                                  << QStringList{text.arg(79).arg(10).arg(11), text.arg(80).arg(11).arg(11)};
    QTest::newRow("25 files") << 25 << Swap::None << progress25;
    // The files change after the walk, as while a program still writes in the folder.
    QTest::newRow("25 files, one removed on the way") << 25 << Swap::OneRemoved << progress25;
    QTest::newRow("25 files, the last 15 removed on the way") << 25 << Swap::AllRemoved << progress25;
    // The walk saw a file; the copy must not follow what has its name now.
    QTest::newRow("25 files, one replaced by a link on the way")
        << 25 << Swap::OneByLinkToSecret << progress25;
}

void BackupRestoreTest::backupProgress()
{
    QFETCH(int, fileCount);
    QFETCH(Swap, swap);
    QFETCH(QStringList, expectedProgress);
    writeNumberedFiles(fileCount);
    const QString secret = scratch->filePath(QStringLiteral("secret.txt"));
    writeFile(secret, "not the program's");
    QStringList swapped;
    connect(engine.get(), &UpdateEngine::installProgress, this, [&] {
        if (swap == Swap::None || !swapped.isEmpty())
            return;
        for (int number = 1; number <= fileCount; ++number) {
            if (!entryExists(backup(numberedFile(number))) && (swapped.isEmpty() || swap == Swap::AllRemoved))
                swapped.append(numberedFile(number));
        }
        for (const QString &relative : qAsConst(swapped)) {
            QVERIFY(QFile::remove(app(relative)));
            if (swap == Swap::OneByLinkToSecret)
                QVERIFY(QFile::link(secret, app(relative)));
        }
    });
    MessageLog log;

    const bool complete = engine->createBackup();
    QCOMPARE(complete, swapped.isEmpty());
    QCOMPARE(signalLog->of(QStringLiteral("installProgress")), expectedProgress);
    QCOMPARE(swapped.size(), swap == Swap::None ? 0 : swap == Swap::AllRemoved ? fileCount - 10 : 1);
    for (int number = 1; number <= fileCount; ++number) {
        const QString relative = numberedFile(number);
        QCOMPARE(readFile(backup(relative)),
                 swapped.contains(relative) ? QByteArray("<missing>") : readFile(app(relative)));
    }
    QStringList expectedFailures;
    for (const QString &relative : qAsConst(swapped))
        expectedFailures.append(QStringLiteral("备份文件失败: ") + relative);
    expectedFailures.sort();
    QStringList failures = log.startingWith(QStringLiteral("备份文件失败:"));
    failures.sort();
    QCOMPARE(failures, expectedFailures);
    QVERIFY(log.contains(swapped.isEmpty() ? QStringLiteral("备份完成，成功率: 全部成功")
                                           : QStringLiteral("备份完成，成功率: 部分失败")));
    QCOMPARE(readFile(secret), QByteArray("not the program's"));
}

void BackupRestoreTest::restoreProgress_data()
{
    // Files the extraction changed that nothing may then change back (locked), by their place in the walk.
    QTest::addColumn<QList<int>>("failingPositions");
    // Files that nothing may change but that are as the backup holds them.
    QTest::addColumn<QList<int>>("lockedUnchanged");
    QTest::addColumn<QStringList>("expectedProgress");

    const auto line = [](int percent, int restored) {
        return QStringLiteral("%1 Restoring files (%2/25)").arg(percent).arg(restored);
    };
    const QStringList allRestored{line(94, 10), line(98, 20), line(100, 25)};
    QList<int> everyPosition;
    QStringList nothingRestored;
    for (int position = 1; position <= 25; ++position) {
        everyPosition.append(position);
        nothingRestored.append(line(90, 0));
    }

    // Anything short of every file is not the previous version: the result is false.
    QTest::newRow("all 25 restored") << QList<int>() << QList<int>() << allRestored;
    QTest::newRow("the first fails: 0 is reported")
        << QList<int>{1} << QList<int>() << QStringList{line(90, 0), line(94, 10), line(98, 20)};
    QTest::newRow("the tenth fails") << QList<int>{10} << QList<int>()
                                     << QStringList{line(94, 10), line(98, 20)};
    QTest::newRow("the eleventh fails: 10 is reported twice")
        << QList<int>{11} << QList<int>() << QStringList{line(94, 10), line(94, 10), line(98, 20)};
    QTest::newRow("the last fails: no final report")
        << QList<int>{25} << QList<int>() << QStringList{line(94, 10), line(98, 20)};
    QTest::newRow("every file fails") << everyPosition << QList<int>() << nothingRestored;
    // Compared before anything is written: already right counts as restored.
    QTest::newRow("unchangeable files already right") << QList<int>() << QList<int>{1, 12, 25} << allRestored;
}

void BackupRestoreTest::restoreProgress()
{
    QFETCH(QList<int>, failingPositions);
    QFETCH(QList<int>, lockedUnchanged);
    QFETCH(QStringList, expectedProgress);
    writeNumberedFiles(25);
    QVERIFY(engine->createBackup());
    const FolderSnapshot before(appDir, FolderSnapshot::Scope::Everything, backupName());
    const QStringList order = walkOrder(engine->backupDir());
    QCOMPARE(order.size(), 25);
    QStringList failing;
    for (int position : failingPositions) {
        failing.append(order.at(position - 1));
        writeFile(app(failing.last()), "changed by the extraction");
        if (!lock(app(failing.last())))
            QSKIP("the file system cannot make a file unchangeable (chattr +i)");
    }
    for (int position : lockedUnchanged) {
        if (!lock(app(order.at(position - 1))))
            QSKIP("the file system cannot make a file unchangeable (chattr +i)");
    }
    for (int position = 2; position <= 25; position += 4) {
        if (!failingPositions.contains(position) && !lockedUnchanged.contains(position))
            writeFile(app(order.at(position - 1)), "changed and free to change back");
    }
    signalLog->lines.clear();
    MessageLog log;

    QCOMPARE(engine->restoreBackup(), failing.isEmpty());
    QCOMPARE(signalLog->of(QStringLiteral("installProgress")), expectedProgress);
    QVERIFY(log.contains(QStringLiteral("恢复完成: 成功 %1/25").arg(25 - failing.size())));
    QCOMPARE(engine->backupMustBeKept(), !failing.isEmpty());
    for (const QString &relative : order) {
        if (failing.contains(relative)) {
            QCOMPARE(readFile(app(relative)), QByteArray("changed by the extraction"));
            QVERIFY(log.contains(QStringLiteral("恢复文件失败: ") + relative));
            QVERIFY(log.contains(QStringLiteral("未恢复的文件: ") + relative));
        } else {
            QCOMPARE(readFile(app(relative)), readFile(backup(relative)));
        }
    }
    if (failing.isEmpty())
        QCOMPARE(
            FolderSnapshot(appDir, FolderSnapshot::Scope::Everything, backupName()).differenceFrom(before),
            QString());
}

void BackupRestoreTest::restoreWithoutBackupFolder_data()
{
    QTest::addColumn<QString>("backupPath");
    QTest::addColumn<QString>("planted");

    const QString name = QStringLiteral("_update_backup_20240102_030405");
    QTest::newRow("no path") << QString() << QString();
    QTest::newRow("folder missing") << name << QString();
    QTest::newRow("a file, not a folder") << name << QStringLiteral("file");
    // A restore through it would copy whatever the link leads to into the program folder.
    QTest::newRow("a link to a folder holding a backup") << name << QStringLiteral("link");
}

void BackupRestoreTest::restoreWithoutBackupFolder()
{
    QFETCH(QString, backupPath);
    QFETCH(QString, planted);
    writeNumberedFiles(3);
    const QString elsewhere = scratch->filePath(QStringLiteral("elsewhere"));
    writeFile(elsewhere + QStringLiteral("/f01.txt"), "not the program's");
    engine->setBackupDir(backupPath.isEmpty() ? QString() : app(backupPath));
    if (planted == QLatin1String("file"))
        writeFile(engine->backupDir(), "not a folder");
    else if (planted == QLatin1String("link"))
        QVERIFY(QFile::link(elsewhere, engine->backupDir()));
    const FolderSnapshot before(appDir);
    MessageLog log;

    QVERIFY(!engine->restoreBackup());
    QCOMPARE(log.startingWith(QStringLiteral("备份目录不存在或为空:")).size(), 1);
    QCOMPARE(FolderSnapshot(appDir).differenceFrom(before), QString());
    QCOMPARE(signalLog->lines, QStringList());
}

QTEST_GUILESS_MAIN(BackupRestoreTest)
#include "tst_backuprestore.moc"
