#include "ToolProcess.h"
#include "TransactionConstants.h"
#include "UpdateEngine.h"

#include <QCoreApplication>
#include <QDebug>

void UpdateEngine::setTrialSeconds(int seconds)
{
    trialSeconds = seconds;
}

// Detached, so that the window ends as it always has; the watcher has the journal to go by. A watcher that
// cannot be started leaves the trial to the next recovery (next start, --recover, the logon command), which
// judges it by the daemon's service.
bool UpdateEngine::handOverToTrialWatcher()
{
    if (!onTrial)
        return false;
    const QString watcher = QCoreApplication::applicationFilePath();
    if (!ToolProcess::startDetached(watcher, {transaction::WatchOption, appPath}, appDir)) {
        qCritical().noquote() << "无法启动试用期监视程序，试用期由下次恢复判定:" << watcher;
        return false;
    }
    qDebug().noquote() << "试用期监视程序已启动，试用期（秒）:" << trialSeconds;
    return true;
}
