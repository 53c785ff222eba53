#pragma once

#include "EngineConstants.h"
#include "InstallTransaction.h"
#include "PackageListing.h"

#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

class QNetworkAccessManager;
class QThread;

// Does all of the update work and never touches a widget: downloads and checks
// the package on the GUI thread, then installs it on a worker thread of its own.
// Everything it has to say leaves through its six signals.
//
// The steps and the state are protected rather than private so that the tests
// can drive one step at a time through a subclass.
class UpdateEngine : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdateEngine)

public:
    explicit UpdateEngine(QObject *parent = nullptr);
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

signals:
    void progressChanged(int percent, const QString &message);
    void installProgress(int percent, const QString &message);
    void statusChanged(const QString &status);
    void readyToInstall();
    void updateFinished(bool success, const QString &message);
    void errorOccurred(const QString &error);

protected slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onDownloadFinished();
    void onDownloadError(QNetworkReply::NetworkError error);
    void doInstallWork();

protected:
    // Disk space and work folders
    bool createWorkFolder();
    bool checkDiskSpace();
    void cleanupTempDir();
    void cleanupBackup();

    // Installation steps, run on the worker thread
    bool closeRelatedProcesses();
    bool createBackup();
    bool restoreBackup();
    bool extractUpdatePackage();
    bool updateConfigFile();

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

    // The package body, filled as it arrives so that Qt's reply buffer never
    // holds a second copy of it.
    QByteArray downloadBuffer;
    QString expectedSha256;
    // What the verified package holds; the extraction is checked against it.
    PackageListing packageListing;
    QString packageSignature;
    QStringList packagePublicKeys;
    // Bytes the current user may write on the volume of a folder; tests replace it.
    std::function<qint64(const QString &folder)> availableBytes;
    // The backup folder, the journal and the folder lock of the installation.
    InstallTransaction installTransaction;
    // Time limits of the extraction tools; tests shorten them.
    int powerShellTimeoutMs = engine::PowerShellTimeoutMs;
    int tarTimeoutMs = engine::TarTimeoutMs;
    // Largest package the download accepts (it must fit one QByteArray); tests lower it.
    qint64 maximumPackageBytes = engine::MaximumPackageBytes;

private:
    void receivePackageData();
    void abandonTransfer(const QString &reason);
    void releaseReply();

    // The install worker's sequence and its endings
    void runInstallSteps();
    void finishInstall();
    void restoreOldVersion();
    void endInstallWithError(const QString &error);
    InstallTransaction::Observer transactionObserver();

    // Set while tempDir is the folder this run created; a cleaned-up name is never taken up again.
    bool workFolderOwned = false;

    // Under the folder lock, a journal left by an interrupted run is dealt with first.
    bool prepareProgramFolder();
};
