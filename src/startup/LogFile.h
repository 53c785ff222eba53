#pragma once

#include "UpdateInfo.h"

#include <QDateTime>
#include <QFile>
#include <QRecursiveMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace startup {

// The record of one run on the user's machine. On Windows the updater has no console, so its log lines
// would be lost; this class writes each of them, with a time stamp and its level, to a file of its own in
// the log folder, and passes it on to the handler that was installed before (standard error). Control
// characters in a line are written as escapes: every entry is one line of the file, whatever a logged value
// holds. The folder keeps the newest KeptLogFiles files. A log that cannot be written never stops the run:
// the lines then go to standard error only, after one that says why.
class LogFile final
{
    Q_DISABLE_COPY_MOVE(LogFile)

public:
    enum class Place
    {
        // <program-data root>/FarlinkUpdater/logs, each level made by the elevated copy and closed to
        // everyone else; one that someone else made or can change is not used.
        ProgramData,
        // <user's temporary folder>/FarlinkUpdater-logs: a copy without administrator rights must never be
        // the one that makes the administrators' folders.
        UserTemporary
    };

    // Creates a new updater-<yyyyMMdd-hhmmss>-<pid>.log in the place's folder (never over anything that has
    // the name, a link included), removes the oldest files beyond the kept number, installs the message
    // handler and writes the run's first lines: the version and the arguments.
    LogFile(Place place, const QStringList &arguments);
    ~LogFile();

    bool isOpen() const { return file.isOpen(); }
    QString path() const { return file.fileName(); }

    // The program-data folder only for a process with administrator rights.
    static Place placeFor(bool administrator);
    // The values of the update-information file, one line each; the release notes are left out, they
    // say nothing about why a run failed and may be long.
    static void recordUpdateInfo(const UpdateInfo &info);

private:
    static void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message);
    QString open(Place place);
    bool openNewFile(const QString &folder, const QDateTime &started);
    void write(QtMsgType type, const QString &message);

    QFile file;
    // Recursive: should writing itself ever log, the line is written rather than the thread blocked.
    QRecursiveMutex writing;
    QtMessageHandler previousHandler = nullptr;
};

} // namespace startup
