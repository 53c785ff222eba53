#include "ProcessEnd.h"

#include "Platform.h"

namespace {

class PlatformProcessEnd final : public ProcessEnd
{
public:
    void terminate(int exitCode) override { platform::terminateCurrentProcess(exitCode); }
    void exitAfterRestart(int exitCode) override { platform::exitImmediately(exitCode); }
};

} // namespace

std::unique_ptr<ProcessEnd> ProcessEnd::platform()
{
    return std::make_unique<PlatformProcessEnd>();
}
