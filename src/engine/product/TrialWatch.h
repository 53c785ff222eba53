#pragma once

#include <QString>

#include <cstdint>
#include <functional>

// The product's first minutes in its new version: starts the main program and watches it for the trial
// period, then looks for the daemon's service. The new version has failed when the main program ends with a
// crash (a non-zero exit code, a signal, an exception code) within the period, or when the daemon's service
// does not run at its end. A main program that the user closes normally, or that still runs, has not failed.
class TrialWatch final
{
    Q_DISABLE_COPY_MOVE(TrialWatch)

public:
    struct Verdict
    {
        bool healthy = false;
        QString reason; // what failed, for the log; empty when healthy
    };

    TrialWatch(const QString &appPath, int trialMs);

    // Returns at the end of the period, or as soon as the main program has crashed, or when stillOnTrial
    // says that the trial has been ended elsewhere (the verdict is then healthy and is not acted on).
    Verdict run(const std::function<bool()> &stillOnTrial);

private:
    bool startMainProgram();
    // Whether the main program has failed by now; sets the reason.
    bool mainProgramFailed(Verdict &verdict);

    QString appPath;
    int trialMs;
    std::int64_t mainProgram = 0;
    bool mainProgramEnded = false;
};
