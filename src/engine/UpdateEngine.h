#pragma once

#include "EngineConstants.h"
#include "InstallJournal.h"
#include "PackageListing.h"
#include "ProgramFolderWalk.h"

#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class QLockFile;
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
    enum class RecoveryOutcome
    {
        NothingToDo, // no interrupted run, or another updater is at work on the folder right now
        Recovered,   // an interrupted run was rolled back or completed; the daemon was started again
        Failed,      // the folder could not be brought back whole; backup and journal are kept
    };
    enum class LockWait
    {
        Wait,         // until the updater working on the folder has ended its run
        SkipWhenBusy, // that updater will leave the folder whole itself
    };

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
    // Brings the program folder of appPath back to one whole version after a run that was interrupted
    // (killed, crashed, power cut), following the journal that the run left there. Safe to repeat, also
    // after a recovery that was itself interrupted. Runs on the calling thread; needs no other setup.
    RecoveryOutcome recoverProgramFolder(const QString &appPath, LockWait wait);
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

    // Crash safety of the installation: the per-folder lock, the journal and the logon command
    bool takeFolderLock(LockWait wait);
    void releaseFolderLock();
    RecoveryOutcome recoverInterruptedInstall();
    bool beginJournal();
    bool recordStage(InstallJournal::Stage stage);
    bool recordBackupComplete();

    QNetworkAccessManager *networkManager;
    QNetworkReply *currentReply = nullptr;
    QString appPath;
    QString newVersion;
    QString downloadUrl;
    QString tempDir;
    QString zipPath;
    QString backupDir;
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
    // Set when a restore failed or brought back fewer files than the backup
    // holds: the backup folder is then the only copy of some program files.
    bool backupMustBeKept = false;
    // Bytes the current user may write on the volume of a folder; tests replace it.
    std::function<qint64(const QString &folder)> availableBytes;
    // What createBackup copied, relative to the program folder; the journal lists it with the sizes.
    QVector<ProgramFolderWalk::Entry> backedUpEntries;
    // Held from the start of an installation or recovery to its end.
    std::unique_ptr<QLockFile> folderLock;
    InstallJournal::Record journalRecord;
    // Time limits of the extraction tools; tests shorten them.
    int powerShellTimeoutMs = engine::PowerShellTimeoutMs;
    int tarTimeoutMs = engine::TarTimeoutMs;
    // Largest package the download accepts (it must fit one QByteArray); tests lower it.
    qint64 maximumPackageBytes = engine::MaximumPackageBytes;
    // How long a folder lock whose holder cannot be judged is waited for; tests shorten it.
    int unjudgedLockHolderWaitMs = engine::UnjudgedLockHolderWaitMs;

private:
    void receivePackageData();
    bool packageSignatureAccepted(const QByteArray &package) const;
    void abandonTransfer(const QString &reason);
    void releaseReply();

    // The install worker's sequence and its endings
    void runInstallSteps();
    void finishInstall();
    void restoreOldVersion();
    void endInstallWithError(const QString &error);
    bool createBackupFolder();
    void removeBackupUnlessNeeded();

    // Set while tempDir is the folder this run created; a cleaned-up name is never taken up again.
    bool workFolderOwned = false;
    // Set while backupDir is the folder this run created and has not removed: a run removes no other.
    bool backupFolderOwned = false;

    // The journal of a run, and the ends of a run that leave the old version whole
    bool prepareProgramFolder();
    void recordRestoredIfWhole();
    bool programFolderMatchesJournal() const;
    // Whether every file the journal lists is in folder as listed; logs each one that is not.
    bool folderMatchesJournal(const QString &folder, const char *mismatchLog) const;
    void endJournal();
    void endJournalAndRestartDaemon();
    void registerRecoveryAtLogon() const;
    QString runOnceValueName() const;

    // The folder lock's wait, and the checks before a recovery acts on a journal
    bool waitForFolderLock();
    bool removeLinkAtLockName() const;
    QString folderLockPath() const;
    bool programFolderTrusted() const;
    bool backupFolderUsable() const;

    // Recovery steps
    bool rollBackFromBackup();
    void keepForNextAttempt();
    void reportStrayBackups() const;
};
