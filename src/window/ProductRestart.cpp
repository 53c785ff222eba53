#include "UpdaterWindow.h"

#include "PauseScale.h"
#include "ProductConstants.h"
#include "ProductDaemon.h"
#include "ToolProcess.h"
#include "UpdateEngine.h"
#include "WindowStyle.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

QString UpdaterWindow::productDir() const
{
    return QFileInfo(appPath).absolutePath();
}

void UpdaterWindow::startCountdown()
{
    if (countdownTimer)
        return;
    countdownTimer = new QTimer(this);
    connect(countdownTimer, &QTimer::timeout, this, &UpdaterWindow::countdownTick);
    countdownTimer->start(engine::scaledPauseMs(window::CountdownTickMs));
}

void UpdaterWindow::countdownTick()
{
    --restartCountdown;
    if (restartCountdown <= 0) {
        countdownTimer->stop();
        restartApplication();
        return;
    }
    restartButton->setText(QString::fromUtf8(window::RestartCountdownText).arg(restartCountdown));
}

void UpdaterWindow::restartNow()
{
    if (countdownTimer)
        countdownTimer->stop();
    restartApplication();
}

void UpdaterWindow::restartApplication()
{
    // The disabled button marks a restart already under way.
    if (!restartButton->isEnabled())
        return;
    restartButton->setEnabled(false);
    statusLabel->setText(window::StatusRestarting);
    // The updater that installed this version restarts the product; a second copy of it must not run.
    if (engine->wasAlreadyInstalled()) {
        processEnd->exitAfterRestart(0);
        return;
    }

    const ProductDaemon daemon(productDir());
    if (!daemon.exists()) {
        launchMainProgram();
        return;
    }
    serviceInstall = daemon.installCommand(this);
    // Also emitted when the daemon cannot be started: the product must be started all the same.
    connect(serviceInstall, &ToolProcess::finished, this, &UpdaterWindow::onServiceInstallFinished);
    serviceInstall->start();
    QTimer::singleShot(engine::scaledPauseMs(product::DaemonInstallLimitMs), this,
                       &UpdaterWindow::installTimeout);
}

void UpdaterWindow::installTimeout()
{
    if (serviceInstall->isRunning())
        serviceInstall->kill();
}

void UpdaterWindow::onServiceInstallFinished()
{
    // The outcome of "install" does not matter: the daemon is started and the product follows either way.
    QTimer::singleShot(engine::scaledPauseMs(product::DaemonRunDelayMs), this,
                       &UpdaterWindow::runDaemonService);
}

void UpdaterWindow::runDaemonService()
{
    ProductDaemon(productDir()).startRun();
    QTimer::singleShot(engine::scaledPauseMs(window::MainProgramDelayMs), this,
                       &UpdaterWindow::launchMainProgram);
}

void UpdaterWindow::launchMainProgram()
{
    // The daemon runs again: an interruption from here on needs no recovery, or, on trial, is judged by it.
    if (!engine->handOverToTrialWatcher()) {
        engine->completeInstallation();
        ToolProcess::startDetached(appPath, {}, productDir());
    }
    processEnd->exitAfterRestart(0);
}

void UpdaterWindow::onWebsiteClicked()
{
    QDesktopServices::openUrl(QUrl(QString::fromUtf8(window::DownloadPageUrl), QUrl::TolerantMode));
}
