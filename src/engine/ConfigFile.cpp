#include "UpdateEngine.h"
bool UpdateEngine::updateConfigFile() { return false; }
