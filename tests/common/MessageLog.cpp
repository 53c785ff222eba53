#include "MessageLog.h"

#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QPair>

namespace {

QMutex mutex;
QList<QPair<QtMsgType, QString>> captured;
QtMessageHandler passOn = nullptr;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&mutex);
        captured.append({type, message});
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
    QStringList texts;
    for (const auto &line : captured)
        texts.append(line.second);
    return texts;
}

QStringList MessageLog::of(QtMsgType type) const
{
    QMutexLocker lock(&mutex);
    QStringList texts;
    for (const auto &line : captured) {
        if (line.first == type)
            texts.append(line.second);
    }
    return texts;
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
