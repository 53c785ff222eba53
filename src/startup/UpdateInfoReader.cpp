#include "UpdateInfoReader.h"

#include "CompanionFolder.h"
#include "LogFile.h"
#include "StartupConstants.h"
#include "UpdateInfoParser.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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

} // namespace

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

    const ParsedUpdateInfo parsed = parseUpdateInfo(*content, commandLine.mode);
    QFile::remove(commandLine.infoPath);
    if (parsed.verdict == InfoVerdict::Malformed) {
        qCritical() << LogMalformedJson;
        return std::nullopt;
    }

    LogFile::recordUpdateInfo(parsed.info);

    // The companion path is relative to the start directory, so it is formed before the change.
    const QString companionFolder = companionFolderPath(commandLine.infoPath);
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    scheduleCompanionFolderRemoval(companionFolder, foldersToKeep(parsed.info.appPath));

    if (parsed.verdict == InfoVerdict::Incomplete) {
        qCritical() << LogIncomplete;
        return std::nullopt;
    }
    if (beforeProgramCheck)
        beforeProgramCheck(parsed.info.appPath);
    if (!mainProgramExists(parsed.info.appPath))
        return std::nullopt;
    return parsed.info;
}

} // namespace startup
