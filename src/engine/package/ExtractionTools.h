#pragma once

#include "ToolProcess.h"

#include <QString>

class PackageListing;

// Writes a package into the program folder with the system's own tools: PowerShell's Expand-Archive first,
// tar when the folder does not hold the package after it. A tool's exit code proves nothing on its own
// (a stub PowerShell exits 0 having written nothing): the folder is checked against the listing.
class ExtractionTools final
{
    Q_DISABLE_COPY_MOVE(ExtractionTools)

public:
    ExtractionTools(const QString &zipPath, const QString &appDir);

    // Whether the folder holds every entry of the listing once the tools have run. No tool runs after one
    // that was killed at its limit and is still running: nothing else may write into the folder then.
    bool extract(const PackageListing &listing, int powerShellTimeoutMs, int tarTimeoutMs);
    // Whether the last tool that ran exited cleanly, whatever the folder holds.
    bool commandSucceeded() const { return lastOutcome == Outcome::Succeeded; }
    // What PowerShell wrote to its error output when it failed; empty otherwise.
    const QString &errorText() const { return powerShellError; }

private:
    enum class Outcome
    {
        Succeeded,
        Failed,
        // Killed at its time limit but not gone.
        StillRunning,
    };

    Outcome expandWithPowerShell(int timeoutMs);
    Outcome extractWithTar(int timeoutMs);
    // Runs the tool within its limit; logs how it ended when it did not end by itself.
    static ToolProcess::End runTool(ToolProcess &tool, int timeoutMs);
    static Outcome outcomeOfUnfinished(ToolProcess::End end);

    const QString zipPath;
    const QString appDir;
    Outcome lastOutcome = Outcome::Failed;
    QString powerShellError;
};
