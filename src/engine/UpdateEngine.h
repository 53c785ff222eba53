#pragma once

#include "EngineConstants.h"
#include "EngineLimits.h"
#include "InstallTransaction.h"
#include "PackageListing.h"

#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>

class QNetworkAccessManager;
class QThread;

// Does all of the update work and never touches a widget: downloads and checks
// the package on the GUI thread, then installs it on a worker thread of its own.
// Everything it has to say leaves through its signals.
class UpdateEngine : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdateEngine)

public:
    explicit UpdateEngine(const EngineLimits &limits = {}, QObject *parent = nullptr);
    ~UpdateEngine() override;

    void setUpdateInfo(const QString &appPath, const QString &newVersion, const QString &downloadUrl);
    // Optional SHA-256 of the package (64 hex digits); empty means the size check alone decides.
    void setExpectedSha256(const QString &sha256);
    // The package's signature from the information file and the vendor's public keys it must verify with;
    // with no key, packages are not signature-checked.
    void setPackageSignature(const QString &signature, const QStringList &publicKeys);
    void startDownload();
    void startInstall();
    void cancelUpdate();
    bool isRunning() const;
    // After a successful installation the journal stays ("installed") until the restart has started the
    // daemon again, so that a kill before that is recovered with the daemon started; the restart calls this.
    void completeInstallation();
    // The trial after the installation, in seconds; 0 (the default) makes the update final at once.
    void setTrialSeconds(int seconds);
    // After a successful installation on trial: starts the watcher, a copy of this program that starts the
    // main program and ends the trial. False when there is no trial or the watcher could not be started; the
    // caller then starts the main program itself.
    bool handOverToTrialWatcher();
    // After a success: whether another updater had already installed this version, so that nothing was
    // installed and the product must not be started again.
    bool wasAlreadyInstalled() const { return alreadyInstalled; }

signals:
    void progressChanged(int percent, const QString &message);
    void installProgress(int percent, const QString &message);
    void statusChanged(const QString &status);
    void readyToInstall();
    void updateFinished(bool success, const QString &message);
    void errorOccurred(const QString &error);
    // The transfer broke off; after a pause the engine asks again (attempt of attempts in a row).
    void reconnecting(int attempt, int attempts);

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onDownloadFinished();
    void onDownloadError(QNetworkReply::NetworkError error);
    void onTransferSilent();
    void requestPackage();
    void doInstallWork();

private:
    // Disk space and work folders
    bool createWorkFolder();
    bool checkDiskSpace();
    void cleanupTempDir();
    void cleanupBackup();

    // The download
    void receivePackageData();
    bool acceptAnswer();
    bool continuesReceivedPart() const;
    void takeAsFirstAnswer();
    void resumeLater(const QString &reason);
    void abandonTransfer(const QString &reason);
    void dropReply();
    void releaseReply();

    // Installation steps, run on the worker thread
    bool closeRelatedProcesses();
    bool createBackup();
    bool restoreBackup();
    bool extractUpdatePackage();
    bool updateConfigFile();

    // The install worker's sequence and its endings; under the folder lock, a journal left by an
    // interrupted run is dealt with first.
    bool prepareProgramFolder();
    void runInstallSteps();
    void finishInstall();
    void finishAsAlreadyInstalled();
    void restoreOldVersion();
    void endInstallWithError(const QString &error);
    InstallTransaction::Observer transactionObserver();

    const EngineLimits limits;
    QNetworkAccessManager *networkManager;
    QNetworkReply *currentReply = nullptr;
    QString appPath;
    QString newVersion;
    QString downloadUrl;
    QString tempDir;
    QString zipPath;
    QString appDir;
    // Written by the worker thread, read by the window on the GUI thread.
    std::atomic_bool running{false};
    bool cancelled = false;
    QThread *workerThread = nullptr;
    QString configPath;
    // Set while tempDir is the folder this run created; a cleaned-up name is never taken up again.
    bool workFolderOwned = false;
    int trialSeconds = 0;
    // Set by the worker thread once the journal says "on trial", read by the window's restart.
    std::atomic_bool onTrial{false};
    std::atomic_bool alreadyInstalled{false};

    // The package body, filled as it arrives so that Qt's reply buffer never
    // holds a second copy of it.
    QByteArray downloadBuffer;
    // What a resume must match: the whole package's length and the first answer's ETag or Last-Modified.
    qint64 packageBytes = -1;
    QByteArray packageValidator;
    // Where the current answer's body starts in the package, and whether it still has to be judged.
    qint64 answerOffset = 0;
    bool answerJudged = false;
    // Attempts since the package last grew beyond the furthest point reached.
    int resumeAttempt = 0;
    qint64 furthestBytes = 0;
    // The connection's and the silence's time limit, and the pause before the next attempt.
    QTimer transferWatch;
    QTimer resumePause;
    QString expectedSha256;
    // What the verified package holds; the extraction is checked against it.
    PackageListing packageListing;
    QString packageSignature;
    QStringList packagePublicKeys;
    // The backup folder, the journal and the folder lock of the installation.
    InstallTransaction installTransaction;

    // Drives one step at a time and reads the state, for the tests and the benches.
    friend class EngineProbe;
};
