#pragma once

#include "UpdateEngine.h"

#include <QStringList>

// Opens the engine's steps and state to the tests and the benches: the engine's one friend.
class EngineProbe final : public UpdateEngine
{
public:
    using UpdateEngine::UpdateEngine;

    using UpdateEngine::checkDiskSpace;
    using UpdateEngine::cleanupBackup;
    using UpdateEngine::cleanupTempDir;
    using UpdateEngine::closeRelatedProcesses;
    using UpdateEngine::createBackup;
    using UpdateEngine::doInstallWork;
    using UpdateEngine::extractUpdatePackage;
    using UpdateEngine::onDownloadError;
    using UpdateEngine::onDownloadFinished;
    using UpdateEngine::onDownloadProgress;
    using UpdateEngine::restoreBackup;
    using UpdateEngine::updateConfigFile;

    using UpdateEngine::appDir;
    using UpdateEngine::appPath;
    using UpdateEngine::cancelled;
    using UpdateEngine::configPath;
    using UpdateEngine::currentReply;
    using UpdateEngine::downloadBuffer;
    using UpdateEngine::downloadUrl;
    using UpdateEngine::installTransaction;
    using UpdateEngine::newVersion;
    using UpdateEngine::packageListing;
    using UpdateEngine::running;
    using UpdateEngine::tempDir;
    using UpdateEngine::workerThread;
    using UpdateEngine::zipPath;

    // The program folder's transaction keeps the backup folder and whether it must outlive the run.
    void setAppDir(const QString &folder);
    // Aims the engine at a program folder and a package already on disk, as after a download, for the benches
    // that drive one step at a time.
    void aimAt(const QString &mainExecutable, const QString &packagePath, const QString &version);
    QString backupDir() const { return installTransaction.backupFolder(); }
    void setBackupDir(const QString &folder) { installTransaction.backupDir = folder; }
    bool backupMustBeKept() const { return installTransaction.backupMustBeKept(); }
    void keepBackup() { installTransaction.keepBackup(); }
};

// Records every signal of an engine, in order, as one line each, for example
// "progressChanged 23 Download: 23%" or "errorOccurred 下载失败: ...".
class EngineSignalLog final : public QObject
{
    Q_OBJECT
public:
    explicit EngineSignalLog(UpdateEngine *engine);

    QStringList lines;
    // Only the lines of one signal, without the signal's name.
    QStringList of(const QString &signalName) const;
};
