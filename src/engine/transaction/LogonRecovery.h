#pragma once

#include <QString>

// The command that recovers a program folder at the next administrator logon ("<updater> --recover
// <program>"), registered once per program folder, so that an interruption is repaired even when the
// updater is not started again.
class LogonRecovery final
{
    Q_DISABLE_COPY_MOVE(LogonRecovery)

public:
    explicit LogonRecovery(const QString &appPath);

    void registerCommand() const;
    void removeCommand() const;

private:
    QString valueName() const;

    QString appPath;
    QString appDir;
};
