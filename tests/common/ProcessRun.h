#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

// How a program run to its end went; one still running at the time limit is killed.
struct ProcessRun
{
    bool finished = false;
    QProcess::ExitStatus status = QProcess::CrashExit;
    int exitCode = -1;
    QByteArray output;
    QByteArray errors;

    // Ended within the time limit, normally, with exit code 0.
    bool succeeded() const { return finished && status == QProcess::NormalExit && exitCode == 0; }
};

constexpr int ProcessRunLimitMs = 15000;

ProcessRun runProcess(const QString &program, const QStringList &arguments,
                      const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                      const QString &workingDirectory = QString(), int timeoutMs = ProcessRunLimitMs);
