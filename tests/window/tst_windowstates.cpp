#include "TestFiles.h"
#include "WindowFixture.h"

#include <QCloseEvent>
#include <QtTest>

using W = WindowProbe;

namespace {

// One row per state but the skipped one, with whether an action ends the updater there: everywhere but
// during the installation.
void addEndsUnlessInstallingRows(int skippedState = -1)
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("ends");
    for (int state : W::AllStates) {
        if (state != skippedState)
            QTest::newRow(W::StateNames[state]) << state << (state != W::STATE_INSTALLING);
    }
}

// Closing the window and Escape: they end the updater, except during the installation, which they leave
// alone, and after a success, where they start the restart at once (the product was ended for the update).
void addCloseRows()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("ends");
    QTest::addColumn<bool>("restarts");
    for (int state : W::AllStates) {
        QTest::newRow(W::StateNames[state])
            << state << (state != W::STATE_INSTALLING && state != W::STATE_SUCCESS)
            << (state == W::STATE_SUCCESS);
    }
}

} // namespace

class WindowStatesTest : public QObject
{
    Q_OBJECT

private slots:
    void startsIdleWithUpdateNowAndCancel();
    void buttonArrangement_data();
    void buttonArrangement();
    void transitions_data();
    void transitions();
    void progressAndStatusRules_data();
    void progressAndStatusRules();
    void updateNowPaintsBeforeTheDownloadStarts();
    void cancelWhilePaintingPreventsTheDownload();
    void cancelDuringDownloadKeepsWindowOpen_data();
    void cancelDuringDownloadKeepsWindowOpen();
    void cancelInOtherStates_data();
    void cancelInOtherStates();
    void closeEvent_data();
    void closeEvent();
    void escape_data();
    void escape();
    void destructionCancelsAndEndsProcess();
    void readyToInstall_data();
    void readyToInstall();
    void installStartsAfterReadyToInstall();
    void successShowsRestartOnly();
};

void WindowStatesTest::startsIdleWithUpdateNowAndCancel()
{
    WindowFixture fx;
    WindowProbe *window = fx.open();
    QCOMPARE(window->currentState, int(W::STATE_IDLE));
    QCOMPARE(window->statusLabel->text(), QStringLiteral("Ready"));
    QVERIFY(window->progressBar->isHidden());
    QCOMPARE(window->buttons(), QStringLiteral("Update Now | Cancel | - | -"));
    QVERIFY(!window->engine->isRunning());
}

void WindowStatesTest::buttonArrangement_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("restartEnabled");
    QTest::addColumn<QString>("expected");

    QTest::newRow("idle manual") << int(W::STATE_IDLE) << "manual" << true << "- | Cancel | - | -";
    QTest::newRow("idle MANUAL") << int(W::STATE_IDLE) << "MANUAL" << true << "- | Cancel | - | -";
    QTest::newRow("idle auto") << int(W::STATE_IDLE) << "auto" << true << "Update Now | Cancel | - | -";
    QTest::newRow("idle other mode") << int(W::STATE_IDLE) << "silent" << true
                                     << "Update Now | Cancel | - | -";
    QTest::newRow("downloading") << int(W::STATE_DOWNLOADING) << "auto" << true << "- | Cancel | - | -";
    QTest::newRow("installing") << int(W::STATE_INSTALLING) << "auto" << true
                                << "- | Installing...(off) | - | -";
    QTest::newRow("success") << int(W::STATE_SUCCESS) << "auto" << true << "- | - | Restart | -";
    QTest::newRow("success, restart begun")
        << int(W::STATE_SUCCESS) << "auto" << false << "- | - | Restart(off) | -";
    for (int state : {W::STATE_DOWNLOAD_FAILED, W::STATE_INSTALL_FAILED, W::STATE_CRITICAL_ERROR})
        QTest::newRow(W::StateNames[state]) << state << "auto" << true << "x | x | x | x";
}

void WindowStatesTest::buttonArrangement()
{
    QFETCH(int, state);
    QFETCH(QString, mode);
    QFETCH(bool, restartEnabled);
    QFETCH(QString, expected);

    WindowFixture fx;
    WindowProbe *window = fx.open(mode);
    for (QPushButton *button :
         {window->updateButton, window->cancelButton, window->restartButton, window->websiteButton}) {
        button->setText(QStringLiteral("x"));
        button->setEnabled(true);
        button->show();
    }
    window->restartButton->setEnabled(restartEnabled);
    window->currentState = state;
    window->updateButtonState();
    QCOMPARE(window->buttons(), expected);
}

// Install progress and readyToInstall have tables of their own below.
void WindowStatesTest::transitions_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<QString>("event");
    QTest::addColumn<int>("to");

    for (int from : W::AllStates) {
        const bool downloadMayStart = from == W::STATE_IDLE || from == W::STATE_DOWNLOAD_FAILED;
        QTest::addRow("%s + update now", W::StateNames[from])
            << from << "updateNow" << (downloadMayStart ? int(W::STATE_DOWNLOADING) : from);
        QTest::addRow("%s + finished true", W::StateNames[from])
            << from << "finishedTrue" << int(W::STATE_SUCCESS);
        QTest::addRow("%s + finished false", W::StateNames[from]) << from << "finishedFalse" << from;
    }
    QTest::newRow("downloading + cancel") << int(W::STATE_DOWNLOADING) << "cancel" << int(W::STATE_IDLE);
}

void WindowStatesTest::transitions()
{
    QFETCH(int, from);
    QFETCH(QString, event);
    QFETCH(int, to);

    WindowFixture fx;
    WindowProbe *window = fx.open();
    window->currentState = from;
    if (event == QLatin1String("updateNow"))
        window->onUpdateNowClicked();
    else if (event == QLatin1String("cancel"))
        window->onCancelClicked();
    else
        emit window->engine->updateFinished(event == QLatin1String("finishedTrue"), QString());
    QCOMPARE(window->currentState, to);
}

void WindowStatesTest::progressAndStatusRules_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<int>("percent");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<int>("endState");
    QTest::addColumn<QString>("colour");

    QTest::newRow("download progress while downloading")
        << int(W::STATE_DOWNLOADING) << "download" << 40 << true << int(W::STATE_DOWNLOADING) << "blue";
    for (int state : {W::STATE_IDLE, W::STATE_INSTALLING, W::STATE_SUCCESS, W::STATE_DOWNLOAD_FAILED})
        QTest::addRow("late download progress, %s", W::StateNames[state])
            << state << "download" << 40 << false << state << "blue";
    QTest::newRow("install 69 while downloading")
        << int(W::STATE_DOWNLOADING) << "install" << 69 << false << int(W::STATE_DOWNLOADING) << "blue";
    QTest::newRow("install 70 while downloading")
        << int(W::STATE_DOWNLOADING) << "install" << 70 << true << int(W::STATE_INSTALLING) << "green";
    QTest::newRow("install progress while installing")
        << int(W::STATE_INSTALLING) << "install" << 85 << true << int(W::STATE_INSTALLING) << "blue";
    QTest::newRow("install progress after success")
        << int(W::STATE_SUCCESS) << "install" << 90 << true << int(W::STATE_SUCCESS) << "blue";
    for (int state :
         {W::STATE_IDLE, W::STATE_DOWNLOAD_FAILED, W::STATE_INSTALL_FAILED, W::STATE_CRITICAL_ERROR})
        QTest::addRow("misplaced install progress, %s", W::StateNames[state])
            << state << "install" << 95 << false << state << "blue";
    for (int state : {W::STATE_IDLE, W::STATE_INSTALLING, W::STATE_CRITICAL_ERROR})
        QTest::addRow("status text, %s", W::StateNames[state])
            << state << "status" << 5 << true << state << "blue";
    // A resumed download says so and keeps its bar where it was.
    QTest::newRow("reconnecting while downloading")
        << int(W::STATE_DOWNLOADING) << "reconnecting" << 5 << true << int(W::STATE_DOWNLOADING) << "blue";
    for (int state : {W::STATE_IDLE, W::STATE_INSTALLING, W::STATE_DOWNLOAD_FAILED})
        QTest::addRow("late reconnecting, %s", W::StateNames[state])
            << state << "reconnecting" << 5 << false << state << "blue";
}

void WindowStatesTest::progressAndStatusRules()
{
    QFETCH(int, state);
    QFETCH(QString, signal);
    QFETCH(int, percent);
    QFETCH(bool, shown);
    QFETCH(int, endState);
    QFETCH(QString, colour);

    WindowFixture fx;
    WindowProbe *window = fx.open();
    window->currentState = state;
    window->progressBar->setValue(5);
    window->statusLabel->setText(QStringLiteral("before"));
    UpdateEngine *engine = window->engine;
    if (signal == QLatin1String("download"))
        emit engine->progressChanged(percent, QStringLiteral("message"));
    else if (signal == QLatin1String("install"))
        emit engine->installProgress(percent, QStringLiteral("message"));
    else if (signal == QLatin1String("reconnecting"))
        emit engine->reconnecting(2, 5);
    else
        emit engine->statusChanged(QStringLiteral("message"));

    const QString message = signal == QLatin1String("reconnecting")
                                ? QStringLiteral("网络中断，正在重新连接…（第 2/5 次）")
                                : QStringLiteral("message");
    QCOMPARE(window->progressBar->value(), shown ? percent : 5);
    QCOMPARE(window->statusLabel->text(), shown ? message : QStringLiteral("before"));
    QCOMPARE(window->currentState, endState);
    QCOMPARE(window->barColour(), colour);
    if (endState == W::STATE_INSTALLING && state == W::STATE_DOWNLOADING)
        QCOMPARE(window->buttons(), QStringLiteral("- | Installing...(off) | - | -"));
}

void WindowStatesTest::updateNowPaintsBeforeTheDownloadStarts()
{
    WindowFixture fx;
    WindowProbe *window = fx.openShown();
    window->progressBar->setValue(50);
    QStringList seenWhilePainting;
    QTimer::singleShot(0, window, [&] {
        seenWhilePainting << window->statusLabel->text() << window->buttons()
                          << QString::number(window->progressBar->value()) << window->barColour()
                          << QString::number(fx.server.connectionCount());
    });
    QTest::mouseClick(window->updateButton, Qt::LeftButton);

    QCOMPARE(seenWhilePainting, QStringList({"Connecting...", "- | Cancel | - | -", "0", "blue", "0"}));
    QVERIFY(window->progressBar->isVisible());
    QCOMPARE(window->currentState, int(W::STATE_DOWNLOADING));
    QVERIFY(window->engine->isRunning());
    QTRY_COMPARE_WITH_TIMEOUT(fx.server.requests(), WindowFixture::PackageRequest, 10000);
}

void WindowStatesTest::cancelWhilePaintingPreventsTheDownload()
{
    WindowFixture fx;
    WindowProbe *window = fx.open();
    QTimer::singleShot(0, window, [window] { window->cancelButton->click(); });
    window->updateButton->click();

    QCOMPARE(window->currentState, int(W::STATE_IDLE));
    QCOMPARE(window->statusLabel->text(), QStringLiteral("Download cancelled"));
    QVERIFY(!window->engine->isRunning());
    QTest::qWait(200);
    QCOMPARE(fx.server.connectionCount(), 0);
}

void WindowStatesTest::cancelDuringDownloadKeepsWindowOpen_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("buttonsAfterCancel");
    QTest::newRow("auto") << "auto"
                          << "Update Now | Cancel | - | -";
    QTest::newRow("manual") << "Manual"
                            << "- | Cancel | - | -";
}

void WindowStatesTest::cancelDuringDownloadKeepsWindowOpen()
{
    QFETCH(QString, mode);
    QFETCH(QString, buttonsAfterCancel);

    WindowFixture fx;
    WindowProbe *window = fx.open(mode);
    if (window->updateMode != QLatin1String("manual"))
        window->updateButton->click();
    QTRY_COMPARE(window->currentState, int(W::STATE_DOWNLOADING));
    emit window->engine->progressChanged(30, QStringLiteral("Download: 30%"));
    QCOMPARE(window->progressBar->value(), 30);

    QVERIFY(!WindowProbe::quitsEventLoop([window] { window->cancelButton->click(); }));
    QCOMPARE(window->currentState, int(W::STATE_IDLE));
    QCOMPARE(window->buttons(), buttonsAfterCancel);
    QVERIFY(window->progressBar->isHidden());
    QCOMPARE(window->statusLabel->text(), QStringLiteral("Download cancelled"));
    QVERIFY(!window->engine->isRunning());

    emit window->engine->progressChanged(60, QStringLiteral("Download: 60%"));
    QCOMPARE(window->progressBar->value(), 30);
    QCOMPARE(window->statusLabel->text(), QStringLiteral("Download cancelled"));

    QVERIFY(WindowProbe::quitsEventLoop([window] { window->cancelButton->click(); }));
}

void WindowStatesTest::cancelInOtherStates_data()
{
    addEndsUnlessInstallingRows(W::STATE_DOWNLOADING);
}

void WindowStatesTest::cancelInOtherStates()
{
    QFETCH(int, state);
    QFETCH(bool, ends);

    WindowFixture fx;
    WindowProbe *window = fx.open();
    window->currentState = state;
    QCOMPARE(WindowProbe::quitsEventLoop([window] { window->onCancelClicked(); }), ends);
    QCOMPARE(window->currentState, state);
}

void WindowStatesTest::closeEvent_data()
{
    addCloseRows();
}

void WindowStatesTest::closeEvent()
{
    QFETCH(int, state);
    QFETCH(bool, ends);
    QFETCH(bool, restarts);

    WindowFixture fx;
    WindowProbe *window = fx.open();
    if (state == W::STATE_DOWNLOADING)
        window->onUpdateNowClicked();
    window->currentState = state;
    QCloseEvent event;
    event.setAccepted(!ends);

    QCOMPARE(WindowProbe::quitsEventLoop([&] { window->closeEvent(&event); }), ends);
    QCOMPARE(event.isAccepted(), ends);
    QCOMPARE(window->currentState, state);
    if (ends)
        QVERIFY(!window->engine->isRunning());
    QTRY_COMPARE(*window->restartExitCodes, restarts ? QList<int>{0} : QList<int>());
}

void WindowStatesTest::escape_data()
{
    addCloseRows();
}

void WindowStatesTest::escape()
{
    QFETCH(int, state);
    QFETCH(bool, ends);
    QFETCH(bool, restarts);

    WindowFixture fx;
    QPointer<WindowProbe> window = fx.openShown();
    const auto endCodes = window->endCodes;
    const auto restartExitCodes = window->restartExitCodes;
    window->currentState = state;
    QTest::keyClick(window, Qt::Key_Escape);

    if (ends) {
        QTRY_VERIFY(window.isNull());
        QCOMPARE(*endCodes, QList<int>{0});
    } else {
        QVERIFY(window->isVisible());
        QVERIFY(!window->close());
        QVERIFY(window->isVisible());
        QCOMPARE(window->currentState, state);
        QVERIFY(endCodes->isEmpty());
    }
    QTRY_COMPARE(*restartExitCodes, restarts ? QList<int>{0} : QList<int>());
    if (restarts)
        QTRY_VERIFY(!fx.product.calls().isEmpty());
}

void WindowStatesTest::destructionCancelsAndEndsProcess()
{
    WindowFixture fx;
    WindowProbe *window = fx.open();
    window->onUpdateNowClicked();
    QVERIFY(window->engine->isRunning());
    QCOMPARE(workFolders().size(), 1);
    const auto endCodes = window->endCodes;
    const auto restartExitCodes = window->restartExitCodes;

    delete window;
    QCOMPARE(*endCodes, QList<int>{0});
    QVERIFY(restartExitCodes->isEmpty());
    QCOMPARE(workFolders(), QStringList());
}

void WindowStatesTest::readyToInstall_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("status");
    for (int state : W::AllStates) {
        QTest::newRow(W::StateNames[state])
            << state << (state == W::STATE_INSTALLING ? "before" : "Download complete, installing...");
    }
}

void WindowStatesTest::readyToInstall()
{
    QFETCH(int, state);
    QFETCH(QString, status);

    WindowFixture fx;
    WindowProbe *window = fx.open();
    window->currentState = state;
    window->statusLabel->setText(QStringLiteral("before"));
    emit window->engine->readyToInstall();

    QCOMPARE(window->currentState, int(W::STATE_INSTALLING));
    QCOMPARE(window->statusLabel->text(), status);
    if (state != W::STATE_INSTALLING) {
        QCOMPARE(window->barColour(), QStringLiteral("green"));
        QCOMPARE(window->buttons(), QStringLiteral("- | Installing...(off) | - | -"));
    }
}

void WindowStatesTest::installStartsAfterReadyToInstall()
{
    WindowFixture fx;
    WindowProbe *window = fx.open();
    window->onUpdateNowClicked();
    QList<int> installPercents;
    QObject receiver;
    connect(window->engine, &UpdateEngine::installProgress, &receiver,
            [&](int percent) { installPercents.append(percent); });

    emit window->engine->readyToInstall();
    QVERIFY(installPercents.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!installPercents.isEmpty(), 10000);
    QVERIFY(installPercents.first() >= 70);
    // The fake product has no package: the installation ends in one of the failure presentations.
    QTRY_VERIFY_WITH_TIMEOUT(window->currentState != W::STATE_INSTALLING, 120000);
    QVERIFY(window->currentState >= W::STATE_DOWNLOAD_FAILED);
}

void WindowStatesTest::successShowsRestartOnly()
{
    WindowFixture fx;
    WindowProbe *window = fx.open();
    window->currentState = W::STATE_INSTALLING;
    window->progressBar->show();
    emit window->engine->updateFinished(true, QStringLiteral("安装已成功完成"));

    QCOMPARE(window->currentState, int(W::STATE_SUCCESS));
    QCOMPARE(window->progressBar->value(), 100);
    QCOMPARE(window->barColour(), QStringLiteral("green"));
    QCOMPARE(window->statusLabel->text(), QStringLiteral("Update successful! Restarting..."));
    QCOMPARE(window->buttons(), QStringLiteral("- | - | Restart | -"));
}

QTEST_MAIN(WindowStatesTest)
#include "tst_windowstates.moc"
