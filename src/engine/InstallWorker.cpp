#include "UpdateEngine.h"
void UpdateEngine::startInstall() {}
void UpdateEngine::doInstallWork() {}
