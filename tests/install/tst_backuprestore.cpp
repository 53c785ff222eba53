#include "EngineProbe.h"
#include "FolderSnapshot.h"
#include "MessageLog.h"
#include "TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString BackupName = QStringLiteral("_update_backup_20240102_030405");

// Replaces a file by a folder of the same name: it can then be neither deleted
// nor written over by a file copy, whoever runs the test (root too).
void blockWithFolder(const QString &path)
{
    QFile::remove(path);
    QVERIFY(QDir().mkpath(path));
}

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

} // namespace

class BackupRestoreTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void everyEntryBackedUpAndRestored_data();
    void everyEntryBackedUpAndRestored();
    void programFolderWithoutSelectableFiles();
    void backupFolderCannotBeCreated();
    void backupProgress_data();
    void backupProgress();
    void restoreProgress_data();
    void restoreProgress();
    void restoreWithoutBackupFolder_data();
    void restoreWithoutBackupFolder();

private:
    void writeNumberedFiles(int count);
    QString app(const QString &relative) const { return appDir + QLatin1Char('/') + relative; }
    QString backup(const QString &relative) const { return backupDir + QLatin1Char('/') + relative; }

    std::unique_ptr<QTemporaryDir> scratch;
    std::unique_ptr<EngineProbe> engine;
    std::unique_ptr<EngineSignalLog> signalLog;
    QString appDir;
    QString backupDir;
};

void BackupRestoreTest::init()
{
    scratch = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch->isValid());
    appDir = scratch->filePath(QStringLiteral("Quillon"));
    backupDir = appDir + QLatin1Char('/') + BackupName;
    QVERIFY(QDir().mkpath(appDir));
    engine = std::make_unique<EngineProbe>();
    engine->appDir = appDir;
    engine->backupDir = backupDir;
    signalLog = std::make_unique<EngineSignalLog>(engine.get());
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
    backupDir = appDir + QLatin1Char('/') + BackupName;
    engine->appDir = appDir;
    engine->backupDir = backupDir;
    const QStringList files{QStringLiteral("app.exe"),
                            QStringLiteral("QuillonServer/QuillonDaemon.exe"),
                            QStringLiteral("QuillonServer/plugins/codec.dll"),
                            QStringLiteral(".settings"),
                            QStringLiteral(".hiddenfolder/inside.txt"),
                            QStringLiteral("QuillonServer/.state"),
                            QStringLiteral("notes_update_backup_.txt")};
    for (const QString &relative : files)
        writeFile(app(relative), relative.toUtf8() + " old bytes");
    writeFile(app(QStringLiteral("_update_backup_20200101_000000/app.exe")), "an earlier backup");
    const QString elsewhere = scratch->filePath(QStringLiteral("elsewhere"));
    writeFile(elsewhere + QStringLiteral("/behind-link.txt"), "behind a link");
    QVERIFY(QFile::link(elsewhere, app(QStringLiteral("linked"))));
    const FolderSnapshot before(appDir);
    const FolderSnapshot outsideBefore(elsewhere);

    QVERIFY(engine->createBackup());
    QStringList expectedBackup = files;
    expectedBackup.sort();
    QCOMPARE(FolderSnapshot(backupDir, FolderSnapshot::Scope::FilesOnly).paths(), expectedBackup);
    for (const QString &relative : files)
        QCOMPARE(readFile(backup(relative)), readFile(app(relative)));
    // The link itself is copied, not what it points to.
    QCOMPARE(QFileInfo(backup(QStringLiteral("linked"))).symLinkTarget(), elsewhere);
    QCOMPARE(signalLog->of(QStringLiteral("installProgress")), QStringList{QStringLiteral("80 Files: 8/8 ")});

    // What a failed extraction leaves: changed files, hidden ones too, new ones, a missing one, a link out.
    writeFile(app(QStringLiteral("app.exe")), "half-written new version");
    writeFile(app(QStringLiteral(".settings")), "new hidden settings");
    writeFile(app(QStringLiteral("added.dll")), "new in the package");
    writeFile(app(QStringLiteral(".newhidden")), "hidden and new");
    QVERIFY(QFile::remove(app(QStringLiteral("QuillonServer/plugins/codec.dll"))));
    QVERIFY(QFile::link(elsewhere, app(QStringLiteral("QuillonServer/out"))));
    signalLog->lines.clear();

    QVERIFY(engine->restoreBackup());
    QCOMPARE(FolderSnapshot(appDir, FolderSnapshot::Scope::Everything, BackupName).differenceFrom(before),
             QString());
    QCOMPARE(FolderSnapshot(elsewhere).differenceFrom(outsideBefore), QString());
    QCOMPARE(signalLog->of(QStringLiteral("installProgress")),
             QStringList{QStringLiteral("100 Restoring files (8/8)")});
    QVERIFY(!engine->backupMustBeKept);
}

void BackupRestoreTest::programFolderWithoutSelectableFiles()
{
    writeFile(app(QStringLiteral("_update_backup_20200101_000000/app.exe")), "an earlier backup");
    const FolderSnapshot before(appDir);
    MessageLog log;

    QVERIFY(engine->createBackup());
    QVERIFY(log.contains(QStringLiteral("备份完成，成功率: 全部成功")));
    QVERIFY(QDir(backupDir).exists());

    QVERIFY(!engine->restoreBackup());
    QVERIFY(log.contains(QStringLiteral("备份目录为空")));
    QCOMPARE(FolderSnapshot(appDir, FolderSnapshot::Scope::Everything, BackupName).differenceFrom(before),
             QString());
    QCOMPARE(signalLog->lines, QStringList());
}

void BackupRestoreTest::backupFolderCannotBeCreated()
{
    writeFile(app(QStringLiteral("app.exe")), "program");
    // A regular file where a parent folder of the backup would have to be.
    engine->backupDir = app(QStringLiteral("app.exe/") + BackupName);
    MessageLog log;

    QVERIFY(!engine->createBackup());
    QCOMPARE(log.startingWith(QStringLiteral("无法创建备份目录:")).size(), 1);
    QCOMPARE(readFile(app(QStringLiteral("app.exe"))), QByteArray("program"));
    QCOMPARE(signalLog->lines, QStringList());
}

void BackupRestoreTest::backupProgress_data()
{
    QTest::addColumn<int>("fileCount");
    // The file whose copy fails: a folder in its place, or (negative) a stale copy.
    QTest::addColumn<int>("blockedFile");
    QTest::addColumn<QStringList>("expectedProgress");
    QTest::addColumn<bool>("expectedResult");

    const QString text = QStringLiteral("%1 Files: %2/%3 ");
    QTest::newRow("one file") << 1 << 0 << QStringList{text.arg(80).arg(1).arg(1)} << true;
    QTest::newRow("nine files") << 9 << 0 << QStringList{text.arg(80).arg(9).arg(9)} << true;
    QTest::newRow("ten files, one report") << 10 << 0 << QStringList{text.arg(80).arg(10).arg(10)} << true;
    QTest::newRow("eleven files") << 11 << 0
                                  << QStringList{text.arg(79).arg(10).arg(11), text.arg(80).arg(11).arg(11)}
                                  << true;
    QTest::newRow("25 files, one fails")
        << 25 << 7
        << QStringList{text.arg(77).arg(10).arg(25), text.arg(79).arg(20).arg(25),
                       text.arg(80).arg(25).arg(25)}
        << false;
    QTest::newRow("25 files, the last fails")
        << 25 << 25
        << QStringList{text.arg(77).arg(10).arg(25), text.arg(79).arg(20).arg(25),
                       text.arg(80).arg(25).arg(25)}
        << false;
    // A copy left by an earlier attempt is never overwritten: the backup fails instead.
    QTest::newRow("25 files, a stale copy in the way")
        << 25 << -12
        << QStringList{text.arg(77).arg(10).arg(25), text.arg(79).arg(20).arg(25),
                       text.arg(80).arg(25).arg(25)}
        << false;
}

void BackupRestoreTest::backupProgress()
{
    QFETCH(int, fileCount);
    QFETCH(int, blockedFile);
    QFETCH(QStringList, expectedProgress);
    QFETCH(bool, expectedResult);
    writeNumberedFiles(fileCount);
    const bool staleCopy = blockedFile < 0;
    blockedFile = qAbs(blockedFile);
    if (staleCopy)
        writeFile(backup(numberedFile(blockedFile)), "stale");
    else if (blockedFile > 0)
        blockWithFolder(backup(numberedFile(blockedFile)));
    MessageLog log;

    QCOMPARE(engine->createBackup(), expectedResult);
    QCOMPARE(signalLog->of(QStringLiteral("installProgress")), expectedProgress);
    for (int number = 1; number <= fileCount; ++number) {
        if (number != blockedFile)
            QCOMPARE(readFile(backup(numberedFile(number))), readFile(app(numberedFile(number))));
    }
    const QStringList failures = log.startingWith(QStringLiteral("备份文件失败:"));
    QCOMPARE(failures, blockedFile > 0
                           ? QStringList{QStringLiteral("备份文件失败: ") + numberedFile(blockedFile)}
                           : QStringList());
    QVERIFY(log.contains(expectedResult ? QStringLiteral("备份完成，成功率: 全部成功")
                                        : QStringLiteral("备份完成，成功率: 部分失败")));
    if (staleCopy)
        QCOMPARE(readFile(backup(numberedFile(blockedFile))), QByteArray("stale"));
}

void BackupRestoreTest::restoreProgress_data()
{
    QTest::addColumn<QList<int>>("failingPositions");
    QTest::addColumn<QStringList>("expectedProgress");
    QTest::addColumn<bool>("expectedResult");

    const auto line = [](int percent, int restored) {
        return QStringLiteral("%1 Restoring files (%2/25)").arg(percent).arg(restored);
    };
    QList<int> everyPosition;
    QStringList nothingRestored;
    for (int position = 1; position <= 25; ++position) {
        everyPosition.append(position);
        nothingRestored.append(line(90, 0));
    }

    // Anything short of every file is not the previous version: the result is false.
    QTest::newRow("all 25 restored") << QList<int>() << QStringList{line(94, 10), line(98, 20), line(100, 25)}
                                     << true;
    QTest::newRow("the first fails: 0 is reported")
        << QList<int>{1} << QStringList{line(90, 0), line(94, 10), line(98, 20)} << false;
    QTest::newRow("the tenth fails") << QList<int>{10} << QStringList{line(94, 10), line(98, 20)} << false;
    QTest::newRow("the eleventh fails: 10 is reported twice")
        << QList<int>{11} << QStringList{line(94, 10), line(94, 10), line(98, 20)} << false;
    QTest::newRow("the last fails: no final report")
        << QList<int>{25} << QStringList{line(94, 10), line(98, 20)} << false;
    QTest::newRow("every file fails") << everyPosition << nothingRestored << false;
}

void BackupRestoreTest::restoreProgress()
{
    QFETCH(QList<int>, failingPositions);
    QFETCH(QStringList, expectedProgress);
    QFETCH(bool, expectedResult);
    writeNumberedFiles(25);
    QVERIFY(engine->createBackup());
    const FolderSnapshot before(appDir, FolderSnapshot::Scope::Everything, BackupName);
    const QStringList order = walkOrder(backupDir);
    QCOMPARE(order.size(), 25);
    QStringList failing;
    for (int position : failingPositions) {
        failing.append(order.at(position - 1));
        blockWithFolder(app(failing.last()));
    }
    signalLog->lines.clear();
    MessageLog log;

    QCOMPARE(engine->restoreBackup(), expectedResult);
    QCOMPARE(signalLog->of(QStringLiteral("installProgress")), expectedProgress);
    QVERIFY(log.contains(QStringLiteral("恢复完成: 成功 %1/25").arg(25 - failing.size())));
    QCOMPARE(engine->backupMustBeKept, !failing.isEmpty());
    for (const QString &relative : order) {
        if (failing.contains(relative)) {
            QVERIFY(QFileInfo(app(relative)).isDir());
            QVERIFY(log.contains(QStringLiteral("恢复文件失败: ") + relative));
            QVERIFY(log.contains(QStringLiteral("未恢复的文件: ") + relative));
        } else {
            QCOMPARE(readFile(app(relative)), readFile(backup(relative)));
        }
    }
    if (failing.isEmpty())
        QCOMPARE(FolderSnapshot(appDir, FolderSnapshot::Scope::Everything, BackupName).differenceFrom(before),
                 QString());
}

void BackupRestoreTest::restoreWithoutBackupFolder_data()
{
    QTest::addColumn<QString>("backupPath");
    QTest::addColumn<bool>("isFile");

    QTest::newRow("no path") << QString() << false;
    QTest::newRow("folder missing") << BackupName << false;
    QTest::newRow("a file, not a folder") << BackupName << true;
}

void BackupRestoreTest::restoreWithoutBackupFolder()
{
    QFETCH(QString, backupPath);
    QFETCH(bool, isFile);
    writeNumberedFiles(3);
    engine->backupDir = backupPath.isEmpty() ? QString() : app(backupPath);
    if (isFile)
        writeFile(engine->backupDir, "not a folder");
    const FolderSnapshot before(appDir);
    MessageLog log;

    QVERIFY(!engine->restoreBackup());
    QCOMPARE(log.startingWith(QStringLiteral("备份目录不存在或为空:")).size(), 1);
    QCOMPARE(FolderSnapshot(appDir).differenceFrom(before), QString());
    QCOMPARE(signalLog->lines, QStringList());
}

QTEST_GUILESS_MAIN(BackupRestoreTest)
#include "tst_backuprestore.moc"
