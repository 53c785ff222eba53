// Backup, restore and installation figures of the engine; run.sh drives it.
//   backup_bench copy <work> [files] [MiB] [rounds]
//       backup plus restore of a program folder, each with its journal and durability flush, beside
//       `cp -a; sync` there and back, and the flushes on their own
//   backup_bench install <work> [files] [MiB]
//       one whole installation from a downloaded package, against the stand-ins on PATH
//   backup_bench scale <work> [small files] [large files] [large MiB] [repetitions]
//       disk-space check, the package's zip check (listing), the check of an extracted
//       folder against it (verify: listing plus the check), backup, extraction and restore at two sizes of
//       the same average file size: wall time, peak memory, and how each grows
//   backup_bench step <space|listing|verify|backup|extract|restore> <program folder> <package>
//       one step in a process of its own (what scale runs)
// The engine's log goes to <work>/engine.log.

#include "BackupCopy.h"
#include "EngineConstants.h"
#include "EngineProbe.h"
#include "InstallJournal.h"
#include "PackageListing.h"
#include "ProductConstants.h"
#include "ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr qint64 MiB = 1 << 20;
const QStringList ScaleSteps{QStringLiteral("space"),  QStringLiteral("listing"), QStringLiteral("verify"),
                             QStringLiteral("backup"), QStringLiteral("extract"), QStringLiteral("restore")};

// stdio: buffered like a real log, and flushed by exit() whichever way main ends.
std::FILE *engineLog = nullptr;

void writeToEngineLog(QtMsgType, const QMessageLogContext &, const QString &message)
{
    std::fputs(message.toUtf8().append('\n').constData(), engineLog);
}

void openEngineLog(const QString &work)
{
    engineLog = std::fopen(QFile::encodeName(work + QStringLiteral("/engine.log")).constData(), "a");
    if (engineLog)
        qInstallMessageHandler(writeToEngineLog);
}

// Every timed phase starts and ends with the page cache written out: each one pays
// for its own writes and for no other's.
void settle()
{
    ::sync();
}

double seconds(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e9;
}

// The fastest run: what the work itself costs, with the least of the other jobs
// on this machine in it.
double best(const QVector<double> &values)
{
    return *std::min_element(values.begin(), values.end());
}

QString journalBackupFolder(const QString &appDir)
{
    const InstallJournal::Reading reading = InstallJournal(appDir).read();
    return reading.record ? appDir + QLatin1Char('/') + reading.record->backupFolder : QString();
}

// The backups of earlier rounds, each in a folder of its own name.
void removeBackups(const QString &appDir)
{
    const QStringList folders = QDir(appDir).entryList({transaction::BackupMarker + QLatin1Char('*')},
                                                       QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &folder : folders)
        QDir(appDir + QLatin1Char('/') + folder).removeRecursively();
}

bool makeFolder(const QString &appDir, int files, qint64 bytes)
{
    QDir(appDir).removeRecursively();
    std::printf("writing %d files, %lld MiB to %s\n", files, bytes / MiB, qPrintable(appDir));
    std::fflush(stdout);
    return writeProgramFolder(appDir, files, bytes);
}

double timeCopy(const QString &from, const QString &to)
{
    QDir(to).removeRecursively();
    settle();
    QElapsedTimer timer;
    timer.start();
    const int exitCode = QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), from, to});
    settle();
    const double elapsed = seconds(timer);
    if (exitCode != 0)
        std::fprintf(stderr, "cp -a %s %s failed\n", qPrintable(from), qPrintable(to));
    return elapsed;
}

// The fixed sleeps of one installation without a daemon executable in the folder.
int fixedPausesMs()
{
    using namespace engine;
    return 3 * product::PauseAfterTaskkillMs + product::PauseAfterShutdownMs + PauseAfterProcessesClosedMs +
           PauseBeforeFinishMs + 6 * ExtractionProgressPauseMs;
}

int runInstall(const QString &work, int files, qint64 bytes)
{
    const QString appDir = work + QStringLiteral("/Quillon");
    const QString tempDir = work + QStringLiteral("/QuillUpdate_bench");
    QDir().mkpath(tempDir);
    if (!makeFolder(appDir, files, bytes) ||
        !writePackage(appDir, tempDir + QLatin1Char('/') + engine::PackageFileName))
        return 1;
    EngineProbe engine;
    engine.aimAt(mainExecutable(appDir), tempDir + QLatin1Char('/') + engine::PackageFileName,
                 QStringLiteral("2.0.0"));
    engine.running = true;
    QString outcome;
    QEventLoop loop;
    QElapsedTimer timer;
    QString lastStage;
    // The worker's own progress texts mark where each step begins; printed from the worker thread.
    QObject::connect(
        &engine, &UpdateEngine::installProgress, &loop,
        [&](int percent, const QString &message) {
            if (message.startsWith(QLatin1String("Files:")) || message == lastStage)
                return;
            lastStage = message;
            std::printf("  %6.2f s  %3d %s\n", seconds(timer), percent, qPrintable(message));
        },
        Qt::DirectConnection);
    QObject::connect(&engine, &UpdateEngine::updateFinished, &loop, [&](bool, const QString &message) {
        outcome = message;
        loop.quit();
    });
    QObject::connect(&engine, &UpdateEngine::errorOccurred, &loop, [&](const QString &message) {
        outcome = message;
        loop.quit();
    });
    settle();
    timer.start();
    engine.startInstall();
    loop.exec();
    const double elapsed = seconds(timer);
    engine.cancelUpdate();
    const double pauses = fixedPausesMs() / 1000.0;
    std::printf("whole installation, %d files, %lld MiB: %.2f s, outcome: %s\n", files, bytes / MiB, elapsed,
                qPrintable(outcome));
    std::printf("  fixed pauses %.2f s (%.0f %%), the rest %.2f s\n", pauses, 100 * pauses / elapsed,
                elapsed - pauses);
    QDir(appDir).removeRecursively();
    QDir(tempDir).removeRecursively();
    return outcome == engine::InstallSucceeded ? 0 : 1;
}

QString flushTimesPath(const QString &work)
{
    return work + QStringLiteral("/flush-seconds.txt");
}

// The flush that makes a step durable, as the installation runs it; its time is added to the work folder's
// record for the caller.
bool timedFlush(const QString &work, const std::function<bool()> &flush)
{
    QElapsedTimer timer;
    timer.start();
    const bool flushed = flush();
    QFile times(flushTimesPath(work));
    if (times.open(QIODevice::Append))
        times.write(QByteArray::number(seconds(timer)) + '\n');
    return flushed;
}

// What the installation does around its backup and restore: the journal, and the flush before a record
// that promises files on disk.
bool runStepHere(const QString &step, const QString &appDir, const QString &zipPath, const QString &work)
{
    EngineProbe engine;
    engine.aimAt(mainExecutable(appDir), zipPath, QStringLiteral("2.0.0"));
    if (step == QLatin1String("space"))
        return engine.checkDiskSpace();
    PackageListing listing;
    if (step == QLatin1String("listing"))
        return listing.read(zipPath);
    if (step == QLatin1String("verify"))
        return listing.read(zipPath) && listing.isInstalledIn(appDir);
    if (step == QLatin1String("backup"))
        // The backup step names its own folder; the journal records that name for the restore below.
        return engine.installTransaction.begin() && engine.createBackup() &&
               timedFlush(work, [&engine] { return engine.installTransaction.recordBackupComplete(); });
    if (step == QLatin1String("extract"))
        return engine.extractUpdatePackage();
    return BackupCopy(appDir, journalBackupFolder(appDir)).restore({}) && timedFlush(work, [&engine] {
               return engine.installTransaction.recordStage(InstallJournal::Stage::Restored);
           });
}

// Sum of the flush times the steps recorded since the last call.
double takeFlushSeconds(const QString &work)
{
    QFile times(flushTimesPath(work));
    double total = 0;
    if (times.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : times.readAll().split('\n'))
            total += line.toDouble();
    }
    times.remove();
    return total;
}

struct StepFigures
{
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

// A process of its own per step, so that its peak memory (tar's included) is its own.
StepFigures runStepApart(const QString &work, const QString &step, const QString &appDir,
                         const QString &zipPath)
{
    const QByteArray self = QCoreApplication::applicationFilePath().toLocal8Bit();
    const QList<QByteArray> arguments{
        self, "step", step.toLocal8Bit(), appDir.toLocal8Bit(), zipPath.toLocal8Bit(), work.toLocal8Bit()};
    QVector<char *> argv;
    for (const QByteArray &argument : arguments)
        argv.append(const_cast<char *>(argument.constData()));
    argv.append(nullptr);
    StepFigures figures;
    settle();
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, self.constData(), nullptr, nullptr, argv.data(), environ) != 0)
        return figures;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    settle();
    figures.seconds = seconds(timer);
    figures.peakKiB = usage.ru_maxrss;
    figures.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return figures;
}

int runCopy(const QString &work, int files, qint64 bytes, int rounds)
{
    const QString appDir = work + QStringLiteral("/Quillon");
    if (!makeFolder(appDir, files, bytes))
        return 1;
    QVector<double> cpThere, cpBack, backup, restore, flushes;
    bool ok = true;
    for (int round = 1; round <= rounds; ++round) {
        cpThere.append(timeCopy(appDir, work + QStringLiteral("/cp-there")));
        cpBack.append(timeCopy(work + QStringLiteral("/cp-there"), work + QStringLiteral("/cp-back")));
        QDir(work + QStringLiteral("/cp-there")).removeRecursively();
        QDir(work + QStringLiteral("/cp-back")).removeRecursively();
        const StepFigures backedUp = runStepApart(work, QStringLiteral("backup"), appDir, QString());
        const StepFigures restored = runStepApart(work, QStringLiteral("restore"), appDir, QString());
        backup.append(backedUp.seconds);
        restore.append(restored.seconds);
        flushes.append(takeFlushSeconds(work));
        ok = ok && backedUp.ok && restored.ok;
        removeBackups(appDir);
        std::printf("round %d: cp -a there %.2f s, back %.2f s; backup %.2f s, restore %.2f s, of which "
                    "flushes %.3f s\n",
                    round, cpThere.last(), cpBack.last(), backup.last(), restore.last(), flushes.last());
        std::fflush(stdout);
    }
    const double cpTotal = best(cpThere) + best(cpBack);
    const double engineTotal = best(backup) + best(restore);
    std::printf("best of %d rounds, %d files, %lld MiB:\n", rounds, files, bytes / MiB);
    std::printf("  cp -a there + back   %6.2f s (%.2f + %.2f)\n", cpTotal, best(cpThere), best(cpBack));
    std::printf("  backup + restore     %6.2f s (%.2f + %.2f), durable\n", engineTotal, best(backup),
                best(restore));
    std::printf("  the flushes alone    %6.3f s (best round)\n", best(flushes));
    std::printf("  ratio                %6.2f x cp -a (target: at most 1.5)\n", engineTotal / cpTotal);
    std::printf("  steps succeeded      %s\n", ok ? "yes" : "NO");
    QDir(appDir).removeRecursively();
    return ok ? 0 : 1;
}

// Best time over the repetitions, largest peak memory, and failed if any run failed.
StepFigures combined(const QVector<StepFigures> &runs)
{
    StepFigures result;
    QVector<double> times;
    result.ok = true;
    for (const StepFigures &run : runs) {
        times.append(run.seconds);
        result.peakKiB = qMax(result.peakKiB, run.peakKiB);
        result.ok = result.ok && run.ok;
    }
    result.seconds = best(times);
    return result;
}

QVector<StepFigures> runScaleRound(const QString &work, int files, qint64 bytes, int repetitions)
{
    const QString appDir = work + QStringLiteral("/Quillon");
    const QString zipPath = work + QStringLiteral("/QuillUpdate_bench/update.zip");
    QDir().mkpath(QFileInfo(zipPath).absolutePath());
    QVector<StepFigures> figures;
    if (!makeFolder(appDir, files, bytes) || !writePackage(appDir, zipPath))
        return figures;
    QVector<QVector<StepFigures>> runs(ScaleSteps.size());
    for (int repetition = 0; repetition < repetitions; ++repetition) {
        for (int i = 0; i < ScaleSteps.size(); ++i)
            runs[i].append(runStepApart(work, ScaleSteps.at(i), appDir, zipPath));
        removeBackups(appDir);
    }
    for (int i = 0; i < ScaleSteps.size(); ++i) {
        figures.append(combined(runs.at(i)));
        std::printf("  %-8s %8.2f s %8ld KiB peak  %s\n", qPrintable(ScaleSteps.at(i)),
                    figures.last().seconds, figures.last().peakKiB, figures.last().ok ? "ok" : "FAILED");
    }
    std::fflush(stdout);
    QDir(appDir).removeRecursively();
    QFile::remove(zipPath);
    return figures;
}

int runScale(const QString &work, int smallFiles, int largeFiles, qint64 largeBytes, int repetitions)
{
    const qint64 smallBytes = largeBytes * smallFiles / largeFiles;
    std::printf("small: %d files, %lld MiB, best of %d runs\n", smallFiles, smallBytes / MiB, repetitions);
    const QVector<StepFigures> small = runScaleRound(work, smallFiles, smallBytes, repetitions);
    std::printf("large: %d files, %lld MiB, best of %d runs\n", largeFiles, largeBytes / MiB, repetitions);
    const QVector<StepFigures> large = runScaleRound(work, largeFiles, largeBytes, repetitions);
    if (small.size() != ScaleSteps.size() || large.size() != ScaleSteps.size())
        return 1;
    const double size = static_cast<double>(largeFiles) / smallFiles;
    std::printf("growth for %.0fx the files and bytes (linear: time %.0fx):\n", size, size);
    bool ok = true;
    for (int i = 0; i < ScaleSteps.size(); ++i) {
        std::printf("  %-8s time %6.2fx  peak memory %6.2fx\n", qPrintable(ScaleSteps.at(i)),
                    large.at(i).seconds / small.at(i).seconds,
                    static_cast<double>(large.at(i).peakKiB) / small.at(i).peakKiB);
        ok = ok && small.at(i).ok && large.at(i).ok;
    }
    return ok ? 0 : 1;
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
    if (arguments.size() < 3) {
        std::fprintf(stderr, "usage: see the top of bench/backup/main.cpp\n");
        return 2;
    }
    const QString mode = arguments.at(1);
    if (mode == QLatin1String("step")) {
        openEngineLog(arguments.value(5, QDir::tempPath()));
        return runStepHere(arguments.at(2), arguments.value(3), arguments.value(4),
                           arguments.value(5, QDir::tempPath()))
                   ? 0
                   : 1;
    }
    const QString work = QDir(arguments.at(2)).absolutePath();
    QDir().mkpath(work);
    openEngineLog(work);
    if (mode == QLatin1String("copy"))
        return runCopy(work, argumentOr(arguments, 3, 20000), argumentOr(arguments, 4, 512) * MiB,
                       argumentOr(arguments, 5, 3));
    if (mode == QLatin1String("install"))
        return runInstall(work, argumentOr(arguments, 3, 20000), argumentOr(arguments, 4, 512) * MiB);
    if (mode == QLatin1String("scale"))
        return runScale(work, argumentOr(arguments, 3, 5000), argumentOr(arguments, 4, 50000),
                        argumentOr(arguments, 5, 1024) * MiB, argumentOr(arguments, 6, 3));
    std::fprintf(stderr, "unknown mode %s\n", qPrintable(mode));
    return 2;
}
