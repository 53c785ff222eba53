#include "FakeProduct.h"

#include <QDir>
#include <QFile>

FakeProduct::FakeProduct(Daemon daemon)
{
    writeScript(mainExecutable(), QString(), true);
    if (daemon == Daemon::None)
        return;
    QDir().mkpath(serverFolder());
    const QString daemonPath = serverFolder() + QStringLiteral("/QuillonDaemon.exe");
    const QString hang = daemon == Daemon::HangingInstall
                             ? QStringLiteral("[ \"$1\" = install ] && exec sleep 600")
                             : QString();
    writeScript(daemonPath, hang, daemon != Daemon::Unstartable);
}

QString FakeProduct::mainExecutable() const
{
    return dir.filePath(QStringLiteral("Quillon.exe"));
}

QString FakeProduct::serverFolder() const
{
    return dir.filePath(QStringLiteral("QuillonServer"));
}

QStringList FakeProduct::calls() const
{
    QFile log(dir.filePath(QStringLiteral("calls.log")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void FakeProduct::writeScript(const QString &path, const QString &extraLine, bool executable) const
{
    QFile script(path);
    script.open(QIODevice::WriteOnly);
    script.write(
        QStringLiteral("#!/bin/sh\n"
                       "printf '%s|%s|%s|%s\\n' \"$(basename \"$0\")\" \"$#\" \"$*\" \"$(pwd)\" >> '%1'\n"
                       "%2\n")
            .arg(dir.filePath(QStringLiteral("calls.log")), extraLine)
            .toUtf8());
    script.close();
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner;
    if (executable)
        permissions |= QFile::ExeOwner;
    script.setPermissions(permissions);
}
