// One whole update (download, check, installation) with the real engine, step by step, beside the physical
// floor measured in the same run; run.sh drives it.
//   stages_bench run <work> [files] [MiB] [rounds]
//       writes a program folder and its package, serves the package from 127.0.0.1, then per round: curl of
//       the package, `cp -a` of the folder, `bsdtar -xf` of the package and `rm -rf` of the copy, each
//       followed by sync; then the engine's download and installation of the same package over the folder.
//       Prints each round's stage table and the median of every row.
//   stages_bench serve <file>
//       serves the file as /package.zip on 127.0.0.1, prints "port <n>", runs until killed
// The installation runs with its fixed pauses scaled to nothing (they are printed from the constants): what
// is left is the work. The engine's log, each line with its time, goes to <work>/engine.log.

#include "EngineConstants.h"
#include "LoopbackHttpServer.h"
#include "PauseScale.h"
#include "ProductConstants.h"
#include "ProgramFolder.h"
#include "UpdateEngine.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMutex>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <unistd.h>

namespace {

constexpr qint64 MiB = 1 << 20;
const QString PackageRoute = QStringLiteral("/package.zip");

// Every log line and progress text of the engine, with when it came; the worker thread writes too.
struct Event
{
    double seconds;
    QString text;
};
QMutex eventsLock;
QVector<Event> events;
QElapsedTimer clock;
std::FILE *engineLog = nullptr;

void note(const QString &text)
{
    const double at = clock.nsecsElapsed() / 1e9;
    QMutexLocker locker(&eventsLock);
    events.append({at, text});
    if (engineLog)
        std::fprintf(engineLog, "%9.4f %s\n", at, text.toUtf8().constData());
}

void recordMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    note(message);
}

// When the first event from index from on began with prefix; -1 when none did.
double timeOf(const QString &prefix, int &from)
{
    QMutexLocker locker(&eventsLock);
    for (int i = from; i < events.size(); ++i) {
        if (events.at(i).text.startsWith(prefix)) {
            from = i;
            return events.at(i).seconds;
        }
    }
    return -1;
}

void settle()
{
    ::sync();
}

// The command, then sync: what it costs to have its result on disk, as the engine's own flushes do.
double timedCommand(const QString &program, const QStringList &arguments)
{
    settle();
    QElapsedTimer timer;
    timer.start();
    const int exitCode = QProcess::execute(program, arguments);
    settle();
    if (exitCode != 0)
        std::fprintf(stderr, "%s %s failed\n", qPrintable(program),
                     qPrintable(arguments.join(QLatin1Char(' '))));
    return timer.nsecsElapsed() / 1e9;
}

// The fixed sleeps of one whole installation without a daemon executable in the folder.
double fixedPausesSeconds()
{
    using namespace engine;
    const int steps = (ExtractionProgressEnd - ExtractionProgressStart) / ExtractionProgressStep + 1;
    return (3 * product::PauseAfterTaskkillMs + product::PauseAfterShutdownMs + PauseAfterProcessesClosedMs +
            PauseBeforeFinishMs + steps * ExtractionProgressPauseMs) /
           1000.0;
}

struct Row
{
    const char *name;
    // Bounds: the first event with this text after the previous bound.
    QString ends;
    // Index into the floors, or -1.
    int floor;
};

const char *const FloorNames[] = {"curl", "cp -a", "bsdtar -xf", "rm -rf"};
constexpr int FloorCount = 4;

// The start of each row is the end of the one before; the first starts at "start download".
const QVector<Row> &rows()
{
    static const QVector<Row> table{
        {"transfer and save", QStringLiteral("文件保存到"), 0},
        {"download check", QStringLiteral("readyToInstall"), -1},
        {"start (lock, journal)", engine::ProgressClosing, -1},
        {"shutdown", engine::ProgressBackup, -1},
        {"journal + backup", engine::ProgressInstalling, 1},
        {"before extraction", QStringLiteral("尝试使用tar解压"), -1},
        {"extraction (tar)", QStringLiteral("tar退出码"), 2},
        {"verification after it", engine::ProgressExtracting, -1},
        {"progress steps", engine::ProgressFinalizing, -1},
        {"config", QStringLiteral("清理临时目录"), -1},
        {"clean-up", engine::ProgressFinalizingDone, 3},
    };
    return table;
}

struct Round
{
    QVector<double> stage;
    double floors[FloorCount] = {};
    bool ok = false;
};

double stageSum(const Round &round)
{
    return std::accumulate(round.stage.cbegin(), round.stage.cend(), 0.0);
}

double floorSum(const Round &round)
{
    return std::accumulate(std::begin(round.floors), std::end(round.floors), 0.0);
}

void printTable(const Round &round)
{
    std::printf("  %-24s %8s  %-11s %8s  %8s\n", "step", "updater", "floor", "", "added");
    for (int i = 0; i < rows().size(); ++i) {
        const Row &row = rows().at(i);
        const double floor = row.floor < 0 ? 0 : round.floors[row.floor];
        std::printf("  %-24s %8.3f  %-11s %8s  %8.3f\n", row.name, round.stage.at(i),
                    row.floor < 0 ? "" : FloorNames[row.floor],
                    row.floor < 0 ? "" : qPrintable(QString::number(floor, 'f', 3)),
                    round.stage.at(i) - floor);
    }
    std::printf("  %-24s %8.3f  %-11s %8.3f  %8.3f\n", "total", stageSum(round), "", floorSum(round),
                stageSum(round) - floorSum(round));
    std::printf("  fixed pauses of the seed, not slept here: %.2f s\n", fixedPausesSeconds());
    std::fflush(stdout);
}

bool resetFolder(const QString &appDir)
{
    QFile config(appDir + QLatin1Char('/') + engine::ConfigFileName);
    return config.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           config.write("[App]\nVersion=1.0.0\n") > 0;
}

// Download and installation with the engine; false when either did not succeed.
bool runEngine(const QString &appDir, const QString &url, const QString &sha256)
{
    engine::setPauseScale(1.0);
    UpdateEngine engine;
    QEventLoop loop;
    bool succeeded = false;
    QObject::connect(&engine, &UpdateEngine::readyToInstall, &loop, [&] {
        note(QStringLiteral("readyToInstall"));
        // The download's time limits are scaled too; only the installation goes without pauses.
        engine::setPauseScale(0.0);
        settle();
        note(QStringLiteral("startInstall"));
        engine.startInstall();
    });
    QObject::connect(
        &engine, &UpdateEngine::installProgress, &loop,
        [](int, const QString &message) {
            if (!message.startsWith(QLatin1String("Files:")))
                note(message);
        },
        Qt::DirectConnection);
    QObject::connect(&engine, &UpdateEngine::updateFinished, &loop,
                     [&](bool success, const QString &message) {
                         // What the product's restart does next: the finished installation's journal goes.
                         engine.completeInstallation();
                         succeeded = success;
                         std::printf("  outcome: %s\n", qPrintable(message));
                         loop.quit();
                     });
    QObject::connect(&engine, &UpdateEngine::errorOccurred, &loop, [&](const QString &message) {
        std::printf("  outcome: %s\n", qPrintable(message));
        loop.quit();
    });
    engine.setUpdateInfo(mainExecutable(appDir), QStringLiteral("2.0.0"), url);
    engine.setExpectedSha256(sha256);
    settle();
    note(QStringLiteral("startDownload"));
    engine.startDownload();
    loop.exec();
    engine.cancelUpdate();
    engine::setPauseScale(1.0);
    return succeeded;
}

Round runRound(const QString &work, const QString &appDir, const QString &zipPath, const QString &url,
               const QString &sha256)
{
    Round round;
    const QString copy = work + QStringLiteral("/copy");
    const QString unpacked = work + QStringLiteral("/unpacked");
    QDir(copy).removeRecursively();
    QDir(unpacked).removeRecursively();
    QDir().mkpath(unpacked);
    round.floors[0] = timedCommand(QStringLiteral("curl"), {QStringLiteral("-sSf"), QStringLiteral("-o"),
                                                            work + QStringLiteral("/curl.zip"), url});
    round.floors[1] = timedCommand(QStringLiteral("cp"), {QStringLiteral("-a"), appDir, copy});
    round.floors[2] = timedCommand(QStringLiteral("bsdtar"),
                                   {QStringLiteral("-xf"), zipPath, QStringLiteral("-C"), unpacked});
    round.floors[3] = timedCommand(QStringLiteral("rm"), {QStringLiteral("-rf"), copy});
    QFile::remove(work + QStringLiteral("/curl.zip"));
    QDir(unpacked).removeRecursively();

    if (!resetFolder(appDir))
        return round;
    int from = 0;
    {
        QMutexLocker locker(&eventsLock);
        from = events.size();
    }
    const bool installed = runEngine(appDir, url, sha256);
    double start = timeOf(QStringLiteral("startDownload"), from);
    round.ok = installed;
    for (const Row &row : rows()) {
        const double end = timeOf(row.ends, from);
        if (end < 0 || start < 0) {
            std::fprintf(stderr, "no log line \"%s\" in order: see engine.log\n", qPrintable(row.ends));
            round.ok = false;
            round.stage.append(0);
            continue;
        }
        round.stage.append(end - start);
        start = end;
    }
    return round;
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    const int middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

Round medianRound(const QVector<Round> &rounds)
{
    Round result;
    result.ok = true;
    for (int i = 0; i < rows().size(); ++i) {
        QVector<double> values;
        for (const Round &round : rounds)
            values.append(round.stage.at(i));
        result.stage.append(median(values));
    }
    for (int f = 0; f < FloorCount; ++f) {
        QVector<double> values;
        for (const Round &round : rounds)
            values.append(round.floors[f]);
        result.floors[f] = median(values);
    }
    for (const Round &round : rounds)
        result.ok = result.ok && round.ok;
    return result;
}

// The package server, a process of its own so that serving does not wait on the engine.
bool startServer(QProcess &server, const QString &zipPath, QString &url)
{
    server.start(QCoreApplication::applicationFilePath(), {QStringLiteral("serve"), zipPath});
    if (!server.waitForReadyRead(10000))
        return false;
    const QByteArray line = server.readLine().trimmed();
    if (!line.startsWith("port "))
        return false;
    url = QStringLiteral("http://127.0.0.1:%1%2").arg(QString::fromLatin1(line.mid(5)), PackageRoute);
    return true;
}

QString sha256Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? QString::fromLatin1(hash.result().toHex())
                                                                 : QString();
}

int run(const QString &work, int files, qint64 bytes, int rounds)
{
    const QString appDir = work + QStringLiteral("/Quillon");
    const QString zipPath = work + QStringLiteral("/package.zip");
    QDir(appDir).removeRecursively();
    std::printf("writing %d files, %lld MiB and their package to %s\n", files, bytes / MiB, qPrintable(work));
    std::fflush(stdout);
    if (!writeProgramFolder(appDir, files, bytes) || !writePackage(appDir, zipPath))
        return 1;
    std::printf("package: %.1f MiB\n", QFileInfo(zipPath).size() / double(MiB));
    QProcess server;
    QString url;
    if (!startServer(server, zipPath, url)) {
        std::fprintf(stderr, "the package server did not start\n");
        return 1;
    }
    const QString sha256 = sha256Of(zipPath);
    qputenv("PROGRAMDATA", QFile::encodeName(work + QStringLiteral("/ProgramData")));
    QDir().mkpath(work + QStringLiteral("/ProgramData"));
    engineLog = std::fopen(QFile::encodeName(work + QStringLiteral("/engine.log")).constData(), "w");
    qInstallMessageHandler(recordMessage);
    clock.start();

    QVector<Round> done;
    for (int i = 1; i <= rounds; ++i) {
        std::printf("round %d, seconds:\n", i);
        done.append(runRound(work, appDir, zipPath, url, sha256));
        printTable(done.last());
        if (!done.last().ok)
            break;
    }
    server.kill();
    server.waitForFinished();
    if (engineLog)
        std::fclose(engineLog);
    const Round middle = medianRound(done);
    std::printf("median of %d rounds, %d files, %lld MiB, seconds:\n", int(done.size()), files, bytes / MiB);
    printTable(middle);
    std::printf("  every round installed: %s\n", middle.ok ? "yes" : "NO");
    return middle.ok ? 0 : 1;
}

int serve(const QString &filePath)
{
    LoopbackHttpServer server;
    if (!server.isListening()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    server.addRoute(PackageRoute, LoopbackHttpServer::file(filePath));
    std::printf("port %d\n", server.url(PackageRoute).port());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

int argumentOr(const QStringList &arguments, int index, int fallback)
{
    return arguments.size() > index ? arguments.at(index).toInt() : fallback;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("serve"))
        return serve(arguments.at(2));
    if (arguments.size() >= 3 && arguments.at(1) == QLatin1String("run")) {
        const QString work = QDir(arguments.at(2)).absolutePath();
        QDir().mkpath(work);
        return run(work, argumentOr(arguments, 3, 5000), argumentOr(arguments, 4, 100) * MiB,
                   argumentOr(arguments, 5, 3));
    }
    std::fprintf(stderr, "usage: see the top of bench/stages/main.cpp\n");
    return 2;
}
