#pragma once

#include "UpdateEngine.h"

// Opens the engine's steps and work paths to the benchmark.
class BenchEngine final : public UpdateEngine
{
public:
    using UpdateEngine::UpdateEngine;

    using UpdateEngine::checkDiskSpace;
    using UpdateEngine::cleanupBackup;
    using UpdateEngine::createBackup;
    using UpdateEngine::extractUpdatePackage;

    using UpdateEngine::appDir;
    using UpdateEngine::appPath;
    using UpdateEngine::configPath;
    using UpdateEngine::installTransaction;
    using UpdateEngine::newVersion;
    using UpdateEngine::running;
    using UpdateEngine::tempDir;
    using UpdateEngine::zipPath;
};
