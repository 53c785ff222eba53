#include "ScopedPauseScale.h"
#include "ToolProcess.h"
#include "WindowFixture.h"

#include <QFileInfo>
#include <QtTest>

using W = UpdaterWindow;
using Daemon = FakeProduct::Daemon;

namespace {

// Covers the countdown, the daemon's 10 s limit and the two pauses, with room for a slow machine.
constexpr int RestartDoneMs = 30000;
// The captions are watched by polling, so the countdown keeps its full second per step.
constexpr double CountdownWatchedScale = 1.0;
// The daemon's limit must outlast its start, so that the test sees the install still running.
constexpr double InstallLimitWatchedScale = 0.5;
// The order of the calls is the order of the pauses only when a pause outlasts a start of the shell.
constexpr double CallOrderWatchedScale = 0.5;

QString call(const QString &program, const QString &arguments, const QString &folder)
{
    const int count = arguments.isEmpty() ? 0 : arguments.split(QLatin1Char(' ')).size();
    return QStringLiteral("%1|%2|%3|%4")
        .arg(program)
        .arg(count)
        .arg(arguments, QFileInfo(folder).canonicalFilePath());
}

QString mainCall(const FakeProduct &product)
{
    return call(QStringLiteral("Quillon.exe"), QString(), product.folder());
}

QString daemonCall(const FakeProduct &product, const char *command)
{
    return call(QStringLiteral("QuillonDaemon.exe"), QString::fromLatin1(command), product.serverFolder());
}

} // namespace

class ProductRestartTest : public QObject
{
    Q_OBJECT

private slots:
    void countdownCaptionsThenRestart();
    void restartPressedDuringCountdown();
    void restartSequence_data();
    void restartSequence();
    void hangingDaemonInstallIsKilled();
};

void ProductRestartTest::countdownCaptionsThenRestart()
{
    const ScopedPauseScale pauses(CountdownWatchedScale);
    WindowFixture fx;
    WindowProbe *window = fx.open();
    emit window->engine->updateFinished(true, QStringLiteral("安装已成功完成"));

    QStringList captions{window->restartButton->text()};
    QElapsedTimer guard;
    guard.start();
    while (window->restartButton->isEnabled() && guard.elapsed() < RestartDoneMs) {
        QTest::qWait(20);
        if (captions.last() != window->restartButton->text())
            captions.append(window->restartButton->text());
    }
    QCOMPARE(captions, QStringList({"Restart", "Restart (4)", "Restart (3)", "Restart (2)", "Restart (1)"}));
    QCOMPARE(window->statusLabel->text(), QStringLiteral("Restarting application..."));
    QCOMPARE(*window->restartExitCodes, QList<int>{0});
    QTRY_COMPARE(fx.product.calls(), QStringList{mainCall(fx.product)});
}

void ProductRestartTest::restartPressedDuringCountdown()
{
    const ScopedPauseScale pauses(CountdownWatchedScale);
    WindowFixture fx;
    WindowProbe *window = fx.openShown();
    emit window->engine->updateFinished(true, QString());
    QTRY_COMPARE_WITH_TIMEOUT(window->restartButton->text(), QStringLiteral("Restart (4)"), 5000);

    QTest::mouseClick(window->restartButton, Qt::LeftButton);
    QVERIFY(!window->restartButton->isEnabled());
    QCOMPARE(window->statusLabel->text(), QStringLiteral("Restarting application..."));
    QCOMPARE(*window->restartExitCodes, QList<int>{0});

    // The countdown goes on over the disabled button, and its final call starts nothing more.
    QTRY_COMPARE_WITH_TIMEOUT(window->restartButton->text(), QStringLiteral("Restart (1)"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(window->restartCountdown, 0, 5000);
    QTest::qWait(200);
    QCOMPARE(*window->restartExitCodes, QList<int>{0});
    QCOMPARE(fx.product.calls(), QStringList{mainCall(fx.product)});
    QVERIFY(!window->restartButton->isEnabled());
}

void ProductRestartTest::restartSequence_data()
{
    QTest::addColumn<int>("daemon");
    QTest::newRow("no daemon") << int(Daemon::None);
    QTest::newRow("daemon") << int(Daemon::Prompt);
    QTest::newRow("daemon that cannot start") << int(Daemon::Unstartable);
}

void ProductRestartTest::restartSequence()
{
    QFETCH(int, daemon);

    const ScopedPauseScale pauses(CallOrderWatchedScale);
    WindowFixture fx{Daemon(daemon)};
    WindowProbe *window = fx.open();
    emit window->engine->updateFinished(true, QString());
    window->restartButton->click();

    QStringList expected;
    if (Daemon(daemon) == Daemon::Prompt)
        expected << daemonCall(fx.product, "install") << daemonCall(fx.product, "run");
    expected << mainCall(fx.product);
    QTRY_COMPARE_WITH_TIMEOUT(*window->restartExitCodes, QList<int>{0}, RestartDoneMs);
    QTRY_COMPARE(fx.product.calls(), expected);
}

void ProductRestartTest::hangingDaemonInstallIsKilled()
{
    const ScopedPauseScale pauses(InstallLimitWatchedScale);
    WindowFixture fx(Daemon::HangingInstall);
    WindowProbe *window = fx.open();
    emit window->engine->updateFinished(true, QString());
    window->restartButton->click();
    QTRY_COMPARE_WITH_TIMEOUT(fx.product.calls(), QStringList{daemonCall(fx.product, "install")}, 5000);
    // The stand-in can record its call before this process has seen it start.
    QTRY_VERIFY(window->serviceInstall->isRunning());

    QTRY_COMPARE_WITH_TIMEOUT(*window->restartExitCodes, QList<int>{0}, RestartDoneMs);
    QVERIFY(!window->serviceInstall->isRunning());
    QVERIFY(window->serviceInstall->crashed());
    QTRY_COMPARE(fx.product.calls(), QStringList({daemonCall(fx.product, "install"),
                                                  daemonCall(fx.product, "run"), mainCall(fx.product)}));
}

QTEST_MAIN(ProductRestartTest)
#include "tst_productrestart.moc"
