#include "MessageLog.h"
#include "ProductProcesses.h"
#include "StandinWorkspace.h"

#include <QDir>
#include <QProcess>
#include <QtTest>

namespace {

enum class Main
{
    NotRunning,
    Running,
    // Started again once by a watchdog of another image name after it was ended.
    ComesBackOnce,
};

const QString MainPlaceholder = QStringLiteral("<main>");
const QString Daemon = QStringLiteral("QuillonDaemon.exe");
const QString Server = QStringLiteral("QuillonServer.exe");

QString forceKill(const QString &image)
{
    return QStringLiteral("taskkill /F|/IM|%1|/T").arg(image);
}

QString listTasks(const QString &image)
{
    return QStringLiteral("tasklist /FI|IMAGENAME eq %1").arg(image);
}

// The calls the step makes, in order, given which images the check finds again.
QStringList expectedCalls(bool daemonInstalled, const QString &mainImage, const QStringList &leftovers)
{
    QStringList calls;
    if (daemonInstalled)
        calls << Daemon + QStringLiteral(" stop");
    const QStringList images{Daemon, Server, mainImage};
    for (const QString &image : images)
        calls << forceKill(image);
    for (const QString &image : images) {
        calls << listTasks(image);
        if (leftovers.contains(image))
            calls << forceKill(image);
    }
    return calls << listTasks(mainImage);
}

} // namespace

Q_DECLARE_METATYPE(Main)

class TestProcessShutdown final : public QObject
{
    Q_OBJECT

private slots:
    void closesProductProcesses_data();
    void closesProductProcesses();
};

void TestProcessShutdown::closesProductProcesses_data()
{
    QTest::addColumn<bool>("productRunning");
    QTest::addColumn<Main>("main");
    QTest::addColumn<QString>("sparedImage");
    QTest::addColumn<bool>("lowerCaseList");
    QTest::addColumn<bool>("closed");
    QTest::addColumn<QStringList>("leftovers");

    QTest::newRow("nothing running, no daemon")
        << false << Main::NotRunning << QString() << false << true << QStringList{};
    QTest::newRow("main ends at the first kill")
        << false << Main::Running << QString() << false << true << QStringList{};
    QTest::newRow("main comes back once")
        << false << Main::ComesBackOnce << QString() << false << true << QStringList{MainPlaceholder};
    QTest::newRow("main survives both kills")
        << false << Main::Running << MainPlaceholder << false << false << QStringList{MainPlaceholder};
    // The check is case-sensitive: a list showing the name in other letters does not count.
    QTest::newRow("list shows the name in lower case")
        << false << Main::Running << MainPlaceholder << true << true << QStringList{};
    QTest::newRow("daemon, service and server running")
        << true << Main::Running << QString() << false << true << QStringList{};
    // Only the main executable decides.
    QTest::newRow("server survives both kills")
        << true << Main::Running << Server << false << true << QStringList{Server};
}

void TestProcessShutdown::closesProductProcesses()
{
    QFETCH(bool, productRunning);
    QFETCH(Main, main);
    QFETCH(QString, sparedImage);
    QFETCH(bool, lowerCaseList);
    QFETCH(bool, closed);
    QFETCH(QStringList, leftovers);

    StandinWorkspace workspace;
    QVERIFY(workspace.isValid());
    const QDir root(workspace.path());
    const QString mainImage = StandinWorkspace::uniqueImage(QStringLiteral("ShutdownMain"));
    leftovers.replaceInStrings(MainPlaceholder, mainImage);
    QVERIFY(workspace.installProduct(QStringLiteral("app/") + mainImage));
    const QString mainPath = root.filePath(QStringLiteral("app/") + mainImage);

    if (productRunning) {
        QVERIFY(workspace.installProduct(QStringLiteral("app/QuillonServer/QuillonDaemon.exe")));
        QCOMPARE(
            QProcess::execute(root.filePath(QStringLiteral("app/QuillonServer/QuillonDaemon.exe")), {"run"}),
            0);
        QVERIFY(workspace.startProduct(QStringLiteral("app/QuillonServer/QuillonServer.exe")));
    }
    if (main == Main::Running) {
        QVERIFY(workspace.startProduct(QStringLiteral("app/") + mainImage));
    } else if (main == Main::ComesBackOnce) {
        const QString guard = StandinWorkspace::uniqueImage(QStringLiteral("ShutdownGuard"));
        QVERIFY(workspace.startGuard(guard, 1, mainPath));
    }
    const int expectedStarts = main == Main::NotRunning ? 0 : 1;
    QTRY_COMPARE(workspace.pidsOf(QStringLiteral("start"), mainImage).size(), expectedStarts);
    qputenv("FARLINK_SPARED_IMAGE", sparedImage.replace(MainPlaceholder, mainImage).toUtf8());
    qputenv("FARLINK_TASKLIST_LOWER_CASE", lowerCaseList ? "1" : "0");
    const QList<qint64> servicePids = workspace.pidsOf(QStringLiteral("service"));
    const QList<qint64> serverPids = workspace.pidsOf(QStringLiteral("start"), Server);

    const int setupCalls = workspace.calls().size();

    MessageLog log;
    QCOMPARE(ProductProcesses(mainPath).closeAll(), closed);

    QCOMPARE(workspace.calls().mid(setupCalls), expectedCalls(productRunning, mainImage, leftovers));
    if (productRunning)
        QCOMPARE(workspace.daemonCommandFolder(QStringLiteral("stop")), QDir::currentPath());
    QVERIFY(log.contains(QStringLiteral("主程序关闭状态: ") + (closed ? "已关闭" : "可能仍在运行")));
    const bool mainSpared = sparedImage == mainImage;
    for (const qint64 pid : workspace.pidsOf(QStringLiteral("start"), mainImage))
        QCOMPARE(StandinWorkspace::isRunning(pid), mainSpared);
    if (main == Main::ComesBackOnce)
        QCOMPARE(workspace.pidsOf(QStringLiteral("start"), mainImage).size(), 2);
    for (const qint64 pid : servicePids)
        QVERIFY(!StandinWorkspace::isRunning(pid));
    for (const qint64 pid : serverPids)
        QCOMPARE(StandinWorkspace::isRunning(pid), sparedImage == Server);
}

QTEST_GUILESS_MAIN(TestProcessShutdown)
#include "tst_processshutdown.moc"
