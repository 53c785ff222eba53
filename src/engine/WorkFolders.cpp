#include "UpdateEngine.h"
bool UpdateEngine::checkDiskSpace() { return false; }
void UpdateEngine::cleanupTempDir() {}
void UpdateEngine::cleanupBackup() {}
