#include "FakeProduct.h"

#include <QFile>

namespace {

const QString MainImage = QStringLiteral("Quillon.exe");
const QString DaemonPath = QStringLiteral("QuillonServer/QuillonDaemon.exe");
const QString StartEvent = QStringLiteral("start");
using Field = StandinWorkspace::Field;
// The daemon's own service process and the recorded tool calls are no start by the window.
const QStringList NoCallEvents{QStringLiteral("service"), QStringLiteral("call")};

QString callLine(const QString &image, const QStringList &arguments, const QString &folder)
{
    return QStringLiteral("%1|%2|%3|%4")
        .arg(image)
        .arg(arguments.size())
        .arg(arguments.join(QLatin1Char(' ')), folder);
}

} // namespace

FakeProduct::FakeProduct(Daemon daemon)
{
    workspace.installProduct(MainImage);
    if (daemon == Daemon::None)
        return;
    workspace.installProduct(DaemonPath);
    if (daemon == Daemon::HangingInstall)
        qputenv("FARLINK_STANDIN_HANG", "install");
    if (daemon == Daemon::Unstartable)
        QFile::setPermissions(workspace.path() + QLatin1Char('/') + DaemonPath,
                              QFile::ReadOwner | QFile::WriteOwner);
}

QString FakeProduct::mainExecutable() const
{
    return workspace.path() + QLatin1Char('/') + MainImage;
}

QString FakeProduct::serverFolder() const
{
    return workspace.path() + QStringLiteral("/QuillonServer");
}

QStringList FakeProduct::calls() const
{
    QStringList calls;
    for (const QStringList &entry : workspace.entries()) {
        if (NoCallEvents.contains(entry.at(Field::Event)))
            continue;
        const bool started = entry.at(Field::Event) == StartEvent;
        calls.append(callLine(entry.at(Field::Image),
                              started ? entry.mid(Field::FirstArgument) : QStringList{entry.at(Field::Event)},
                              entry.at(Field::Folder)));
    }
    return calls;
}
