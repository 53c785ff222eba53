#pragma once

#include "ProcessEnd.h"

#include <QDialog>
#include <QMetaObject>
#include <QString>
#include <QStringList>

#include <memory>

class QCloseEvent;
class QLabel;
class QProgressBar;
class QPushButton;
class QShowEvent;
class QTextEdit;
class QTimer;
class ToolProcess;
class UpdateEngine;

// The updater's only window: a small card with the release notes, a status line, a progress bar and up to
// four buttons. It owns the engine, turns the engine's signals into what the user sees, and after a
// successful update restarts the product and ends the process.
class UpdaterWindow : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdaterWindow)

public:
    enum UpdateState
    {
        STATE_IDLE = 0,
        STATE_DOWNLOADING = 1,
        STATE_INSTALLING = 2,
        STATE_SUCCESS = 3,
        STATE_DOWNLOAD_FAILED = 4,
        STATE_INSTALL_FAILED = 5,
        STATE_CRITICAL_ERROR = 6
    };

    explicit UpdaterWindow(std::unique_ptr<ProcessEnd> processEnd = ProcessEnd::platform(),
                           QWidget *parent = nullptr);
    // Ends the process with exit code 0: nothing of the caller runs after the window is gone.
    ~UpdaterWindow() override;

    void setUpdateInfo(const QString &appPath, const QString &newVersion, const QString &downloadUrl,
                       const QString &mode, const QString &memo);
    // Optional SHA-256 of the package; empty leaves the check to the package size.
    void setExpectedSha256(const QString &sha256);
    // The package's signature and the public keys it must verify with; no key: no signature check.
    void setPackageSignature(const QString &signature, const QStringList &publicKeys);
    // Seconds the new version is on trial after the restart; 0: the update is final at once.
    void setTrialSeconds(int seconds);

    // Escape ends the updater, except while program files are being replaced and after a success, when it
    // starts the restart at once.
    void reject() override;

private slots:
    void onProgressChanged(int percent, const QString &message);
    void onStatusChanged(const QString &status);
    void onInstallProgress(int percent, const QString &message);
    void onReadyToInstall();
    void onUpdateFinished(bool success, const QString &message);
    void onErrorOccurred(const QString &error);
    void onUpdateNowClicked();
    void onCancelClicked();
    void restartApplication();
    void onWebsiteClicked();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void setupUI();
    void updateButtonState();
    static void showButton(QPushButton *button, const char *text, bool enabled);
    void applyProgressColour(const char *colour);
    void beginDownload();
    void autoStartDownload();
    void handleDownloadError(const QString &error);
    void handleInstallError(int type, const QString &error);
    void connectCloseToQuit();
    void startCountdown();
    void countdownTick();
    void restartNow();
    void onServiceInstallFinished();
    void installTimeout();
    void runDaemonService();
    void launchMainProgram();
    QString productDir() const;

    UpdateEngine *engine;
    QString appPath;
    int restartCountdown;
    int currentState;
    QString updateMode;
    QTextEdit *notesEdit = nullptr;
    QLabel *statusLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    QPushButton *updateButton = nullptr;
    QPushButton *cancelButton = nullptr;
    QPushButton *restartButton = nullptr;
    QPushButton *websiteButton = nullptr;

    // The extra Close handler of the failure states; Retry removes it so that Cancel during the new
    // download keeps the window open.
    QMetaObject::Connection quitOnClose;
    QTimer *countdownTimer = nullptr;
    ToolProcess *serviceInstall = nullptr;

    const std::unique_ptr<ProcessEnd> processEnd;

    // Drives the slots and reads the widgets, for the tests.
    friend class WindowProbe;
};
