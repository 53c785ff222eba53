#pragma once

#include "UpdateInfo.h"

#include <QFile>
#include <QRecursiveMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace startup {

// The record of one run on the user's machine. On Windows the updater has no console, so its log lines
// would be lost; this class writes each of them, with a time stamp and its level, to a file of its own in
// the log folder, and passes it on to the handler that was installed before (standard error). The folder
// keeps the newest KeptLogFiles files. A log that cannot be written never stops the run: the lines then
// go to standard error only.
class LogFile final
{
    Q_DISABLE_COPY_MOVE(LogFile)

public:
    // Opens updater-<yyyyMMdd-hhmmss>-<pid>.log in folder, creating the folder, removes the oldest files
    // beyond the kept number, installs the message handler and writes the run's first lines: the version
    // and the arguments.
    LogFile(const QString &folder, const QStringList &arguments);
    ~LogFile();

    bool isOpen() const { return file.isOpen(); }
    QString path() const { return file.fileName(); }

    // <program-data root>/FarlinkUpdater/logs
    static QString defaultFolder();
    // The values of the update-information file, one line each; the release notes are left out, they
    // say nothing about why a run failed and may be long.
    static void recordUpdateInfo(const UpdateInfo &info);

private:
    static void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message);
    bool open(const QString &folder);
    void write(QtMsgType type, const QString &message);

    QFile file;
    // Recursive: should writing itself ever log, the line is written rather than the thread blocked.
    QRecursiveMutex writing;
    QtMessageHandler previousHandler = nullptr;
};

} // namespace startup
