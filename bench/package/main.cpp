// Package figures of the manifest; run.sh drives it.
//   package_bench sizes <work> <files> <MiB> <changed per mille>
//       a bench product of that many files and that size as 1.0.0, the same with that share of its files
//       changed as 2.0.0; the sizes of a zip without a manifest, of farlink-pack's full package and its delta
//   package_bench install <work> <files> <MiB> <rounds>
//       the same two versions; one whole installation of 2.0.0 over 1.0.0 from each of the three packages
//       (the best of the rounds), and on their own the zip's listing and the manifest's checks before
//       anything is stopped and after the extraction
// The engine's log goes to <work>/engine.log; the tar, taskkill and tasklist stand-ins must be first on PATH.

#include "EngineConstants.h"
#include "EngineProbe.h"
#include "ManifestCheck.h"
#include "PackageCheck.h"
#include "PackageListing.h"
#include "ProgramFolder.h"
#include "ZipBuilder.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr qint64 MiB = 1 << 20;
const QString Version = QStringLiteral("2.0.0");

std::FILE *engineLog = nullptr;

void writeToEngineLog(QtMsgType, const QMessageLogContext &, const QString &message)
{
    std::fputs(message.toUtf8().append('\n').constData(), engineLog);
}

double seconds(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e9;
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// Every file whose index falls on the share is rewritten with its bytes reversed: same size, other content.
int changeFiles(const QString &root, int perMille)
{
    QStringList files;
    QDirIterator it(root + QStringLiteral("/lib"), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    std::sort(files.begin(), files.end());
    int changed = 0;
    for (int index = 0; index < files.size(); index += 1000 / perMille) {
        QFile file(files.at(index));
        if (!file.open(QIODevice::ReadWrite))
            return -1;
        QByteArray bytes = file.readAll();
        std::reverse(bytes.begin(), bytes.end());
        file.seek(0);
        file.write(bytes);
        ++changed;
    }
    return changed;
}

struct Packages
{
    QString older;
    QString newer;
    QString plain;
    QString full;
    QString delta;
};

// 1.0.0 and 2.0.0 of the bench product, and the three packages of 2.0.0.
bool makePackages(const QString &work, int files, qint64 bytes, int perMille, Packages &packages)
{
    packages = {work + QStringLiteral("/1.0.0"), work + QStringLiteral("/2.0.0"),
                work + QStringLiteral("/plain.zip"), work + QStringLiteral("/full.zip"),
                work + QStringLiteral("/delta.zip")};
    QDir(packages.older).removeRecursively();
    QDir(packages.newer).removeRecursively();
    if (!writeProgramFolder(packages.older, files, bytes) ||
        !run(QStringLiteral("cp"), {QStringLiteral("-a"), packages.older, packages.newer}))
        return false;
    // The product's own file: no package of 2.0.0 carries it.
    QFile::remove(packages.newer + QStringLiteral("/config.ini"));
    const int changed = changeFiles(packages.newer, perMille);
    std::printf("%d files, %lld MiB, %d changed\n", files, bytes / MiB, changed);
    const QString pack = QStringLiteral(FARLINK_PACK_PATH);
    return changed > 0 && writePackage(packages.newer, packages.plain) &&
           run(pack, {"full", packages.newer, "--version", Version, "-o", packages.full}) &&
           run(pack, {"delta", packages.older, packages.newer, "--version", Version, "-o", packages.delta});
}

int sizes(const QString &work, int files, qint64 bytes, int perMille)
{
    Packages packages;
    if (!makePackages(work, files, bytes, perMille, packages))
        return 1;
    for (const QString &zip : {packages.plain, packages.full, packages.delta})
        std::printf("  %-10s %12lld bytes\n", qPrintable(QFileInfo(zip).fileName()), QFileInfo(zip).size());
    return 0;
}

// Seconds of the download's listing of the zip, of the manifest's checks before anything is stopped, and of
// its checks after the extraction (on a folder that already holds 2.0.0); -1 where one fails.
struct CheckTimes
{
    double listing = -1;
    double before = -1;
    double after = -1;
};

CheckTimes timeChecks(const QString &older, const QString &installed, const QString &zip)
{
    CheckTimes times;
    PackageListing listing;
    QElapsedTimer timer;
    timer.start();
    if (!listing.read(zip))
        return times;
    times.listing = seconds(timer);
    timer.restart();
    if (!PackageCheck(QString(), QString(), {})
             .fitsInstallation(listing, older, older + QStringLiteral("/config.ini"), Version))
        return times;
    times.before = seconds(timer);
    timer.restart();
    ManifestCheck manifest(listing, installed);
    if (manifest.read(false) && manifest.completeInstallation())
        times.after = seconds(timer);
    return times;
}

// One whole installation of the package over a fresh 1.0.0, from the worker's start to its end.
double timeInstall(const QString &work, const Packages &packages, const QString &zip)
{
    const QString appDir = work + QStringLiteral("/Quillon");
    const QString tempDir = work + QStringLiteral("/QuillUpdate_bench");
    QDir(appDir).removeRecursively();
    QDir(tempDir).removeRecursively();
    QDir().mkpath(tempDir);
    if (!run(QStringLiteral("cp"), {QStringLiteral("-a"), packages.older, appDir}) ||
        !QFile::copy(zip, tempDir + QLatin1Char('/') + engine::PackageFileName))
        return -1;
    EngineProbe engine;
    engine.aimAt(mainExecutable(appDir), tempDir + QLatin1Char('/') + engine::PackageFileName, Version);
    engine.running = true;
    QString outcome;
    QEventLoop loop;
    QObject::connect(&engine, &UpdateEngine::updateFinished, &loop, [&](bool, const QString &message) {
        outcome = message;
        loop.quit();
    });
    QObject::connect(&engine, &UpdateEngine::errorOccurred, &loop, [&](const QString &message) {
        outcome = message;
        loop.quit();
    });
    ::sync();
    QElapsedTimer timer;
    timer.start();
    engine.startInstall();
    loop.exec();
    const double elapsed = seconds(timer);
    engine.cancelUpdate();
    return outcome == engine::InstallSucceeded ? elapsed : -1;
}

int install(const QString &work, int files, qint64 bytes, int rounds)
{
    Packages packages;
    if (!makePackages(work, files, bytes, 10, packages))
        return 1;
    const QString zips[] = {packages.plain, packages.full, packages.delta};
    const char *names[] = {"no manifest", "full, manifest", "delta, manifest"};
    // Rounds outside, variants inside: whatever else the machine does then weighs on each variant alike.
    QVector<double> installs[3];
    CheckTimes best[3];
    for (int round = 0; round < rounds; ++round) {
        for (int variant = 0; variant < 3; ++variant) {
            installs[variant] << timeInstall(work, packages, zips[variant]);
            const CheckTimes times = timeChecks(packages.older, packages.newer, zips[variant]);
            CheckTimes &kept = best[variant];
            kept = round == 0 ? times
                              : CheckTimes{qMin(kept.listing, times.listing), qMin(kept.before, times.before),
                                           qMin(kept.after, times.after)};
        }
    }
    int failures = 0;
    for (int variant = 0; variant < 3; ++variant) {
        const double whole = *std::min_element(installs[variant].begin(), installs[variant].end());
        const CheckTimes &times = best[variant];
        failures += whole < 0 || times.listing < 0 || times.before < 0 || times.after < 0;
        std::printf("  %-16s installation %6.2f s   listing %5.2f s   manifest before stopping %5.2f s   "
                    "after extraction %5.2f s\n",
                    names[variant], whole, times.listing, times.before, times.after);
    }
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const QString mode = arguments.value(1);
    const QString work = arguments.value(2);
    if (arguments.size() != 6 || (mode != QLatin1String("sizes") && mode != QLatin1String("install"))) {
        std::fputs("usage: package_bench sizes <work> <files> <MiB> <changed per mille>\n"
                   "       package_bench install <work> <files> <MiB> <rounds>\n",
                   stderr);
        return 2;
    }
    engineLog = std::fopen(QFile::encodeName(work + QStringLiteral("/engine.log")).constData(), "a");
    if (engineLog)
        qInstallMessageHandler(writeToEngineLog);
    const int files = arguments.at(3).toInt();
    const qint64 bytes = arguments.at(4).toLongLong() * MiB;
    return mode == QLatin1String("sizes") ? sizes(work, files, bytes, arguments.at(5).toInt())
                                          : install(work, files, bytes, arguments.at(5).toInt());
}
