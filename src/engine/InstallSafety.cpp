// The run's side of crash safety: one updater per program folder, the journal of what the run is about to
// do, and the command that recovers the folder at the next administrator logon.

#include "FileSafety.h"
#include "Platform.h"
#include "ProductDaemon.h"
#include "UpdateEngine.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QSysInfo>

using namespace engine;
using Stage = InstallJournal::Stage;

namespace {

QString quoted(const QString &path)
{
    return QLatin1Char('"') + QDir::toNativeSeparators(path) + QLatin1Char('"');
}

// Whether QLockFile can judge the holder the lock file names, by the same rule as QLockFile itself: a process
// id, on this machine (by the machine id when the file has one, else by the host name). QLockFile writes the
// id, the program, the host, the machine id and the boot id, one a line. Such a holder, still holding the
// lock, is alive; any other may have died with the lock file half written or on another machine.
bool holderOnThisMachine(const QString &lockPath)
{
    QFile file(lockPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = file.read(MaximumLockFileBytes).split('\n');
    bool isNumber = false;
    if (lines.at(0).toLongLong(&isNumber) <= 0 || !isNumber)
        return false;
    const QByteArray machineId = lines.value(3);
    const QByteArray ownMachineId = QSysInfo::machineUniqueId();
    if (!machineId.isEmpty() && !ownMachineId.isEmpty())
        return machineId == ownMachineId;
    const QString host = QString::fromUtf8(lines.value(2));
    return host.isEmpty() || host == QSysInfo::machineHostName();
}

} // namespace

bool UpdateEngine::takeFolderLock(LockWait wait)
{
    folderLock = std::make_unique<QLockFile>(folderLockPath());
    // Only a dead holder makes the lock stale, never its age: an installation may take long.
    folderLock->setStaleLockTime(0);
    if (!removeLinkAtLockName())
        return false;
    if (folderLock->tryLock(0))
        return true;
    if (folderLock->error() == QLockFile::LockFailedError) {
        if (wait == LockWait::SkipWhenBusy) {
            qDebug().noquote() << "另一个更新程序正在处理此目录:" << appDir;
            return false;
        }
        qDebug().noquote() << "另一个更新程序正在处理此目录，等待其结束:" << appDir;
        emit installProgress(InstallProgressStart, ProgressWaitingForOtherUpdate);
        if (waitForFolderLock())
            return true;
    }
    qCritical().noquote() << "无法锁定程序目录:" << folderLock->error() << appDir;
    return false;
}

// A live holder on this machine is waited for as long as it runs. One that cannot be judged is waited for
// a bounded time, since an updater that has just created the file may not have written it yet; after that
// the file is taken for the leftover of a crash or power cut.
bool UpdateEngine::waitForFolderLock()
{
    const QString lockPath = folderLockPath();
    QElapsedTimer unjudged;
    while (removeLinkAtLockName()) {
        if (folderLock->tryLock(qMin(FolderLockPollMs, unjudgedLockHolderWaitMs)))
            return true;
        if (folderLock->error() != QLockFile::LockFailedError)
            return false;
        if (holderOnThisMachine(lockPath)) {
            unjudged.invalidate();
        } else if (!unjudged.isValid()) {
            qWarning().noquote() << "锁文件的持有者无法确认（内容为空或来自其他主机），限时等待:" << lockPath;
            unjudged.start();
        } else if (unjudged.hasExpired(unjudgedLockHolderWaitMs)) {
            qWarning().noquote() << "锁文件的持有者仍无法确认，视为失效并删除:" << lockPath;
            folderLock->removeStaleLockFile();
            unjudged.invalidate();
        }
    }
    return false;
}

// QLockFile reads the holder through whatever has the lock's name: a link there could lead anywhere, to a
// pipe that never answers among others. No updater makes one, so it is removed as itself. True when no
// link (or pipe, or device) has the name any more.
bool UpdateEngine::removeLinkAtLockName() const
{
    const std::string path = folderLockPath().toStdString();
    const platform::EntryType type = platform::entryStatus(path).type;
    if (type != platform::EntryType::Link && type != platform::EntryType::Other)
        return true;
    qWarning().noquote() << "锁文件不是普通文件，删除后再锁定:" << folderLockPath();
    if (platform::removeTree(path))
        return true;
    qCritical().noquote() << "无法删除锁文件:" << folderLockPath();
    return false;
}

QString UpdateEngine::folderLockPath() const
{
    return appDir + QLatin1Char('/') + FolderLockFileName;
}

void UpdateEngine::releaseFolderLock()
{
    folderLock.reset();
}

// Under the lock, a journal left by an interrupted run is dealt with first: a backup of a half-new folder
// must never be taken for the old version.
bool UpdateEngine::prepareProgramFolder()
{
    if (!takeFolderLock(LockWait::Wait)) {
        endInstallWithError(ErrorBackupFailed);
        return false;
    }
    if (recoverInterruptedInstall() == RecoveryOutcome::Failed) {
        endInstallWithError(ErrorInstallNotRestored);
        return false;
    }
    return true;
}

bool UpdateEngine::beginJournal()
{
    journalRecord = {Stage::Started, QFileInfo(backupDir).fileName(), {}};
    // The logon command goes first: a journal without it would wait for the next updater start.
    registerRecoveryAtLogon();
    return InstallJournal(appDir).write(journalRecord);
}

bool UpdateEngine::recordStage(Stage stage)
{
    // These stages promise that files are on disk, not only in the system's cache.
    if ((stage == Stage::BackupComplete || stage == Stage::Restored || stage == Stage::Installed) &&
        !platform::flushFileSystemOf(appDir.toStdString()))
        qWarning().noquote() << "无法将文件写入磁盘:" << appDir;
    journalRecord.stage = stage;
    return InstallJournal(appDir).write(journalRecord);
}

bool UpdateEngine::recordBackupComplete()
{
    journalRecord.files.clear();
    journalRecord.files.reserve(backedUpEntries.size());
    for (const ProgramFolderWalk::Entry &entry : backedUpEntries) {
        const bool link = entry.kind == ProgramFolderWalk::Kind::Link;
        const qint64 size = link ? 0 : QFileInfo(backupDir + QLatin1Char('/') + entry.relativePath).size();
        journalRecord.files.append({entry.relativePath, size, link});
    }
    return recordStage(Stage::BackupComplete);
}

void UpdateEngine::completeInstallation()
{
    if (!InstallJournal(appDir).exists())
        return;
    // Another updater holding the folder now has taken over this journal, or written its own.
    if (!takeFolderLock(LockWait::SkipWhenBusy)) {
        releaseFolderLock();
        return;
    }
    const InstallJournal::Reading reading = InstallJournal(appDir).read();
    if (reading.record && reading.record->stage == Stage::Installed &&
        reading.record->backupFolder == QFileInfo(backupDir).fileName())
        endJournal();
    releaseFolderLock();
}

// Only a restore that brought back every listed file with its size ends the run's need for the backup.
void UpdateEngine::recordRestoredIfWhole()
{
    if (!backupMustBeKept && !programFolderMatchesJournal())
        backupMustBeKept = true;
    // Without the record the journal still asks for a restore, which needs the backup.
    if (!backupMustBeKept && !recordStage(Stage::Restored))
        backupMustBeKept = true;
}

bool UpdateEngine::programFolderMatchesJournal() const
{
    return folderMatchesJournal(appDir, "恢复后的文件与备份清单不符:");
}

bool UpdateEngine::folderMatchesJournal(const QString &folder, const char *mismatchLog) const
{
    bool matches = true;
    for (const InstallJournal::BackedUpFile &file : journalRecord.files) {
        if (!InstallJournal::isListedEntry(folder + QLatin1Char('/') + file.path, file)) {
            qWarning().noquote() << mismatchLog << file.path;
            matches = false;
        }
    }
    return matches;
}

void UpdateEngine::endJournal()
{
    if (InstallJournal(appDir).remove())
        platform::removeRunOnceCommand(runOnceValueName().toStdString());
}

// The run stopped the daemon; whoever reaches this machine remotely needs it back. The journal goes only
// once the daemon runs, so that a kill in between is recovered with the daemon started.
void UpdateEngine::endJournalAndRestartDaemon()
{
    ProductDaemon(appDir).restart();
    endJournal();
}

void UpdateEngine::registerRecoveryAtLogon() const
{
    const QString command = quoted(QCoreApplication::applicationFilePath()) + QLatin1Char(' ') +
                            RecoverOption + QLatin1Char(' ') + quoted(appPath);
    if (!platform::setRunOnceCommand(runOnceValueName().toStdString(), command.toStdString()))
        qWarning() << "无法登记登录时的恢复命令";
}

QString UpdateEngine::runOnceValueName() const
{
    // Windows compares paths without letter case.
    const QByteArray digest = QCryptographicHash::hash(QDir::toNativeSeparators(appDir).toLower().toUtf8(),
                                                       QCryptographicHash::Sha1);
    return RunOnceValuePrefix + QString::fromLatin1(digest.toHex().left(16));
}
