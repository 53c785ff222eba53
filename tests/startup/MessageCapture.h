#pragma once

#include <QList>
#include <QPair>
#include <QStringList>
#include <QtGlobal>

// Collects the log lines written while it exists, instead of printing them.
class MessageCapture final
{
    Q_DISABLE_COPY_MOVE(MessageCapture)

public:
    MessageCapture()
    {
        lines().clear();
        previousHandler() = qInstallMessageHandler(&record);
    }
    ~MessageCapture() { qInstallMessageHandler(previousHandler()); }

    QStringList of(QtMsgType type) const
    {
        QStringList texts;
        for (const auto &line : lines()) {
            if (line.first == type)
                texts.append(line.second);
        }
        return texts;
    }

private:
    static QList<QPair<QtMsgType, QString>> &lines()
    {
        static QList<QPair<QtMsgType, QString>> recorded;
        return recorded;
    }
    static QtMessageHandler &previousHandler()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static void record(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        lines().append({type, text});
    }
};
