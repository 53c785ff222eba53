#include "UpdaterRun.h"

#include <QDeadlineTimer>
#include <QTest>

namespace {
constexpr int PollMs = 50;
constexpr int KillWaitMs = 5000;
} // namespace

UpdaterRun::~UpdaterRun()
{
    if (!isRunning())
        return;
    process.kill();
    process.waitForFinished(KillWaitMs);
}

QString UpdaterRun::updaterPath()
{
    return QStringLiteral(FARLINK_UPDATER_PATH);
}

void UpdaterRun::start(const QStringList &arguments, const QProcessEnvironment &environment,
                       const QString &workingDirectory, const QString &program)
{
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDirectory);
    process.start(program.isEmpty() ? updaterPath() : program, arguments);
    process.waitForStarted();
}

bool UpdaterRun::waitForExit(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (isRunning() && !deadline.hasExpired())
        QTest::qWait(PollMs);
    return !isRunning();
}

bool UpdaterRun::waitForLog(const QString &text, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!log().contains(text) && !deadline.hasExpired())
        QTest::qWait(PollMs);
    return log().contains(text);
}

int UpdaterRun::exitCode() const
{
    if (isRunning() || process.error() == QProcess::FailedToStart ||
        process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

QString UpdaterRun::log()
{
    output += process.readAll();
    return QString::fromUtf8(output);
}
