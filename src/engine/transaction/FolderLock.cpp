#include "FolderLock.h"

#include "FileSafety.h"
#include "TransactionConstants.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QLockFile>
#include <QSysInfo>

using namespace transaction;

namespace {

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

FolderLock::FolderLock(const QString &appDir, int unjudgedHolderWaitMs)
    : appDir(appDir), lockPath(appDir + QLatin1Char('/') + FolderLockFileName),
      unjudgedHolderWaitMs(unjudgedHolderWaitMs)
{
}

FolderLock::~FolderLock() = default;

bool FolderLock::take(Wait wait, const std::function<void()> &onWaiting)
{
    lockFile = std::make_unique<QLockFile>(lockPath);
    // Only a dead holder makes the lock stale, never its age: an installation may take long.
    lockFile->setStaleLockTime(0);
    if (!removeLinkAtLockName())
        return false;
    if (lockFile->tryLock(0))
        return true;
    if (lockFile->error() == QLockFile::LockFailedError) {
        if (wait == Wait::SkipWhenBusy) {
            qDebug().noquote() << "另一个更新程序正在处理此目录:" << appDir;
            return false;
        }
        qDebug().noquote() << "另一个更新程序正在处理此目录，等待其结束:" << appDir;
        onWaiting();
        if (waitForHolder())
            return true;
    }
    qCritical().noquote() << "无法锁定程序目录:" << lockFile->error() << appDir;
    return false;
}

bool FolderLock::heldByAnother() const
{
    return lockFile && lockFile->error() == QLockFile::LockFailedError;
}

void FolderLock::release()
{
    lockFile.reset();
}

// A live holder on this machine is waited for as long as it runs. One that cannot be judged is waited for
// a bounded time, since an updater that has just created the file may not have written it yet; after that
// the file is taken for the leftover of a crash or power cut.
bool FolderLock::waitForHolder()
{
    QElapsedTimer unjudged;
    while (removeLinkAtLockName()) {
        if (lockFile->tryLock(qMin(FolderLockPollMs, unjudgedHolderWaitMs)))
            return true;
        if (lockFile->error() != QLockFile::LockFailedError)
            return false;
        if (holderOnThisMachine(lockPath)) {
            unjudged.invalidate();
        } else if (!unjudged.isValid()) {
            qWarning().noquote() << "锁文件的持有者无法确认（内容为空或来自其他主机），限时等待:" << lockPath;
            unjudged.start();
        } else if (unjudged.hasExpired(unjudgedHolderWaitMs)) {
            qWarning().noquote() << "锁文件的持有者仍无法确认，视为失效并删除:" << lockPath;
            lockFile->removeStaleLockFile();
            unjudged.invalidate();
        }
    }
    return false;
}

// QLockFile reads the holder through whatever has the lock's name: a link there could lead anywhere, to a
// pipe that never answers among others. No updater makes one, so it is removed as itself. True when no
// link (or pipe, or device) has the name any more.
bool FolderLock::removeLinkAtLockName() const
{
    const std::string path = lockPath.toStdString();
    const platform::EntryType type = platform::entryStatus(path).type;
    if (type != platform::EntryType::Link && type != platform::EntryType::Other)
        return true;
    qWarning().noquote() << "锁文件不是普通文件，删除后再锁定:" << lockPath;
    if (platform::removeTree(path))
        return true;
    qCritical().noquote() << "无法删除锁文件:" << lockPath;
    return false;
}
