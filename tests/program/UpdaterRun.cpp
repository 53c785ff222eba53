#include "UpdaterRun.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
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
    pid = process.processId();
    programData = environment.value(QStringLiteral("PROGRAMDATA"));
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

QStringList UpdaterRun::logFileLines() const
{
    const QDir logs(programData + QStringLiteral("/FarlinkUpdater/logs"));
    const QStringList names = logs.entryList({QStringLiteral("updater-*-%1.log").arg(pid)}, QDir::Files);
    QFile file(logs.filePath(names.value(0)));
    if (names.size() != 1 || !file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString UpdaterRun::log()
{
    output += process.readAll();
    return QString::fromUtf8(output);
}
