#include "ProductProcesses.h"
#include "UpdateEngine.h"

bool UpdateEngine::closeRelatedProcesses()
{
    return ProductProcesses(appPath).closeAll();
}
