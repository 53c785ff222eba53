#pragma once

#include <QStringList>
#include <QTemporaryDir>

// A product installation in a temporary folder: a main executable and, optionally, the daemon in its
// server sub-folder. Both are shell scripts that append one line per start to a call log:
// "<file name>|<argument count>|<arguments>|<working directory>".
class FakeProduct final
{
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

    QString folder() const { return dir.path(); }
    QString mainExecutable() const;
    QString serverFolder() const;
    QStringList calls() const;

private:
    void writeScript(const QString &path, const QString &extraLine, bool executable) const;

    QTemporaryDir dir;
};
