#include "HeadlessCommand.h"

#include "LogFile.h"
#include "PathSafety.h"
#include "Platform.h"
#include "StartupConstants.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>

#include <cstring>

namespace startup {

namespace {

// The folder of the main executable must exist; the executable itself may be missing after an
// interruption, and the recovery brings it back.
bool isUsableProgramPath(const QStringList &arguments)
{
    return arguments.size() == 3 && !arguments.at(2).isEmpty() &&
           QFileInfo(QFileInfo(arguments.at(2)).absolutePath()).isDir();
}

} // namespace

bool isHeadlessCommand(int argc, char *argv[], const QString &option)
{
    return argc >= 2 && std::strcmp(argv[1], option.toLatin1().constData()) == 0;
}

int runHeadlessCommand(int argc, char *argv[], const HeadlessTexts &texts,
                       const std::function<int(const QString &program)> &work)
{
    QCoreApplication application(argc, argv);
    convertNamesAsUtf8();
    const bool administrator = platform::isRunningAsAdministrator();
    const LogFile log(LogFile::placeFor(administrator), QCoreApplication::arguments());
    QCoreApplication::setApplicationName(ApplicationName);
    QCoreApplication::setApplicationVersion(ApplicationVersion);
    const QStringList arguments = QCoreApplication::arguments();
    if (!isUsableProgramPath(arguments)) {
        qCritical().noquote() << texts.usage;
        return ExitFailure;
    }
    if (!administrator) {
        qCritical() << texts.needsAdministrator;
        return ExitRecoveryFailed;
    }
    // The folder checked is the folder worked on: no link on the way that could be turned elsewhere.
    const QString program = realPath(QFileInfo(arguments.at(2)).absoluteFilePath());
    if (!isTrustedProgramFolder(QFileInfo(program).path()))
        return ExitRecoveryFailed;
    return work(program);
}

} // namespace startup
