#include "ProcessRun.h"

ProcessRun runProcess(const QString &program, const QStringList &arguments,
                      const QProcessEnvironment &environment, const QString &workingDirectory, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    ProcessRun run;
    run.finished = process.waitForFinished(timeoutMs);
    run.status = process.exitStatus();
    run.exitCode = process.exitCode();
    run.output = process.readAllStandardOutput();
    run.errors = process.readAllStandardError();
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    return run;
}
