#pragma once

#include <QStringList>
#include <QtGlobal>

// Collects every Qt log line written while it exists, from any thread (and still passes them on), so that
// a test can check what a step logged.
class MessageLog final
{
    Q_DISABLE_COPY_MOVE(MessageLog)

public:
    MessageLog();
    ~MessageLog();

    QStringList lines() const;
    // Only the lines of this severity.
    QStringList of(QtMsgType type) const;
    bool contains(const QString &line) const;
    QStringList startingWith(const QString &prefix) const;
};
