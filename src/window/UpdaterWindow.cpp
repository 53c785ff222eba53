#include "UpdaterWindow.h"

#include "UpdateEngine.h"
#include "WindowStyle.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

UpdaterWindow::UpdaterWindow(std::unique_ptr<ProcessEnd> processEnd, QWidget *parent)
    : QDialog(parent), engine(new UpdateEngine), restartCountdown(window::RestartCountdownSeconds),
      currentState(STATE_IDLE), updateMode(window::DefaultMode), processEnd(std::move(processEnd))
{
    setupUI();
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);

    connect(engine, &UpdateEngine::progressChanged, this, &UpdaterWindow::onProgressChanged);
    connect(engine, &UpdateEngine::statusChanged, this, &UpdaterWindow::onStatusChanged);
    // The bar keeps what has arrived; the percent of the resumed transfer replaces this line.
    connect(engine, &UpdateEngine::reconnecting, this, [this](int attempt, int attempts) {
        if (currentState == STATE_DOWNLOADING)
            statusLabel->setText(QString::fromUtf8(window::StatusReconnecting).arg(attempt).arg(attempts));
    });
    connect(engine, &UpdateEngine::installProgress, this, &UpdaterWindow::onInstallProgress);
    connect(engine, &UpdateEngine::readyToInstall, this, &UpdaterWindow::onReadyToInstall);
    connect(engine, &UpdateEngine::updateFinished, this, &UpdaterWindow::onUpdateFinished);
    connect(engine, &UpdateEngine::errorOccurred, this, &UpdaterWindow::onErrorOccurred);
    connect(updateButton, &QPushButton::clicked, this, &UpdaterWindow::onUpdateNowClicked);
    connect(cancelButton, &QPushButton::clicked, this, &UpdaterWindow::onCancelClicked);
    connect(restartButton, &QPushButton::clicked, this, &UpdaterWindow::restartApplication);
    connect(websiteButton, &QPushButton::clicked, this, &UpdaterWindow::onWebsiteClicked);

    updateButtonState();
}

UpdaterWindow::~UpdaterWindow()
{
    if (engine) {
        engine->cancelUpdate();
        delete engine;
        engine = nullptr;
    }
    processEnd->terminate(0);
}

void UpdaterWindow::setExpectedSha256(const QString &sha256)
{
    engine->setExpectedSha256(sha256);
}

void UpdaterWindow::setPackageSignature(const QString &signature, const QStringList &publicKeys)
{
    engine->setPackageSignature(signature, publicKeys);
}

void UpdaterWindow::setTrialSeconds(int seconds)
{
    engine->setTrialSeconds(seconds);
}

void UpdaterWindow::showButton(QPushButton *button, const char *text, bool enabled)
{
    button->setText(text);
    button->setEnabled(enabled);
    button->show();
}

void UpdaterWindow::updateButtonState()
{
    switch (currentState) {
    case STATE_IDLE:
        if (updateMode == window::ManualMode)
            updateButton->hide();
        else
            showButton(updateButton, window::UpdateNowText, true);
        showButton(cancelButton, window::CancelText, true);
        restartButton->hide();
        websiteButton->hide();
        break;
    case STATE_DOWNLOADING:
        updateButton->hide();
        showButton(cancelButton, window::CancelText, true);
        restartButton->hide();
        websiteButton->hide();
        break;
    case STATE_INSTALLING:
        updateButton->hide();
        showButton(cancelButton, window::InstallingText, false);
        restartButton->hide();
        websiteButton->hide();
        break;
    case STATE_SUCCESS:
        updateButton->hide();
        cancelButton->hide();
        restartButton->setText(window::RestartText);
        restartButton->show();
        websiteButton->hide();
        break;
    default:
        // The failure states arrange their buttons themselves.
        break;
    }
}

void UpdaterWindow::applyProgressColour(const char *colour)
{
    progressBar->setStyleSheet(QString::fromUtf8(window::ProgressBarStyleTemplate).arg(colour));
}

void UpdaterWindow::beginDownload()
{
    updateButton->hide();
    progressBar->show();
    progressBar->setValue(0);
    applyProgressColour(window::DownloadColour);
    statusLabel->setText(window::StatusConnecting);
    // Paint the new look before the engine starts its work.
    QCoreApplication::processEvents();
    // A Cancel click handled while painting has already ended this download.
    if (currentState != STATE_DOWNLOADING)
        return;
    engine->startDownload();
}

void UpdaterWindow::onUpdateNowClicked()
{
    if (currentState != STATE_IDLE && currentState != STATE_DOWNLOAD_FAILED)
        return;
    QObject::disconnect(quitOnClose);
    currentState = STATE_DOWNLOADING;
    updateButtonState();
    beginDownload();
}

void UpdaterWindow::onCancelClicked()
{
    if (engine->isRunning())
        engine->cancelUpdate();
    switch (currentState) {
    case STATE_IDLE:
    case STATE_SUCCESS:
    case STATE_DOWNLOAD_FAILED:
    case STATE_INSTALL_FAILED:
    case STATE_CRITICAL_ERROR:
        QCoreApplication::quit();
        break;
    case STATE_DOWNLOADING:
        engine->cancelUpdate();
        currentState = STATE_IDLE;
        updateButtonState();
        progressBar->hide();
        statusLabel->setText(window::StatusDownloadCancelled);
        break;
    default:
        break;
    }
}

void UpdaterWindow::onProgressChanged(int percent, const QString &message)
{
    if (currentState != STATE_DOWNLOADING)
        return;
    progressBar->setValue(percent);
    statusLabel->setText(message);
}

void UpdaterWindow::onStatusChanged(const QString &status)
{
    statusLabel->setText(status);
}

void UpdaterWindow::onInstallProgress(int percent, const QString &message)
{
    if (currentState == STATE_DOWNLOADING && percent >= window::InstallPhaseStartPercent) {
        currentState = STATE_INSTALLING;
        updateButtonState();
        applyProgressColour(window::InstallColour);
    }
    if (currentState != STATE_INSTALLING && currentState != STATE_SUCCESS)
        return;
    progressBar->setValue(percent);
    statusLabel->setText(message);
}

void UpdaterWindow::onReadyToInstall()
{
    if (currentState != STATE_INSTALLING) {
        currentState = STATE_INSTALLING;
        updateButtonState();
        applyProgressColour(window::InstallColour);
        statusLabel->setText(window::StatusInstalling);
        QCoreApplication::processEvents();
    }
    QTimer::singleShot(window::InstallStartDelayMs, this, [this] { engine->startInstall(); });
}

void UpdaterWindow::onUpdateFinished(bool success, const QString &)
{
    if (!success)
        return;
    currentState = STATE_SUCCESS;
    applyProgressColour(window::InstallColour);
    progressBar->setValue(window::ProgressMaximum);
    statusLabel->setText(window::StatusSucceeded);
    updateButtonState();
    startCountdown();
}

void UpdaterWindow::reject()
{
    if (currentState == STATE_INSTALLING)
        return;
    if (currentState == STATE_SUCCESS) {
        restartNow();
        return;
    }
    QDialog::reject();
}

void UpdaterWindow::closeEvent(QCloseEvent *event)
{
    // Ending in the middle of replacing program files would leave the product broken.
    if (currentState == STATE_INSTALLING) {
        event->ignore();
        return;
    }
    // The product's daemon and main program were ended for the update: only the restart brings them back,
    // and it ends the updater itself.
    if (currentState == STATE_SUCCESS) {
        event->ignore();
        restartNow();
        return;
    }
    if (engine->isRunning())
        engine->cancelUpdate();
    QCoreApplication::quit();
    event->accept();
}
