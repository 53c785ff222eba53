#pragma once

#include <QString>

// The product's daemon, QuillonDaemon.exe in the QuillonServer sub-folder of the program folder, managed only
// through its own commands. The window's restart after a success runs the same commands asynchronously;
// this class runs them synchronously, for the runs that end without the window's restart.
class ProductDaemon final
{
    Q_DISABLE_COPY_MOVE(ProductDaemon)

public:
    explicit ProductDaemon(const QString &appDir);

    QString path() const { return executable; }
    QString folder() const { return serverFolder; }

    // Registers the daemon as a service again ("install", at most 10 s) and starts it ("run", or with no
    // argument when "run" cannot be started), from its own folder. A missing daemon is nothing to do.
    // Returns whether the daemon was started; logs every step.
    bool restart() const;

private:
    QString serverFolder;
    QString executable;
};
