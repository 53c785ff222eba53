#pragma once

#include "UpdateEngine.h"

// Opens the engine's steps and work paths to the benchmark.
class BenchEngine final : public UpdateEngine
{
public:
    using UpdateEngine::UpdateEngine;

    using UpdateEngine::beginJournal;
    using UpdateEngine::checkDiskSpace;
    using UpdateEngine::cleanupBackup;
    using UpdateEngine::createBackup;
    using UpdateEngine::extractUpdatePackage;
    using UpdateEngine::recordBackupComplete;
    using UpdateEngine::recordStage;
    using UpdateEngine::restoreBackup;

    using UpdateEngine::appDir;
    using UpdateEngine::appPath;
    using UpdateEngine::backupDir;
    using UpdateEngine::configPath;
    using UpdateEngine::newVersion;
    using UpdateEngine::running;
    using UpdateEngine::tempDir;
    using UpdateEngine::zipPath;
};
