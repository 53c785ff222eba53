#include "UpdateInfoReader.h"

#include "CompanionFolder.h"
#include "FileSafety.h"
#include "LogFile.h"
#include "PathSafety.h"
#include "StartupConstants.h"
#include "UpdateInfoParser.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace startup {

namespace {

struct CommandLine
{
    bool infoGiven = false;
    QString infoPath;
    QString mode;
};

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(ParserDescription);
    const QCommandLineOption infoOption(InfoOptionNames, InfoOptionDescription, InfoOptionValueName);
    const QCommandLineOption modeOption(ModeOptionNames, ModeOptionDescription, ModeOptionValueName,
                                        DefaultMode);
    parser.addOption(infoOption);
    parser.addOption(modeOption);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(arguments);
    return {parser.isSet(infoOption), parser.value(infoOption), parser.value(modeOption)};
}

std::optional<QByteArray> readInfoFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical() << LogCannotReadInfo << path;
        return std::nullopt;
    }
    return file.readAll();
}

// The user's temporary folder and the machine's, links resolved.
QStringList temporaryFolders()
{
    QStringList folders;
    for (const QString &folder :
         {QDir::tempPath(), QString::fromStdString(platform::systemTemporaryFolder())}) {
        const QString canonical = QFileInfo(folder).canonicalFilePath();
        if (!canonical.isEmpty())
            folders.append(canonical);
    }
    return folders;
}

// Only a file in a temporary folder is the product's hand-over, to be tidied away with its companion
// folder; anywhere else it could be any file the caller wants an elevated process to delete. Windows
// paths ignore letter case; elsewhere ignoring it only matters for folders only an administrator makes.
bool liesInTemporaryFolder(const QString &canonicalPath)
{
    if (canonicalPath.isEmpty())
        return false;
    const QStringList folders = temporaryFolders();
    return std::any_of(folders.cbegin(), folders.cend(), [&canonicalPath](const QString &folder) {
        const QString inside = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
        return canonicalPath.startsWith(inside, Qt::CaseInsensitive);
    });
}

// Folders the companion removal must never take with it. A relative app_path is resolved against
// the current directory, which is the updater's own folder by now.
QStringList foldersToKeep(const QString &appPath)
{
    QStringList kept = {QCoreApplication::applicationDirPath()};
    if (!appPath.isEmpty())
        kept.append(QFileInfo(appPath).absolutePath());
    return kept;
}

// A folder is no main program: the product folder would be derived from it.
bool mainProgramExists(const QString &appPath)
{
    if (QFileInfo(appPath).isFile())
        return true;
    qCritical() << LogMainProgramMissing << appPath;
    return false;
}

// The product folder is backed up, overwritten and, after a failure, emptied: never a system folder, and
// only one that no one but administrators can change. A folder that is not there holds no main program:
// that is what is reported, and nothing is recovered there.
bool isAcceptableProductFolder(const QString &appPath)
{
    const QString folder = QFileInfo(appPath).absolutePath();
    if (platform::isSystemFolder(folder.toStdString())) {
        qCritical() << LogSystemFolderRefused << folder;
        return false;
    }
    if (!QFileInfo(folder).isDir())
        return mainProgramExists(appPath);
    return isTrustedProgramFolder(folder);
}

// Deletes the information file when it lies in a temporary folder and is the caller's own regular file,
// named without a link; says when it is left alone. Anything else could be a file that the caller wants an
// elevated process to delete.
bool removeInfoFileIfCallers(const QString &infoPath, const QString &realInfoPath)
{
    if (!liesInTemporaryFolder(realInfoPath)) {
        qWarning() << LogInfoKept << infoPath;
        return false;
    }
    const std::string why = platform::removeCallersEntry(
        platformPath(QDir::cleanPath(QFileInfo(infoPath).absoluteFilePath())), false);
    if (why.empty())
        return true;
    qWarning().noquote() << LogInfoNotCallers << QString::fromStdString(why);
    return false;
}

} // namespace

void answerCommandLineOptions(const QStringList &arguments)
{
    parseCommandLine(arguments);
}

std::optional<UpdateInfo>
readUpdateInfo(const QStringList &arguments,
               const std::function<void(const QString &appPath)> &beforeProgramCheck)
{
    const CommandLine commandLine = parseCommandLine(arguments);
    if (!commandLine.infoGiven) {
        qCritical() << LogInfoOptionMissing;
        return std::nullopt;
    }
    const std::optional<QByteArray> content = readInfoFile(commandLine.infoPath);
    if (!content)
        return std::nullopt;

    ParsedUpdateInfo parsed = parseUpdateInfo(*content, commandLine.mode);
    // Resolved against the start directory, before the change below; the companion folder is taken beside
    // the real file, the one that was judged.
    const QString realInfoPath = QFileInfo(commandLine.infoPath).canonicalFilePath();
    const bool removed = removeInfoFileIfCallers(commandLine.infoPath, realInfoPath);
    if (parsed.verdict == InfoVerdict::Malformed) {
        qCritical() << LogMalformedJson;
        return std::nullopt;
    }

    LogFile::recordUpdateInfo(parsed.info);

    QDir::setCurrent(QCoreApplication::applicationDirPath());
    parsed.info.appPath = realPath(parsed.info.appPath);
    if (removed)
        scheduleCompanionFolderRemoval(companionFolderPath(realInfoPath), foldersToKeep(parsed.info.appPath));

    if (parsed.verdict == InfoVerdict::Incomplete) {
        qCritical() << (parsed.info.trialSeconds < 0 ? LogBadTrialSeconds : LogIncomplete);
        return std::nullopt;
    }
    // Refused before the recovery could touch it.
    if (!isAcceptableProductFolder(parsed.info.appPath))
        return std::nullopt;
    if (beforeProgramCheck)
        beforeProgramCheck(parsed.info.appPath);
    if (!mainProgramExists(parsed.info.appPath))
        return std::nullopt;
    return parsed.info;
}

} // namespace startup
