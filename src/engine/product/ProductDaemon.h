#pragma once

#include <QString>

class QObject;
class ToolProcess;

// The product's daemon, QuillonDaemon.exe in the QuillonServer sub-folder of the program folder, managed only
// through its own commands. The window's restart after a success runs them asynchronously with its own
// timers; restart() runs them synchronously, for the runs that end without the window's restart.
class ProductDaemon final
{
    Q_DISABLE_COPY_MOVE(ProductDaemon)

public:
    explicit ProductDaemon(const QString &appDir);

    QString path() const { return executable; }
    QString folder() const { return serverFolder; }
    bool exists() const;

    // Asks the daemon's service to stop ("stop", waited for at most 5 s), then pauses. The kills of the
    // shutdown do the rest.
    void stop() const;
    // "install", from the daemon's folder, not yet started: the caller connects to it first.
    ToolProcess *installCommand(QObject *parent) const;
    // "run", or no argument when "run" cannot be started, detached from the updater; whether it started.
    bool startRun() const;
    // Registers the daemon as a service again ("install", at most 10 s) and starts it. A missing daemon is
    // nothing to do. Returns whether the daemon was started; logs every step.
    bool restart() const;
    // Whether the daemon's service process runs (seen twice, a second apart), looking again for up to graceMs
    // for one just started; true for a product that has no daemon.
    bool serviceRunning(int graceMs = 0) const;

private:
    QString serverFolder;
    QString executable;
};
