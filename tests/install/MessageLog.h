#pragma once

#include <QStringList>
#include <QtGlobal>

// Collects every Qt log line written while it exists (and still passes them on),
// so that a test can check what a step logged.
class MessageLog final
{
    Q_DISABLE_COPY_MOVE(MessageLog)

public:
    MessageLog();
    ~MessageLog();

    QStringList lines() const;
    bool contains(const QString &line) const;
    QStringList startingWith(const QString &prefix) const;
};
