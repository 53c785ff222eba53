#include "UpdateEngine.h"
bool UpdateEngine::extractUpdatePackage() { return false; }
