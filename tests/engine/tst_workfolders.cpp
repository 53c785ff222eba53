#include "EngineProbe.h"
#include "MessageLog.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 MiB = 1024 * 1024;

// Sparse: the size is recorded without writing the bytes.
void createFileOfSize(const QString &path, qint64 size)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.resize(size));
}

} // namespace

using Files = QHash<QString, qint64>;
Q_DECLARE_METATYPE(Files)

class TestWorkFolders final : public QObject
{
    Q_OBJECT

private slots:
    void checkDiskSpace_data();
    void checkDiskSpace();
    void cleanupRemovesAndLogsOnce_data();
    void cleanupRemovesAndLogsOnce();
    void plantedNamesAreNeverUsed_data();
    void plantedNamesAreNeverUsed();
    void untrustedProgramDataRoot_data();
    void untrustedProgramDataRoot();
};

void TestWorkFolders::checkDiskSpace_data()
{
    QTest::addColumn<QString>("appFolder");
    QTest::addColumn<Files>("files");
    QTest::addColumn<qint64>("available");
    QTest::addColumn<bool>("passes");
    QTest::addColumn<bool>("volumeAsked");

    const Files program300{{"app.exe", 100 * MiB}, {"lib/core.dll", 200 * MiB}};
    QTest::newRow("300 MiB, 600 MiB free") << "app" << program300 << 600 * MiB << true << true;
    QTest::newRow("300 MiB, 1 byte less") << "app" << program300 << 600 * MiB - 1 << false << true;

    const Files withBackup{{"app.exe", 10 * MiB}, {"_update_backup_20240101_120000/app.exe", 10 * MiB}};
    QTest::newRow("backup not counted, 20 MiB free") << "app" << withBackup << 20 * MiB << true << true;
    QTest::newRow("backup not counted, 1 byte less") << "app" << withBackup << 20 * MiB - 1 << false << true;
    const Files upperCaseMarker{{"app.exe", 10 * MiB}, {"_UPDATE_BACKUP_x/app.exe", 10 * MiB}};
    QTest::newRow("marker is case-sensitive") << "app" << upperCaseMarker << 40 * MiB - 1 << false << true;

    const Files hidden{{"app.exe", MiB}, {".cache", 10 * MiB}, {".hidden/app.dat", 10 * MiB}};
    // Hidden files are backed up as well, so they need their room.
    QTest::newRow("hidden files counted") << "app" << hidden << 42 * MiB << true << true;
    QTest::newRow("hidden files counted, 1 byte less") << "app" << hidden << 42 * MiB - 1 << false << true;
    const Files nested{{"a/b/c/deep.dat", 5 * MiB}};
    QTest::newRow("sub-folders counted") << "app" << nested << 10 * MiB - 1 << false << true;

    // The marker counts only below the program folder.
    QTest::newRow("marker in the folder's own path")
        << "_update_backup_20240101_120000/app" << program300 << 600 * MiB - 1 << false << true;
    QTest::newRow("empty folder") << "app" << Files{} << qint64(0) << true << false;
    QTest::newRow("empty files only") << "app" << Files{{"a", 0}} << qint64(0) << true << false;
    QTest::newRow("unreadable volume") << "app" << Files{{"a", 1}} << qint64(-1) << false << true;
}

void TestWorkFolders::checkDiskSpace()
{
    QFETCH(QString, appFolder);
    QFETCH(Files, files);
    QFETCH(qint64, available);
    QFETCH(bool, passes);
    QFETCH(bool, volumeAsked);

    QTemporaryDir root;
    const QString appDir = root.filePath(appFolder);
    QVERIFY(QDir().mkpath(appDir));
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        createFileOfSize(appDir + QLatin1Char('/') + it.key(), it.value());

    QStringList askedFolders;
    EngineLimits limits;
    limits.availableBytes = [&](const QString &folder) {
        askedFolders.append(folder);
        return available;
    };
    EngineProbe engine(limits);
    engine.appDir = appDir;
    QCOMPARE(engine.checkDiskSpace(), passes);
    QCOMPARE(askedFolders, volumeAsked ? QStringList{appDir} : QStringList{});
}

void TestWorkFolders::cleanupRemovesAndLogsOnce_data()
{
    QTest::addColumn<bool>("backup");
    QTest::addColumn<QString>("folder"); // relative to a scratch folder; empty: no path; "*": the run's own
    QTest::addColumn<bool>("present");
    QTest::addColumn<bool>("removed");

    QTest::newRow("work folder the run created") << false << "*" << true << true;
    QTest::newRow("backup folder") << true << "app/_update_backup_20240101_120000" << true << true;
    QTest::newRow("work folder, empty path") << false << "" << false << false;
    QTest::newRow("backup folder, empty path") << true << "" << false << false;
    QTest::newRow("work folder never created") << false << "absent" << false << false;
    QTest::newRow("work folder the run did not create") << false << "QuillUpdate_1" << true << false;
}

void TestWorkFolders::cleanupRemovesAndLogsOnce()
{
    QFETCH(bool, backup);
    QFETCH(QString, folder);
    QFETCH(bool, present);
    QFETCH(bool, removed);

    QTemporaryDir root;
    EngineProbe engine;
    QString path = folder.isEmpty() ? QString() : root.filePath(folder);
    if (folder == QLatin1String("*")) {
        writeFile(root.filePath(QStringLiteral("app/app.exe")), "program");
        engine.setUpdateInfo(root.filePath(QStringLiteral("app/app.exe")), QStringLiteral("2.0"),
                             QStringLiteral("http://127.0.0.1/pkg"));
        path = engine.tempDir;
    } else {
        if (backup)
            engine.setBackupDir(path);
        else
            engine.tempDir = path;
    }
    if (present) {
        createFileOfSize(path + QStringLiteral("/update.zip"), 2000);
        createFileOfSize(path + QStringLiteral("/sub/deeper/file.dll"), 10);
    }
    const QStringList rootBefore = QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    const MessageLog log;
    for (int i = 0; i < 2; ++i)
        backup ? engine.cleanupBackup() : engine.cleanupTempDir();

    const QString logLine =
        (backup ? QStringLiteral("清理备份目录: ") : QStringLiteral("清理临时目录: ")) + path;
    QCOMPARE(log.lines(), removed ? QStringList{logLine} : QStringList{});
    QCOMPARE(entryExists(path), present && !removed);
    if (!removed)
        QCOMPARE(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), rootBefore);
}

void TestWorkFolders::plantedNamesAreNeverUsed_data()
{
    QTest::addColumn<QString>("planted");
    QTest::newRow("folder") << "folder";
    QTest::newRow("file") << "file";
    QTest::newRow("link to a folder") << "link";
    QTest::newRow("dangling link") << "dangling";
}

// What another user could have made under the names of the next few seconds, as an attacker would: the run
// must take a name of its own, new, closed to others, and its clean-up must leave the planted entries and
// whatever they point at alone.
void TestWorkFolders::plantedNamesAreNeverUsed()
{
    QFETCH(QString, planted);
    const QString root = QString::fromLocal8Bit(qgetenv("PROGRAMDATA"));
    QTemporaryDir elsewhere;
    writeFile(elsewhere.filePath(QStringLiteral("precious.txt")), "keep");
    writeFile(elsewhere.filePath(QStringLiteral("update.zip")), "planted package");
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QStringList plantedPaths;
    // The next rows plant the same names: whatever this one planted goes, even when it fails.
    const auto removePlanted = qScopeGuard([&plantedPaths] {
        for (const QString &path : plantedPaths) {
            const QFileInfo entry(path);
            entry.isDir() && !entry.isSymLink() ? QDir(path).removeRecursively() : QFile::remove(path);
        }
    });
    for (qint64 second = now; second <= now + 3; ++second) {
        const QString path = root + QStringLiteral("/QuillUpdate_") + QString::number(second);
        plantedPaths.append(path);
        if (planted == QLatin1String("folder"))
            writeFile(path + QStringLiteral("/update.zip"), "planted package");
        else if (planted == QLatin1String("file"))
            writeFile(path, "planted");
        else
            QVERIFY(
                QFile::link(planted == QLatin1String("link") ? elsewhere.path() : path + "-nowhere", path));
    }
    QTemporaryDir product;
    writeFile(product.filePath(QStringLiteral("app.exe")), "program");

    EngineProbe engine;
    engine.setUpdateInfo(product.filePath(QStringLiteral("app.exe")), QStringLiteral("2.0"),
                         QStringLiteral("http://127.0.0.1/pkg"));
    QVERIFY(!plantedPaths.contains(engine.tempDir));
    QVERIFY2(QRegularExpression(QStringLiteral("^\\Q%1\\E/QuillUpdate_[0-9]+_1$").arg(root))
                 .match(engine.tempDir)
                 .hasMatch(),
             qPrintable(engine.tempDir));
    QVERIFY(plantedPaths.contains(engine.tempDir.chopped(2)));
    QCOMPARE(engine.zipPath, engine.tempDir + QStringLiteral("/update.zip"));
    struct stat status = {};
    QCOMPARE(::lstat(QFile::encodeName(engine.tempDir).constData(), &status), 0);
    QVERIFY(S_ISDIR(status.st_mode));
    QCOMPARE(status.st_mode & 07777, mode_t(0700));
    QCOMPARE(QDir(engine.tempDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());

    engine.cleanupTempDir();
    QVERIFY(!entryExists(engine.tempDir));
    for (const QString &path : plantedPaths)
        QVERIFY(entryExists(path));
    QCOMPARE(readFile(elsewhere.filePath(QStringLiteral("precious.txt"))), QByteArray("keep"));
    QCOMPARE(readFile(elsewhere.filePath(QStringLiteral("update.zip"))), QByteArray("planted package"));
}

void TestWorkFolders::untrustedProgramDataRoot_data()
{
    QTest::addColumn<int>("mode"); // of the program-data root; -1: no such folder
    QTest::addColumn<uint>("owner");
    QTest::addColumn<int>("parentMode");
    QTest::addColumn<bool>("trusted");

    QTest::newRow("writable by everyone, not sticky") << 0777 << 0u << 0755 << false;
    QTest::newRow("writable by everyone, sticky") << 01777 << 0u << 0755 << true;
    QTest::newRow("owned by nobody") << 0755 << 65534u << 0755 << false;
    QTest::newRow("a folder above writable by everyone") << 0755 << 0u << 0777 << false;
    QTest::newRow("missing") << -1 << 0u << 0755 << false;
}

// Another user who can rename the work folder's parent can swap the package after its check: no work
// folder is made there, and the run says why.
void TestWorkFolders::untrustedProgramDataRoot()
{
    QFETCH(int, mode);
    QFETCH(uint, owner);
    QFETCH(int, parentMode);
    QFETCH(bool, trusted);
    QTemporaryDir parent;
    const QString root = parent.filePath(QStringLiteral("programdata"));
    QCOMPARE(::chmod(QFile::encodeName(parent.path()).constData(), mode_t(parentMode)), 0);
    if (mode >= 0) {
        QVERIFY(QDir().mkdir(root));
        QCOMPARE(::chmod(QFile::encodeName(root).constData(), mode_t(mode)), 0);
        QCOMPARE(::chown(QFile::encodeName(root).constData(), uid_t(owner), gid_t(-1)), 0);
    }
    const QByteArray savedRoot = qgetenv("PROGRAMDATA");
    const auto restoreRoot = qScopeGuard([&savedRoot] { qputenv("PROGRAMDATA", savedRoot); });
    qputenv("PROGRAMDATA", QFile::encodeName(root));
    QTemporaryDir product;
    writeFile(product.filePath(QStringLiteral("app.exe")), "program");
    const MessageLog log;

    EngineProbe engine;
    engine.setUpdateInfo(product.filePath(QStringLiteral("app.exe")), QStringLiteral("2.0"),
                         QStringLiteral("http://127.0.0.1/pkg"));

    QCOMPARE(engine.tempDir.startsWith(root + QStringLiteral("/QuillUpdate_")), trusted);
    QCOMPARE(QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), trusted ? 1 : 0);
    const QStringList refusals =
        log.startingWith(QStringLiteral("程序数据目录不可信，不创建工作目录: ") + root);
    QCOMPARE(refusals.size(), trusted ? 0 : 1);
    if (trusted)
        engine.cleanupTempDir();
}

QTEST_GUILESS_MAIN(TestWorkFolders)
#include "tst_workfolders.moc"
