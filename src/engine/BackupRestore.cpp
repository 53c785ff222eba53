#include "UpdateEngine.h"
bool UpdateEngine::createBackup() { return false; }
bool UpdateEngine::restoreBackup() { return false; }
