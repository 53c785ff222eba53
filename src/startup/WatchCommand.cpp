#include "WatchCommand.h"

#include "HeadlessCommand.h"
#include "InstallTransaction.h"
#include "PauseScale.h"
#include "ProductObserver.h"
#include "StartupConstants.h"
#include "ToolProcess.h"
#include "TrialWatch.h"

#include <QDebug>
#include <QFileInfo>

namespace startup {

namespace {

int watchTrial(const QString &program)
{
    const QString folder = QFileInfo(program).absolutePath();
    InstallTransaction transaction(engine::productObserver(true));
    const std::optional<InstallJournal::Record> trial = transaction.trialUnderWay(program);
    // The window left the main program's start to this run: it is started whatever else happens.
    if (!trial) {
        qWarning().noquote() << LogNoTrialUnderWay << program;
        ToolProcess::startDetached(program, {}, folder);
        return ExitSuccess;
    }
    qInfo().noquote() << LogTrialStarted << trial->version << trial->trialSeconds;
    const InstallJournal journal(folder);
    TrialWatch watch(program, engine::scaledPauseMs(trial->trialSeconds * 1000));
    const TrialWatch::Verdict verdict = watch.run([&journal] { return journal.exists(); });
    if (!verdict.healthy)
        qCritical().noquote() << LogTrialFailed << verdict.reason;
    const InstallTransaction::RecoveryOutcome outcome =
        transaction.endTrial(trial->backupFolder, verdict.healthy);
    return outcome == InstallTransaction::RecoveryOutcome::Failed ? ExitRecoveryFailed : ExitSuccess;
}

} // namespace

bool isWatchCommand(int argc, char *argv[])
{
    return isHeadlessCommand(argc, argv, transaction::WatchOption);
}

int runWatchCommand(int argc, char *argv[])
{
    return runHeadlessCommand(argc, argv, {LogWatchUsage, LogWatchNeedsAdministrator}, watchTrial);
}

} // namespace startup
