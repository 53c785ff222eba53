#include "ToolProcess.h"

#include <QProcessEnvironment>

ToolProcess::ToolProcess(const QString &program, const QStringList &arguments, QObject *parent)
    : QObject(parent), arguments(arguments)
{
    process.setProgram(program);
    connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &ToolProcess::finished);
    connect(&process, &QProcess::errorOccurred, this, &ToolProcess::onError);
}

// The end of a program killed while this object goes is nobody's news any more.
ToolProcess::~ToolProcess()
{
    process.disconnect(this);
}

void ToolProcess::setWorkingFolder(const QString &folder)
{
    process.setWorkingDirectory(folder);
}

void ToolProcess::setEnvironmentVariable(const QString &name, const QString &value)
{
    QProcessEnvironment environment = process.processEnvironment();
    if (environment.isEmpty())
        environment = QProcessEnvironment::systemEnvironment();
    environment.insert(name, value);
    process.setProcessEnvironment(environment);
}

void ToolProcess::forwardOutput()
{
    process.setProcessChannelMode(QProcess::ForwardedChannels);
}

void ToolProcess::start()
{
    process.start(process.program(), arguments, QIODevice::ReadWrite);
}

// A program stopped at its limit may still hold a half-written file open; it is waited for so that the
// next writer never overlaps it.
ToolProcess::End ToolProcess::run(int limitMs, int killedLimitMs)
{
    start();
    if (waitForEnd(limitMs))
        return End::Finished;
    if (!isRunning())
        return End::NotStarted;
    return killAndConfirmGone(killedLimitMs) ? End::KilledAndGone : End::StillRunning;
}

bool ToolProcess::waitForEnd(int limitMs)
{
    return process.waitForFinished(limitMs);
}

void ToolProcess::kill()
{
    process.kill();
}

bool ToolProcess::killAndConfirmGone(int limitMs)
{
    process.kill();
    return process.waitForFinished(limitMs);
}

bool ToolProcess::isRunning() const
{
    return process.state() != QProcess::NotRunning;
}

int ToolProcess::exitCode() const
{
    return process.exitCode();
}

bool ToolProcess::exitedCleanly() const
{
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool ToolProcess::crashed() const
{
    return process.exitStatus() == QProcess::CrashExit;
}

QByteArray ToolProcess::readOutput()
{
    return process.readAllStandardOutput();
}

QByteArray ToolProcess::readErrors()
{
    return process.readAllStandardError();
}

QString ToolProcess::program() const
{
    return process.program();
}

QString ToolProcess::errorText() const
{
    return process.errorString();
}

bool ToolProcess::startDetached(const QString &program, const QStringList &arguments, const QString &folder)
{
    return QProcess::startDetached(program, arguments, folder);
}

// A program that cannot be started emits no finished signal of its own.
void ToolProcess::onError(QProcess::ProcessError error)
{
    if (error == QProcess::FailedToStart)
        emit finished();
}
