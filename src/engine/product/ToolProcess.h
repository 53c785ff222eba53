#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// One program the updater runs: the product's daemon, the shutdown tools, the extraction tools. Started with
// its arguments (and a working folder and environment variables when given), waited for with a limit, killed,
// and confirmed gone with a limit of its own. Output is kept for the caller unless forwarded.
class ToolProcess final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ToolProcess)

public:
    enum class End
    {
        Finished, // ended by itself (exitCode() and exitedCleanly() tell how)
        NotStarted,
        KilledAndGone, // killed at its limit and gone within the limit after the kill
        StillRunning,  // killed at its limit but not gone: it may still be writing
    };

    ToolProcess(const QString &program, const QStringList &arguments, QObject *parent = nullptr);
    // A program still running is killed and waited for as QProcess does when it goes.
    ~ToolProcess() override;

    void setWorkingFolder(const QString &folder);
    // Added to the updater's own environment.
    void setEnvironmentVariable(const QString &name, const QString &value);
    // The program writes to the updater's own output instead of to readOutput()/readErrors().
    void forwardOutput();

    // Returns at once; finished() follows, also when the program cannot be started.
    void start();
    // Starts it and waits up to limitMs; a program still running then is killed and waited for up to
    // killedLimitMs.
    End run(int limitMs, int killedLimitMs);
    // Whether the program ended within limitMs (-1: no limit); false at once when it could not start.
    bool waitForEnd(int limitMs);
    void kill();

    bool isRunning() const;
    int exitCode() const;
    bool exitedCleanly() const;
    // Ended by a crash or a kill rather than by itself.
    bool crashed() const;
    QByteArray readOutput();
    QByteArray readErrors();
    QString program() const;
    QString errorText() const;

    // Starts a program that outlives the updater; whether it was started.
    static bool startDetached(const QString &program, const QStringList &arguments, const QString &folder);

signals:
    // Once per start: the program ended, or it could not be started.
    void finished();

private:
    // Kills the program and whether it was gone within limitMs.
    bool killAndConfirmGone(int limitMs);
    void onError(QProcess::ProcessError error);

    QProcess process;
    QStringList arguments;
};
