#include "UpdaterWindow.h"

#include "EngineConstants.h"
#include "PauseScale.h"
#include "UpdateEngine.h"
#include "WindowStyle.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

QString UpdaterWindow::productDir() const
{
    return QFileInfo(appPath).absolutePath();
}

QString UpdaterWindow::serverDir() const
{
    return productDir() + engine::ServerSubfolder;
}

QString UpdaterWindow::daemonPath() const
{
    return productDir() + engine::DaemonRelativePath;
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

    if (!QFile::exists(daemonPath())) {
        launchMainProgram();
        return;
    }
    serviceInstall = new QProcess(this);
    serviceInstall->setWorkingDirectory(serverDir());
    connect(serviceInstall, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &UpdaterWindow::onServiceInstallFinished);
    connect(serviceInstall, &QProcess::errorOccurred, this, &UpdaterWindow::onServiceInstallError);
    serviceInstall->start(daemonPath(), {engine::DaemonInstallCommand}, QIODevice::ReadWrite);
    QTimer::singleShot(engine::scaledPauseMs(engine::DaemonInstallLimitMs), this,
                       &UpdaterWindow::installTimeout);
}

void UpdaterWindow::installTimeout()
{
    if (serviceInstall->state() != QProcess::NotRunning)
        serviceInstall->kill();
}

void UpdaterWindow::onServiceInstallError(QProcess::ProcessError error)
{
    // A daemon that cannot be started emits no finished signal; the product must be started all the same.
    if (error == QProcess::FailedToStart)
        onServiceInstallFinished(-1, QProcess::CrashExit);
}

void UpdaterWindow::onServiceInstallFinished(int, QProcess::ExitStatus)
{
    // The outcome of "install" does not matter: the daemon is started and the product follows either way.
    if (daemonRunScheduled)
        return;
    daemonRunScheduled = true;
    QTimer::singleShot(engine::scaledPauseMs(engine::DaemonRunDelayMs), this,
                       &UpdaterWindow::runDaemonService);
}

void UpdaterWindow::runDaemonService()
{
    if (!QProcess::startDetached(daemonPath(), {engine::DaemonRunCommand}, serverDir()))
        QProcess::startDetached(daemonPath(), {}, serverDir());
    QTimer::singleShot(engine::scaledPauseMs(window::MainProgramDelayMs), this,
                       &UpdaterWindow::launchMainProgram);
}

void UpdaterWindow::launchMainProgram()
{
    // The daemon runs again: an interruption from here on needs no recovery.
    engine->completeInstallation();
    QProcess::startDetached(appPath, {}, productDir());
    exitAfterRestart(0);
}

void UpdaterWindow::onWebsiteClicked()
{
    QDesktopServices::openUrl(QUrl(QString::fromUtf8(window::DownloadPageUrl), QUrl::TolerantMode));
}
