#include "LogFile.h"

#include "Platform.h"
#include "StartupConstants.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

#include <atomic>

namespace startup {

namespace {

// The handler is a plain function; it finds the open log through this pointer.
std::atomic<LogFile *> activeLog{nullptr};

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "?";
}

// One line that reads back unambiguously: arguments with blanks, or empty ones, in double quotes.
QString joinedArguments(const QStringList &arguments)
{
    QStringList shown;
    for (const QString &argument : arguments) {
        const bool quote = argument.isEmpty() || argument.contains(QLatin1Char(' '));
        shown.append(quote ? QLatin1Char('"') + argument + QLatin1Char('"') : argument);
    }
    return shown.join(QLatin1Char(' '));
}

// Names sort by their time stamp, so the newest come last.
void removeOldLogs(const QDir &folder)
{
    const QStringList logs = folder.entryList({LogFilePattern}, QDir::Files, QDir::Name);
    for (int i = 0; i + KeptLogFiles < logs.size(); ++i)
        QFile::remove(folder.filePath(logs.at(i)));
}

} // namespace

LogFile::LogFile(const QString &folder, const QStringList &arguments)
{
    const bool opened = open(folder);
    previousHandler = qInstallMessageHandler(&LogFile::handleMessage);
    activeLog.store(this);
    if (!opened)
        qWarning().noquote() << LogCannotWriteLog << QDir::toNativeSeparators(path());
    qInfo().noquote() << LogVersion << ApplicationVersion;
    qInfo().noquote() << LogArguments << joinedArguments(arguments.mid(1));
}

LogFile::~LogFile()
{
    activeLog.store(nullptr);
    qInstallMessageHandler(previousHandler);
}

QString LogFile::defaultFolder()
{
    return QString::fromStdString(platform::programDataRoot()) + LogFolderBelowProgramData;
}

void LogFile::recordUpdateInfo(const UpdateInfo &info)
{
    qInfo().noquote() << LogInfoAppPath << info.appPath;
    qInfo().noquote() << LogInfoNewVersion << info.newVersion;
    qInfo().noquote() << LogInfoDownloadUrl << info.downloadUrl;
    qInfo().noquote() << LogInfoSha256 << info.sha256;
}

bool LogFile::open(const QString &folder)
{
    const QDir dir(folder);
    const QString name = LogFileName.arg(QDateTime::currentDateTime().toString(LogFileTimeFormat))
                             .arg(QCoreApplication::applicationPid());
    file.setFileName(dir.filePath(name));
    if (!dir.mkpath(QStringLiteral(".")))
        return false;
    // Unbuffered: the updater may end through an immediate process exit that flushes nothing.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    removeOldLogs(dir);
    return true;
}

void LogFile::handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    LogFile *log = activeLog.load();
    if (!log)
        return;
    log->write(type, message);
    if (log->previousHandler)
        log->previousHandler(type, context, message);
}

void LogFile::write(QtMsgType type, const QString &message)
{
    if (!file.isOpen())
        return;
    const QString line = QStringLiteral("%1 [%2] %3\n")
                             .arg(QDateTime::currentDateTime().toString(LogLineTimeFormat),
                                  QLatin1String(levelName(type)), message);
    // The installation logs from its worker thread while the GUI thread may log too.
    const QMutexLocker locker(&writing);
    file.write(line.toUtf8());
}

} // namespace startup
