#include "EngineProbe.h"

#include "EngineConstants.h"

#include <QFileInfo>

void EngineProbe::setAppDir(const QString &folder)
{
    appDir = folder;
    installTransaction.appDir = folder;
}

void EngineProbe::aimAt(const QString &mainExecutable, const QString &packagePath, const QString &version)
{
    appPath = mainExecutable;
    appDir = QFileInfo(mainExecutable).absolutePath();
    installTransaction.setProgramPath(appPath);
    configPath = appDir + QLatin1Char('/') + engine::ConfigFileName;
    zipPath = packagePath;
    tempDir = QFileInfo(packagePath).absolutePath();
    newVersion = version;
}

EngineSignalLog::EngineSignalLog(UpdateEngine *engine)
{
    // Direct connections: the log sees the signals in emission order, also from the worker thread.
    const auto record = [this](const QString &line) { lines.append(line); };
    connect(
        engine, &UpdateEngine::progressChanged, this,
        [record](int percent, const QString &message) {
            record(QStringLiteral("progressChanged %1 %2").arg(percent).arg(message));
        },
        Qt::DirectConnection);
    connect(
        engine, &UpdateEngine::installProgress, this,
        [record](int percent, const QString &message) {
            record(QStringLiteral("installProgress %1 %2").arg(percent).arg(message));
        },
        Qt::DirectConnection);
    connect(
        engine, &UpdateEngine::statusChanged, this,
        [record](const QString &status) { record(QStringLiteral("statusChanged ") + status); },
        Qt::DirectConnection);
    connect(
        engine, &UpdateEngine::readyToInstall, this, [record] { record(QStringLiteral("readyToInstall")); },
        Qt::DirectConnection);
    connect(
        engine, &UpdateEngine::updateFinished, this,
        [record](bool success, const QString &message) {
            record(QStringLiteral("updateFinished %1 %2").arg(success ? "true" : "false", message));
        },
        Qt::DirectConnection);
    connect(
        engine, &UpdateEngine::errorOccurred, this,
        [record](const QString &error) { record(QStringLiteral("errorOccurred ") + error); },
        Qt::DirectConnection);
}

QStringList EngineSignalLog::of(const QString &signalName) const
{
    QStringList result;
    const QString prefix = signalName + QLatin1Char(' ');
    for (const QString &line : lines) {
        if (line.startsWith(prefix))
            result.append(line.mid(prefix.size()));
        else if (line == signalName)
            result.append(QString());
    }
    return result;
}
