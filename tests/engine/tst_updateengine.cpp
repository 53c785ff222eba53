#include "EngineProbe.h"
#include "TestFiles.h"

#include <QDateTime>
#include <QDir>
#include <QPointer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>

namespace {

const QString ProgramMissing = QStringLiteral("errorOccurred 程序文件不存在，无法更新");

} // namespace

class TestUpdateEngine final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void setUpdateInfoDerivesPaths_data();
    void setUpdateInfoDerivesPaths();
    void missingProgram_data();
    void missingProgram();
    void cancelOnFreshEngine();
    void cancelRemovesFolders_data();
    void cancelRemovesFolders();
    void cancelWaitsForRunningInstallation();

private:
    // Gives the engine a work folder and a backup folder (made as the installation makes it) holding a file
    // each.
    void prepareFolders(EngineProbe &engine);

    QTemporaryDir root;
    QString programData;
};

void TestUpdateEngine::initTestCase()
{
    QVERIFY(root.isValid());
    programData = root.filePath(QStringLiteral("program data 数据"));
    QVERIFY(QDir().mkpath(programData));
    qputenv("PROGRAMDATA", programData.toUtf8());
}

void TestUpdateEngine::cleanup()
{
    for (const QString &name : workFolders())
        QDir(programData + QLatin1Char('/') + name).removeRecursively();
}

void TestUpdateEngine::prepareFolders(EngineProbe &engine)
{
    writeFile(root.filePath(QStringLiteral("App/app.exe")), "x");
    engine.setUpdateInfo(root.filePath(QStringLiteral("App/app.exe")), QStringLiteral("2.0"),
                         QStringLiteral("http://127.0.0.1:9/pkg"));
    writeFile(engine.zipPath, "x");
    QVERIFY(engine.createBackup());
}

void TestUpdateEngine::setUpdateInfoDerivesPaths_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("relative");

    QTest::newRow("plain") << "Tool" << false;
    QTest::newRow("spaces and non-Latin letters") << "Quillon 应用/bin dir" << false;
    QTest::newRow("relative program path") << "Rel" << true;
}

void TestUpdateEngine::setUpdateInfoDerivesPaths()
{
    QFETCH(QString, folder);
    QFETCH(bool, relative);

    const QString appDir = root.filePath(folder);
    writeFile(appDir + QStringLiteral("/app.exe"), "x");
    QVERIFY(QDir::setCurrent(root.path()));
    EngineProbe engine;
    EngineSignalLog log(&engine);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    engine.setUpdateInfo(relative ? folder + QStringLiteral("/app.exe") : appDir + QStringLiteral("/app.exe"),
                         QStringLiteral("2.0"), QStringLiteral("http://127.0.0.1:9/pkg"));
    const qint64 after = QDateTime::currentSecsSinceEpoch();

    QVERIFY(log.lines.isEmpty());
    QCOMPARE(engine.appDir, appDir);
    QCOMPARE(engine.configPath, appDir + QStringLiteral("/config.ini"));
    const QRegularExpressionMatch temp =
        QRegularExpression(
            QStringLiteral("^%1/QuillUpdate_([1-9][0-9]*)$").arg(QRegularExpression::escape(programData)))
            .match(engine.tempDir);
    QVERIFY2(temp.hasMatch(), qPrintable(engine.tempDir));
    QVERIFY(temp.captured(1).toLongLong() >= before && temp.captured(1).toLongLong() <= after);
    QVERIFY(QFileInfo(engine.tempDir).isDir());
    QCOMPARE(engine.zipPath, engine.tempDir + QStringLiteral("/update.zip"));
    // The installation makes its backup folder, under the folder lock.
    QVERIFY(engine.backupDir().isEmpty());
    QCOMPARE(entriesMatching(appDir, QStringLiteral("_update_backup_*")), QStringList());
    QVERIFY(!engine.isRunning() && !engine.cancelled && !engine.currentReply && !engine.workerThread);
}

void TestUpdateEngine::missingProgram_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("appDir"); // empty: not compared
    QTest::addColumn<bool>("afterValidInfo");

    QTest::newRow("missing file") << "Tool/none.exe"
                                  << "Tool" << false;
    QTest::newRow("folder given as program") << "Tool"
                                             << "." << false;
    QTest::newRow("empty path") << ""
                                << "" << false;
    QTest::newRow("missing file keeps earlier paths") << "Tool/none.exe"
                                                      << "Tool" << true;
}

void TestUpdateEngine::missingProgram()
{
    QFETCH(QString, path);
    QFETCH(QString, appDir);
    QFETCH(bool, afterValidInfo);

    writeFile(root.filePath(QStringLiteral("Tool/app.exe")), "x");
    EngineProbe engine;
    if (afterValidInfo)
        engine.setUpdateInfo(root.filePath(QStringLiteral("Tool/app.exe")), {}, {});
    const QStringList earlier{engine.tempDir, engine.zipPath, engine.backupDir()};
    const QStringList foldersBefore = workFolders();
    EngineSignalLog log(&engine);
    engine.setUpdateInfo(path.isEmpty() ? path : root.filePath(path), QStringLiteral("2.0"), {});

    QCOMPARE(log.lines, QStringList{ProgramMissing});
    QCOMPARE((QStringList{engine.tempDir, engine.zipPath, engine.backupDir()}), earlier);
    QCOMPARE(workFolders(), foldersBefore);
    if (!appDir.isEmpty()) {
        QCOMPARE(engine.appDir, QDir::cleanPath(root.filePath(appDir)));
        QCOMPARE(engine.configPath, engine.appDir + QStringLiteral("/config.ini"));
    }
}

void TestUpdateEngine::cancelOnFreshEngine()
{
    EngineProbe engine;
    EngineSignalLog log(&engine);
    QVERIFY(!engine.isRunning());
    const QStringList before = QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    engine.cancelUpdate();
    engine.cancelUpdate();
    QVERIFY(!engine.isRunning());
    QVERIFY(engine.cancelled);
    QVERIFY(!engine.currentReply && !engine.workerThread);
    QVERIFY(log.lines.isEmpty());
    QCOMPARE(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
}

void TestUpdateEngine::cancelRemovesFolders_data()
{
    QTest::addColumn<bool>("backupMustBeKept");
    QTest::addColumn<int>("cancels");

    // The backup is the installation's: its ends remove it or keep it under the folder lock, a cancel never.
    QTest::newRow("backup not needed") << false << 1;
    QTest::newRow("backup not needed, cancelled twice") << false << 2;
    QTest::newRow("backup kept after an incomplete restore") << true << 1;
    QTest::newRow("backup kept, cancelled twice") << true << 2;
}

void TestUpdateEngine::cancelRemovesFolders()
{
    QFETCH(bool, backupMustBeKept);
    QFETCH(int, cancels);

    EngineProbe engine;
    prepareFolders(engine);
    engine.running = true;
    if (backupMustBeKept)
        engine.keepBackup();
    QPointer<QThread> finishedThread = QThread::create([] {});
    finishedThread->start();
    QVERIFY(finishedThread->wait());
    engine.workerThread = finishedThread;
    for (int i = 0; i < cancels; ++i)
        engine.cancelUpdate();

    QVERIFY(finishedThread.isNull());
    QVERIFY(!engine.workerThread);
    QVERIFY(!engine.isRunning());
    QVERIFY(!QFileInfo::exists(engine.tempDir));
    QVERIFY(QFileInfo::exists(engine.backupDir() + QStringLiteral("/app.exe")));
    QDir(engine.backupDir()).removeRecursively();
}

void TestUpdateEngine::cancelWaitsForRunningInstallation()
{
    EngineProbe engine;
    prepareFolders(engine);
    engine.running = true;
    std::atomic_bool foldersLastedTheRun{false};
    std::atomic_bool ended{false};
    // Outlasts the cancel's bounded wait, like an installation that has no cancellation points.
    QPointer<QThread> installation = QThread::create([&] {
        QThread::msleep(engine::CancelWaitMs + 1000);
        foldersLastedTheRun = QFileInfo::exists(engine.zipPath) && QFileInfo::exists(engine.backupDir());
        ended = true;
    });
    engine.workerThread = installation;
    installation->start();
    engine.cancelUpdate();

    QVERIFY(ended);
    QVERIFY(foldersLastedTheRun);
    QVERIFY(installation.isNull());
    QVERIFY(!engine.workerThread);
    QVERIFY(!QFileInfo::exists(engine.tempDir));
    QVERIFY(QFileInfo::exists(engine.backupDir()));
    QVERIFY(!engine.isRunning());
}

QTEST_GUILESS_MAIN(TestUpdateEngine)
#include "tst_updateengine.moc"
