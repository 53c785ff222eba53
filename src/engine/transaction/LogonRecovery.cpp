#include "LogonRecovery.h"

#include "Platform.h"
#include "TransactionConstants.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

using namespace transaction;

namespace {

QString quoted(const QString &path)
{
    return QLatin1Char('"') + QDir::toNativeSeparators(path) + QLatin1Char('"');
}

} // namespace

LogonRecovery::LogonRecovery(const QString &appPath)
    : appPath(appPath), appDir(QFileInfo(appPath).absolutePath())
{
}

void LogonRecovery::registerCommand() const
{
    const QString command = quoted(QCoreApplication::applicationFilePath()) + QLatin1Char(' ') +
                            RecoverOption + QLatin1Char(' ') + quoted(appPath);
    if (!platform::setRunOnceCommand(valueName().toStdString(), command.toStdString()))
        qWarning() << "无法登记登录时的恢复命令";
}

void LogonRecovery::removeCommand() const
{
    platform::removeRunOnceCommand(valueName().toStdString());
}

QString LogonRecovery::valueName() const
{
    // Windows compares paths without letter case.
    const QByteArray digest = QCryptographicHash::hash(QDir::toNativeSeparators(appDir).toLower().toUtf8(),
                                                       QCryptographicHash::Sha1);
    return RunOnceValuePrefix + QString::fromLatin1(digest.toHex().left(16));
}
