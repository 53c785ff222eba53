#include "MessageLog.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex mutex;
QStringList captured;
QtMessageHandler passOn = nullptr;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&mutex);
        captured.append(message);
    }
    if (passOn)
        passOn(type, context, message);
}

} // namespace

MessageLog::MessageLog()
{
    QMutexLocker lock(&mutex);
    captured.clear();
    passOn = qInstallMessageHandler(capture);
}

MessageLog::~MessageLog()
{
    qInstallMessageHandler(passOn);
    QMutexLocker lock(&mutex);
    passOn = nullptr;
}

QStringList MessageLog::lines() const
{
    QMutexLocker lock(&mutex);
    return captured;
}

bool MessageLog::contains(const QString &line) const
{
    return lines().contains(line);
}

QStringList MessageLog::startingWith(const QString &prefix) const
{
    QStringList matching;
    for (const QString &line : lines()) {
        if (line.startsWith(prefix))
            matching.append(line);
    }
    return matching;
}
