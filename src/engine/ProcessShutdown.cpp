#include "UpdateEngine.h"
bool UpdateEngine::closeRelatedProcesses() { return false; }
