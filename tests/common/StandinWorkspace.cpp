#include "StandinWorkspace.h"

#include "ProcessTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <string>

namespace {

const QString DaemonImage = QStringLiteral("QuillonDaemon.exe");
const QString ToolCallEvent = QStringLiteral("call");
const QString StartEvent = QStringLiteral("start");
const QStringList RunningEvents{StartEvent, QStringLiteral("service")};
constexpr int StartMs = 5000;
constexpr int KillWaitMs = 5000;
constexpr int EndPasses = 50;
constexpr int EndPassPauseMs = 20;

QString toolsBin()
{
    return qEnvironmentVariable("FARLINK_TOOLS_BIN");
}

bool copyExecutable(const QString &from, const QString &to)
{
    QDir().mkpath(QFileInfo(to).absolutePath());
    QFile::remove(to);
    return QFile::copy(from, to) &&
           QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                         QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                         QFile::ExeOther);
}

} // namespace

StandinWorkspace::StandinWorkspace()
    : savedPath(qgetenv("PATH")), savedScope(qgetenv(standins::ScopeVariable))
{
    const QString bin = dir.filePath(QStringLiteral("bin"));
    for (const QString &tool : {QStringLiteral("taskkill"), QStringLiteral("tasklist")})
        copyExecutable(QStringLiteral(FARLINK_TEST_COMMON_DATA "/") + tool, bin + QLatin1Char('/') + tool);
    qputenv("FARLINK_STANDIN_LOG", QFile::encodeName(dir.filePath(QStringLiteral("standin-log.txt"))));
    qputenv("PATH", QFile::encodeName(bin) + ':' + savedPath);
    qputenv(standins::ScopeVariable, QFile::encodeName(dir.path()));
}

StandinWorkspace::~StandinWorkspace()
{
    // Guards first, so that none starts a program again once it has been ended.
    for (const auto &process : started) {
        process->kill();
        process->waitForFinished(KillWaitMs);
    }
    endOwnProcesses();
    qputenv("PATH", savedPath);
    qputenv(standins::ScopeVariable, savedScope);
    for (const char *name : {"FARLINK_STANDIN_LOG", "FARLINK_STANDIN_HANG", "FARLINK_SPARED_IMAGE",
                             "FARLINK_TASKLIST_LOWER_CASE"})
        qunsetenv(name);
}

bool StandinWorkspace::isValid() const
{
    return dir.isValid() && QFileInfo(dir.filePath(QStringLiteral("bin/taskkill"))).isExecutable() &&
           QFileInfo(toolsBin() + QStringLiteral("/product-standin")).isExecutable();
}

bool StandinWorkspace::installProduct(const QString &relativePath, const QString &mode) const
{
    const QString path = dir.filePath(relativePath);
    if (!copyExecutable(toolsBin() + QStringLiteral("/product-standin"), path))
        return false;
    if (mode.isEmpty())
        return true;
    QFile copy(path);
    const QByteArray line = "\nFARLINK_STANDIN_MODE=" + mode.toUtf8() + '\n';
    return copy.open(QIODevice::Append) && copy.write(line) == line.size() && copy.flush();
}

QProcess *StandinWorkspace::startProduct(const QString &relativePath, const QStringList &arguments)
{
    return start(relativePath, arguments, QFileInfo(relativePath).fileName());
}

QProcess *StandinWorkspace::startGuard(const QString &relativePath, int restarts, const QString &program)
{
    return start(relativePath, {QStringLiteral("--guard"), QString::number(restarts), program},
                 QFileInfo(program).fileName());
}

QProcess *StandinWorkspace::start(const QString &relativePath, const QStringList &arguments,
                                  const QString &recordedImage)
{
    if (!installProduct(relativePath)) {
        qWarning("cannot install the product stand-in at %s", qPrintable(relativePath));
        return nullptr;
    }
    const int startsBefore = pidsOf(StartEvent, recordedImage).size();
    started.push_back(std::make_unique<QProcess>());
    QProcess *process = started.back().get();
    process->start(dir.filePath(relativePath), arguments);
    if (!process->waitForStarted(StartMs) ||
        !QTest::qWaitFor([&] { return pidsOf(StartEvent, recordedImage).size() > startsBefore; }, StartMs)) {
        qWarning("no start of %s recorded", qPrintable(recordedImage));
        return nullptr;
    }
    return process;
}

QList<QStringList> StandinWorkspace::entries() const
{
    QFile log(dir.filePath(QStringLiteral("standin-log.txt")));
    QList<QStringList> result;
    if (!log.open(QIODevice::ReadOnly))
        return result;
    const QString text = QString::fromUtf8(log.readAll());
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() >= FirstArgument)
            result.append(fields);
    }
    return result;
}

QList<qint64> StandinWorkspace::pidsOf(const QString &event, const QString &image) const
{
    QList<qint64> pids;
    for (const QStringList &entry : entries()) {
        if (entry.at(Event) == event && (image.isEmpty() || entry.at(Image) == image))
            pids.append(entry.at(Pid).toLongLong());
    }
    return pids;
}

QStringList StandinWorkspace::calls() const
{
    QStringList calls;
    for (const QStringList &entry : entries()) {
        if (entry.at(Event) == ToolCallEvent)
            calls.append(entry.at(Image) + QLatin1Char(' ') +
                         entry.mid(FirstArgument).join(QLatin1Char('|')));
        else if (entry.at(Image) == DaemonImage && !RunningEvents.contains(entry.at(Event)))
            calls.append(entry.at(Image) + QLatin1Char(' ') + entry.at(Event));
    }
    return calls;
}

QString StandinWorkspace::daemonCommandFolder(const QString &command) const
{
    for (const QStringList &entry : entries()) {
        if (entry.at(Image) == DaemonImage && entry.at(Event) == command)
            return entry.at(Folder);
    }
    return QString();
}

bool StandinWorkspace::isRunning(qint64 pid)
{
    return !standins::hasEnded(static_cast<pid_t>(pid));
}

QString StandinWorkspace::uniqueImage(const QString &stem)
{
    return QStringLiteral("%1%2.exe").arg(stem).arg(QCoreApplication::applicationPid());
}

// Every process whose executable lies in the workspace, found in the process table rather than in the log:
// a daemon "run" may have started its service without either having recorded it yet. Passes repeat until
// none is left, so that a process started by one that was being ended is caught too.
void StandinWorkspace::endOwnProcesses() const
{
    const std::string ownFolder = QFile::encodeName(QFileInfo(dir.path()).canonicalFilePath()).toStdString();
    for (int pass = 0; pass < EndPasses; ++pass) {
        bool found = false;
        std::string error;
        for (const standins::ProcessEntry &process : standins::listProcesses()) {
            if (standins::isInScope(process, ownFolder)) {
                standins::endProcess(process.pid, true, error);
                found = true;
            }
        }
        if (!found)
            return;
        QTest::qWait(EndPassPauseMs);
    }
}
