#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// A scratch folder for one test: copies of the product stand-in put there
// record into one log, and recording taskkill and tasklist wrappers come first
// on PATH, so that the log shows every daemon command and tool call in order.
// The stand-ins' scope is this folder while the workspace lasts: taskkill and
// tasklist see the processes started from here and nothing else.
// When the workspace goes, every process that runs an executable of this folder
// is ended by its id; nothing else is touched.
// POSIX only: it finds and ends processes through the stand-ins' reader of /proc.
class StandinWorkspace final
{
    Q_DISABLE_COPY_MOVE(StandinWorkspace)

public:
    // The fields of a log entry.
    enum Field
    {
        Image,
        Event,
        Pid,
        Folder,
        FirstArgument
    };

    StandinWorkspace();
    ~StandinWorkspace();

    bool isValid() const;
    QString path() const { return dir.path(); }
    // Copies the product stand-in to a path below the workspace, creating its folders. A mode (see
    // ProductStandIn.cpp, e.g. "crash-after-ms:1000") is appended to the copy's bytes, so that it stays with
    // that copy wherever an update moves it.
    bool installProduct(const QString &relativePath, const QString &mode = QString()) const;
    // Installs the product stand-in there, starts it with the arguments and waits until it has recorded
    // its start. The process belongs to the workspace; nullptr when it did not start.
    QProcess *startProduct(const QString &relativePath, const QStringList &arguments = {});
    // As startProduct, but the copy is a guard of the program: it starts the program, then starts it again
    // each time it ends, that many times. Waits until the program has recorded its start.
    QProcess *startGuard(const QString &relativePath, int restarts, const QString &program);

    // The log, one entry per line: image name, event, process id, working directory, arguments.
    QList<QStringList> entries() const;
    // Process ids of the entries with this event, of any image when image is empty.
    QList<qint64> pidsOf(const QString &event, const QString &image = QString()) const;
    // The daemon commands and tool calls in order, each as the program and its
    // arguments joined by '|': "QuillonDaemon.exe stop", "taskkill /F|/IM|x.exe|/T".
    QStringList calls() const;
    // The working directory of the first daemon command of this name, or a null string.
    QString daemonCommandFolder(const QString &command) const;

    static bool isRunning(qint64 pid);
    // "<stem><pid>.exe": a name unique to this test process, so that runs beside each other never meet.
    static QString uniqueImage(const QString &stem);

private:
    QProcess *start(const QString &relativePath, const QStringList &arguments, const QString &recordedImage);
    void endOwnProcesses() const;

    QTemporaryDir dir;
    QByteArray savedPath;
    QByteArray savedScope;
    std::vector<std::unique_ptr<QProcess>> started;
};
