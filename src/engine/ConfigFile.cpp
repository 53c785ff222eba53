#include "ProductConfig.h"
#include "UpdateEngine.h"

bool UpdateEngine::updateConfigFile()
{
    return ProductConfig(configPath).recordInstalledVersion(newVersion);
}
