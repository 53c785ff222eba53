// The run's side of crash safety: one updater per program folder, the journal of what the run is about to
// do, and the command that recovers the folder at the next administrator logon.

#include "Platform.h"
#include "ProductDaemon.h"
#include "UpdateEngine.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>

using namespace engine;
using Stage = InstallJournal::Stage;

namespace {

std::string nativeBytes(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

QString quoted(const QString &path)
{
    return QLatin1Char('"') + QDir::toNativeSeparators(path) + QLatin1Char('"');
}

} // namespace

bool UpdateEngine::takeFolderLock(LockWait wait)
{
    folderLock = std::make_unique<QLockFile>(appDir + QLatin1Char('/') + FolderLockFileName);
    // Only a dead holder makes the lock stale, never its age: an installation may take long.
    folderLock->setStaleLockTime(0);
    if (folderLock->tryLock(0))
        return true;
    if (folderLock->error() == QLockFile::LockFailedError) {
        if (wait == LockWait::SkipWhenBusy) {
            qDebug().noquote() << "另一个更新程序正在处理此目录:" << appDir;
            return false;
        }
        qDebug().noquote() << "另一个更新程序正在处理此目录，等待其结束:" << appDir;
        emit installProgress(InstallProgressStart, ProgressWaitingForOtherUpdate);
        if (folderLock->lock())
            return true;
    }
    qCritical().noquote() << "无法锁定程序目录:" << folderLock->error() << appDir;
    return false;
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
        !platform::flushFileSystemOf(nativeBytes(appDir)))
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
    if (!backupMustBeKept)
        recordStage(Stage::Restored);
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
