#pragma once

#include "StandinWorkspace.h"

#include <QStringList>

// A product installation in a stand-in workspace: the product stand-in as the main executable and,
// optionally, as the daemon in its server sub-folder. Everything they start is ended with the workspace.
class FakeProduct final
{
    Q_DISABLE_COPY_MOVE(FakeProduct)

public:
    enum class Daemon
    {
        None,
        // Answers every command at once.
        Prompt,
        // "install" never ends.
        HangingInstall,
        // Present but cannot be started at all.
        Unstartable
    };

    explicit FakeProduct(Daemon daemon = Daemon::None);

    QString folder() const { return workspace.path(); }
    QString mainExecutable() const;
    QString serverFolder() const;
    // One line per start of the main executable or daemon command, in order:
    // "<file name>|<argument count>|<arguments>|<working directory>".
    QStringList calls() const;

private:
    StandinWorkspace workspace;
};
