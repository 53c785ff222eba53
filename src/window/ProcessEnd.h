#pragma once

#include <QtGlobal>

#include <memory>

// The two ways the window ends the process: at once when it is destroyed, so that nothing of the caller
// runs after it, and through _exit after the restart has started the product.
class ProcessEnd
{
    Q_DISABLE_COPY_MOVE(ProcessEnd)

public:
    ProcessEnd() = default;
    virtual ~ProcessEnd() = default;

    virtual void terminate(int exitCode) = 0;
    virtual void exitAfterRestart(int exitCode) = 0;

    // The real end of this process, through the platform layer.
    static std::unique_ptr<ProcessEnd> platform();
};
