#include "LogFile.h"

#include "FileSafety.h"
#include "PathSafety.h"
#include "StartupConstants.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

#include <algorithm>
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

// A line break or any other control character, and the Unicode line and paragraph separators.
bool isControl(QChar character)
{
    const QChar::Category category = character.category();
    return category == QChar::Other_Control || category == QChar::Separator_Line ||
           category == QChar::Separator_Paragraph;
}

QString escaped(QChar character)
{
    if (character == QLatin1Char('\n'))
        return QStringLiteral("\\n");
    if (character == QLatin1Char('\r'))
        return QStringLiteral("\\r");
    const ushort code = character.unicode();
    return code <= 0xff ? QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'))
                        : QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0'));
}

// A logged value (a path, a URL, an argument) may hold line breaks of the caller's choosing: written as
// escapes, they can never start a line of their own that would read as the updater's.
QString withControlsEscaped(const QString &text)
{
    if (std::none_of(text.cbegin(), text.cend(), isControl))
        return text;
    QString result;
    for (const QChar character : text)
        result += isControl(character) ? escaped(character) : QString(character);
    return result;
}

struct LogFolder
{
    QString path;
    // Why it may not be used; empty when it may.
    QString refusal;
};

// The program-data root must keep its entries; below it each level is made, or found, as the updater's own.
LogFolder privateLogFolder()
{
    LogFolder folder{realPath(QString::fromStdString(platform::programDataRoot())), {}};
    std::string refusal = platform::whyPathUntrusted(platformPath(folder.path));
    for (const QString &level : LogFolderLevelsBelowProgramData) {
        folder.path += QLatin1Char('/') + level;
        if (refusal.empty())
            refusal = platform::preparePrivateFolder(platformPath(folder.path));
    }
    folder.refusal = QString::fromStdString(refusal);
    return folder;
}

// The user's own folder, made as any of their folders; a failure shows when the file cannot be created.
LogFolder userLogFolder()
{
    const QString folder = realPath(QDir::tempPath()) + QLatin1Char('/') + UserLogFolderName;
    platform::createFolder(platformPath(folder));
    return {folder, {}};
}

// Names sort by their time stamp, so the newest come last. A link is removed as itself.
void removeOldLogs(const QString &folder)
{
    const QStringList logs = QDir(folder).entryList({LogFilePattern}, QDir::Files | QDir::System, QDir::Name);
    for (int i = 0; i + KeptLogFiles < logs.size(); ++i)
        platform::removeTree(platformPath(folder + QLatin1Char('/') + logs.at(i)));
}

QString logFileName(const QDateTime &started, int number)
{
    const QString time = started.toString(LogFileTimeFormat);
    const qint64 pid = QCoreApplication::applicationPid();
    return number == 0 ? LogFileName.arg(time).arg(pid) : NumberedLogFileName.arg(time).arg(pid).arg(number);
}

} // namespace

LogFile::LogFile(Place place, const QStringList &arguments)
{
    const QString refusal = open(place);
    previousHandler = qInstallMessageHandler(&LogFile::handleMessage);
    activeLog.store(this);
    if (!isOpen()) {
        QDebug warning = qWarning().noquote();
        warning << LogCannotWriteLog << QDir::toNativeSeparators(path());
        if (!refusal.isEmpty())
            warning << refusal;
    }
    qInfo().noquote() << LogVersion << ApplicationVersion;
    qInfo().noquote() << LogArguments << joinedArguments(arguments.mid(1));
}

LogFile::~LogFile()
{
    activeLog.store(nullptr);
    qInstallMessageHandler(previousHandler);
}

LogFile::Place LogFile::placeFor(bool administrator)
{
    return administrator ? Place::ProgramData : Place::UserTemporary;
}

void LogFile::recordUpdateInfo(const UpdateInfo &info)
{
    qInfo().noquote() << LogInfoAppPath << info.appPath;
    qInfo().noquote() << LogInfoNewVersion << info.newVersion;
    qInfo().noquote() << LogInfoDownloadUrl << info.downloadUrl;
    qInfo().noquote() << LogInfoSha256 << info.sha256;
}

// Returns why the place's folder may not be used; empty when the log is open or could not be created for
// another reason.
QString LogFile::open(Place place)
{
    const LogFolder folder = place == Place::ProgramData ? privateLogFolder() : userLogFolder();
    const QDateTime started = QDateTime::currentDateTime();
    file.setFileName(folder.path + QLatin1Char('/') + logFileName(started, 0));
    if (!folder.refusal.isEmpty())
        return folder.refusal;
    if (openNewFile(folder.path, started))
        removeOldLogs(folder.path);
    return {};
}

// Another name when one is taken; whatever has the name, a link included, is left as it is.
bool LogFile::openNewFile(const QString &folder, const QDateTime &started)
{
    for (int number = 0; number < LogFileNameAttempts; ++number) {
        file.setFileName(folder + QLatin1Char('/') + logFileName(started, number));
        const int descriptor = platform::createNewFile(platformPath(file.fileName()));
        // Unbuffered: the updater may end through an immediate process exit that flushes nothing.
        if (descriptor >= 0)
            return file.open(descriptor, QIODevice::WriteOnly | QIODevice::Unbuffered,
                             QFileDevice::AutoCloseHandle);
        if (platform::entryStatus(platformPath(file.fileName())).type == platform::EntryType::Missing)
            return false;
    }
    return false;
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
                                  QLatin1String(levelName(type)), withControlsEscaped(message));
    // The installation logs from its worker thread while the GUI thread may log too.
    const QMutexLocker locker(&writing);
    file.write(line.toUtf8());
}

} // namespace startup
