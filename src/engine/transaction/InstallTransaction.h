#pragma once

#include "BackupCopy.h"
#include "FolderLock.h"
#include "InstallJournal.h"
#include "ProgramFolderWalk.h"
#include "TransactionConstants.h"

#include <QString>
#include <QVector>

#include <functional>
#include <optional>

// The rule "the program folder is always one whole version" for one run: the folder lock, the backup
// folder, the journal of the step under way and the logon command, from the beginning of an installation
// to its end, and the recovery of a run that was interrupted.
class InstallTransaction final
{
    Q_DISABLE_COPY_MOVE(InstallTransaction)

public:
    enum class RecoveryOutcome
    {
        NothingToDo, // no interrupted run, or another updater is at work on the folder right now
        Recovered,   // an interrupted run was rolled back or completed; the daemon was started again
        Failed,      // the folder could not be brought back whole; backup and journal are kept
    };
    using LockWait = FolderLock::Wait;

    // What the transaction needs from outside; every member may be empty.
    struct Observer
    {
        // Starts the product's daemon again, which the interrupted or ended run had stopped.
        std::function<void(const QString &appDir)> restartDaemon;
        // Another updater holds the folder, and the lock is waited for.
        std::function<void()> waitingForFolder;
        BackupCopy::Progress backupProgress;
        BackupCopy::Progress restoreProgress;
        // For a version rolled back after its trial: stops the product's processes and daemon as the
        // installation does (whether the main program is gone), records the failed version in config.ini,
        // and starts the old main program again.
        std::function<bool(const QString &appPath)> stopProduct;
        std::function<void(const QString &appDir, const QString &version)> recordFailedVersion;
        std::function<void(const QString &appPath)> startMainProgram;
        // Whether the product's daemon service runs: an interrupted trial is judged by it.
        std::function<bool(const QString &appDir)> daemonServiceRunning;
    };

    explicit InstallTransaction(Observer observer,
                                int unjudgedLockHolderWaitMs = transaction::UnjudgedLockHolderWaitMs);
    ~InstallTransaction();

    void setProgramPath(const QString &appPath);
    QString backupFolder() const { return backupDir; }
    // Set when a restore failed or brought back fewer files than the backup holds: the backup folder is
    // then the only copy of some program files.
    bool backupMustBeKept() const { return mustKeepBackup; }
    void keepBackup() { mustKeepBackup = true; }

    bool lockFolder(LockWait wait);
    void unlockFolder();

    // Brings the program folder of appPath back to one whole version after a run that was interrupted
    // (killed, crashed, power cut), following the journal that the run left there. Safe to repeat, also
    // after a recovery that was itself interrupted. Takes and releases the folder lock.
    RecoveryOutcome recover(const QString &appPath, LockWait wait);
    // The same, under the lock this run already holds: a journal left by an interrupted run is dealt with
    // before the run makes a backup of its own.
    RecoveryOutcome recoverInterrupted();

    // A new backup folder of this run's own and the journal's first record, after the logon command.
    bool begin();
    bool backUp();
    bool recordStage(InstallJournal::Stage stage);
    // The journal lists what the backup holds, with the sizes.
    bool recordBackupComplete();
    // Puts the backup back; true only when every entry of it is back.
    bool restore();
    // Only a restore that brought back every listed file with its size ends the run's need for the backup.
    void recordRestoredIfWhole();
    void removeBackupUnlessNeeded();
    void removeBackup();
    // The journal and the logon command go: the program folder is one whole version.
    void end();
    // The run stopped the daemon; it runs again before the journal goes.
    void endAndRestartDaemon();
    // After a successful installation the journal stays ("installed") until the restart has started the
    // daemon again, so that a kill before that is recovered with the daemon started; the restart calls this.
    void complete();

    // The trial after an installation: the new version runs while the backup is kept.
    // Records the stage with the version and the length of the trial; the backup is now the journal's.
    bool recordOnTrial(const QString &version, int trialSeconds);
    // The journal of a trial under way in appPath's folder, if there is one.
    std::optional<InstallJournal::Record> trialUnderWay(const QString &appPath);
    // Ends the trial whose journal names backupFolder, under the folder lock: healthy commits the new version
    // (backup, journal and logon command go), otherwise the old version is put back. NothingToDo when that
    // trial has already been ended by another run.
    RecoveryOutcome endTrial(const QString &backupFolder, bool healthy);

private:
    bool createBackupFolder();
    bool beginJournal();
    // Whether every file the journal lists is in folder as listed; logs each one that is not.
    bool folderMatchesJournal(const QString &folder, const char *mismatchLog) const;
    bool programFolderTrusted() const;
    bool backupFolderUsable(const QString &folder) const;
    bool rollBackFrom(const QString &folder);
    RecoveryOutcome finishRecovery(const QString &journalBackupDir);
    RecoveryOutcome judgeInterruptedTrial(const QString &journalBackupDir);
    RecoveryOutcome commitTrial(const QString &journalBackupDir);
    RecoveryOutcome rollBackTrial(const QString &journalBackupDir);
    // The backup goes, the daemon is started when asked, and the journal ends once the backup is gone.
    void releaseBackup(const QString &journalBackupDir, bool startDaemon);
    void recordFailedVersion() const;
    void keepForNextAttempt();
    void reportStrayBackups() const;
    void restartDaemon() const;

    Observer observer;
    QString appPath;
    QString appDir;
    QString backupDir;
    // Set while backupDir is the folder this run created and has not removed: a run removes no other.
    bool backupFolderOwned = false;
    bool mustKeepBackup = false;
    // What backUp copied, relative to the program folder; the journal lists it with the sizes.
    QVector<ProgramFolderWalk::Entry> backedUpEntries;
    InstallJournal::Record journalRecord;
    int unjudgedLockHolderWaitMs;
    // Held from the start of an installation or recovery to its end.
    std::unique_ptr<FolderLock> folderLock;

    friend class EngineProbe;
};
