#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

// One run of the FarlinkUpdater executable, as a user or the product would start it. Waiting keeps the
// test's own event loop turning, so that a loopback server in the test can answer meanwhile. A run still
// going when the object goes is killed.
class UpdaterRun final
{
    Q_DISABLE_COPY_MOVE(UpdaterRun)

public:
    UpdaterRun() = default;
    ~UpdaterRun();

    // Starts program with arguments; the updater itself when program is empty.
    void start(const QStringList &arguments, const QProcessEnvironment &environment,
               const QString &workingDirectory = QString(), const QString &program = QString());
    // True once the process has ended within the time limit.
    bool waitForExit(int timeoutMs);
    // True once the log holds the text within the time limit.
    bool waitForLog(const QString &text, int timeoutMs);
    bool isRunning() const { return process.state() != QProcess::NotRunning; }
    // The exit code of a normal end, -1 for a crash or a process still running.
    int exitCode() const;
    // Everything written to standard output and standard error so far.
    QString log();
    // The run's own log file in the program-data folder it was given, one entry per line; empty when the
    // run wrote none.
    QStringList logFileLines() const;

    static QString updaterPath();

private:
    QProcess process;
    QByteArray output;
    qint64 pid = 0;
    QString programData;
};
