#include "EngineProbe.h"
#include "LoopbackHttpServer.h"
#include "ProcessRun.h"
#include "TestFiles.h"
#include "ZipBuilder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

using Response = LoopbackHttpServer::Response;
Q_DECLARE_METATYPE(Response)

namespace {

const QString Contacting = QStringLiteral("statusChanged Contacting server...");
const QString Checking = QStringLiteral("statusChanged Checking file integrity...");
const QString Finished = QStringLiteral("progressChanged 70 Download finished");
const QString Ready = QStringLiteral("readyToInstall");
const QString IntegrityFailed = QStringLiteral("errorOccurred 文件完整性校验失败");
const QString CannotSave = QStringLiteral("errorOccurred 无法保存临时下载文件");
const QString DownloadFailed = QStringLiteral("errorOccurred 下载失败: ");
const QStringList Succeeded{Contacting, Checking, Finished, Ready};
const QStringList FailedCheck{Contacting, Checking, IntegrityFailed};
const QStringList FailedTransfer{Contacting, DownloadFailed};
constexpr int TransferTimeoutMs = 30000;
const QString Pkg = QStringLiteral("/pkg");
// The public key of data/package-test-key.pem, a key made for these tests only.
const QString TestPublicKey = QStringLiteral("nFX1jNvuFQyER2/dymVWyB7+Uuz+x7cZw6FGNvrvayo=");
constexpr qint64 MiB = 1024 * 1024;

// The package's signature made by openssl with the test key, Base64; empty when openssl failed.
QString signatureOf(const QByteArray &package)
{
    QTemporaryDir scratch;
    writeFile(scratch.filePath(QStringLiteral("package.zip")), package);
    const ProcessRun run =
        runProcess(QStringLiteral("openssl"),
                   {"pkeyutl", "-sign", "-rawin", "-inkey", QFINDTESTDATA("data/package-test-key.pem"), "-in",
                    scratch.filePath(QStringLiteral("package.zip"))});
    return run.succeeded() ? QString::fromLatin1(run.output.toBase64()) : QString();
}

// Address space the process holds: a reservation counts here at once, before a page of it is touched.
qint64 virtualMemoryBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmSize:"))
            return line.mid(7).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// The signal lines without the transfer's own progress, which depends on how the bytes arrive.
// A transfer error is reduced to its prefix, the rest being Qt's text.
QStringList outcome(const QStringList &lines)
{
    QStringList result;
    for (const QString &line : lines) {
        if (line.startsWith(DownloadFailed))
            result.append(DownloadFailed);
        else if (!line.startsWith(QLatin1String("progressChanged")) || line == Finished)
            result.append(line);
    }
    return result;
}

// A package of version 2.0 with the manifest that lists its one file; random bytes keep it above the smallest
// package the updater takes.
QByteArray packageWithManifest()
{
    const QByteArray data = randomBytes(3000, 11);
    const QByteArray manifest =
        QStringLiteral(
            R"({"product":"Quillon","version":"2.0","files":[{"path":"app.dat","size":3000,"sha256":"%1"}]})")
            .arg(QLatin1String(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex()))
            .toUtf8();
    return zipArchive({ZipEntry{QStringLiteral("farlink-manifest.json"), manifest},
                       ZipEntry{QStringLiteral("app.dat"), data}});
}

} // namespace

class TestPackageDownload final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void outcomes_data();
    void outcomes();
    void progressPercent_data();
    void progressPercent();
    void progressWithoutLengthRepeats();
    void samePercentIsSentOncePerProcess();
    void interruptedTransfer_data();
    void interruptedTransfer();
    void cancelDuringTransfer_data();
    void cancelDuringTransfer();
    void repeatedStartIsIgnored();
    void startAgainAfterCancelSaves();
    void blockedWorkFolderCannotSave();
    void schemeCheck_data();
    void schemeCheck();
    void oversizedPackage_data();
    void oversizedPackage();
    void shortWriteFailsCheck();
    void signatureDecides_data();
    void signatureDecides();
    void announcedLengthIsNotReserved();

private:
    // Starts a download of the path and waits until its transfer has ended.
    void startAndWait(const QString &path = Pkg);
    // A new engine for the program in appFolder, on a volume that always has room.
    void makeEngine(EngineLimits limits = {});
    void servePackage(const QByteArray &body) { server->addRoute(Pkg, LoopbackHttpServer::ok(body)); }
    void waitForStall();

    QTemporaryDir appFolder;
    std::unique_ptr<LoopbackHttpServer> server;
    std::unique_ptr<EngineProbe> engine;
    std::unique_ptr<EngineSignalLog> log;
};

void TestPackageDownload::init()
{
    QVERIFY(appFolder.isValid());
    const QString appPath = appFolder.filePath(QStringLiteral("app.exe"));
    writeFile(appPath, "program");
    server = std::make_unique<LoopbackHttpServer>();
    QVERIFY(server->isListening());
    makeEngine();
}

void TestPackageDownload::makeEngine(EngineLimits limits)
{
    if (engine)
        engine->cancelUpdate();
    log.reset();
    limits.availableBytes = [](const QString &) { return Q_INT64_C(1) << 40; };
    engine = std::make_unique<EngineProbe>(limits);
    engine->setUpdateInfo(appFolder.filePath(QStringLiteral("app.exe")), QStringLiteral("2.0"),
                          server->url(Pkg).toString());
    log = std::make_unique<EngineSignalLog>(engine.get());
}

void TestPackageDownload::cleanup()
{
    engine->cancelUpdate();
    log.reset();
    engine.reset();
    server.reset();
}

void TestPackageDownload::startAndWait(const QString &path)
{
    engine->downloadUrl = server->url(path).toString();
    engine->startDownload();
    QTRY_VERIFY_WITH_TIMEOUT(!engine->isRunning() || log->lines.contains(Ready), TransferTimeoutMs);
    // Lets the finished notification that trails an error arrive as well.
    QCoreApplication::processEvents();
}

void TestPackageDownload::waitForStall()
{
    server->addRoute(Pkg, LoopbackHttpServer::stallAfter(LoopbackHttpServer::filler(1 << 20), 64 * 1024));
    engine->startDownload();
    QTRY_VERIFY_WITH_TIMEOUT(!engine->downloadBuffer.isEmpty(), TransferTimeoutMs);
}

void TestPackageDownload::outcomes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<Response>("response");
    QTest::addColumn<QString>("sha256");
    QTest::addColumn<QStringList>("signalLines");
    QTest::addColumn<qint64>("savedBytes"); // -1: no file, -2: the whole body

    const QByteArray body = zipOfSize(3000);
    const QByteArray small = LoopbackHttpServer::filler(1024);
    const QString sha = QString::fromLatin1(sha256Hex(body));
    const auto ok = &LoopbackHttpServer::ok;

    QTest::newRow("1025 bytes pass") << Pkg << ok(zipOfSize(1025)) << "" << Succeeded << qint64(1025);
    QTest::newRow("1024 bytes fail") << Pkg << ok(small) << "" << FailedCheck << qint64(1024);
    QTest::newRow("empty body fails") << Pkg << ok(QByteArray()) << "" << FailedCheck << qint64(0);
    QTest::newRow("no length, 3000 bytes")
        << Pkg << LoopbackHttpServer::withoutLength(body) << "" << Succeeded << qint64(3000);
    QTest::newRow("no length, 1024 bytes")
        << Pkg << LoopbackHttpServer::withoutLength(small) << "" << FailedCheck << qint64(1024);
    const QByteArray large = zipOfSize(5 * 1024 * 1024 + 1);
    QTest::newRow("5 MiB, more than Qt may buffer")
        << Pkg << ok(large) << "" << Succeeded << qint64(large.size());
    QTest::newRow("5 MiB, no length")
        << Pkg << LoopbackHttpServer::withoutLength(large) << "" << Succeeded << qint64(large.size());
    QTest::newRow("redirect followed") << "/moved" << ok(body) << "" << Succeeded << qint64(3000);
    QTest::newRow("404") << "/missing" << ok(body) << "" << FailedTransfer << qint64(-1);
    QTest::newRow("redirect loop") << "/loop" << ok(body) << "" << FailedTransfer << qint64(-1);
    QTest::newRow("body stops half-way, resumed")
        << Pkg << LoopbackHttpServer::closeAfter(body, 1500) << "" << Succeeded << qint64(3000);
    QTest::newRow("length larger than body")
        << Pkg << LoopbackHttpServer::lengthLargerThanBody(body, 10) << "" << FailedTransfer << qint64(-1);
    // Only a complete zip of plain files and folders inside the program folder passes.
    QTest::newRow("2 KiB HTML page") << Pkg << LoopbackHttpServer::htmlPage() << "" << FailedCheck
                                     << qint64(2048);
    const ZipEntry filler{QStringLiteral("app.exe"), randomBytes(2000, 9)};
    const auto withEntry = [&filler, ok](const ZipEntry &entry) { return ok(zipArchive({filler, entry})); };
    QTest::newRow("tar archive") << Pkg << ok(tarArchive({filler})) << "" << FailedCheck << qint64(-2);
    QTest::newRow("zip cut short, served whole")
        << Pkg << ok(body.left(2000)) << "" << FailedCheck << qint64(2000);
    QTest::newRow("zip with a link")
        << Pkg << withEntry({QStringLiteral("config.ini"), {}, ZipEntry::Type::SymbolicLink, "/etc/passwd"})
        << "" << FailedCheck << qint64(-2);
    QTest::newRow("zip with an absolute entry")
        << Pkg << withEntry({QStringLiteral("/etc/cron.d/job"), "x"}) << "" << FailedCheck << qint64(-2);
    QTest::newRow("zip with a .. entry")
        << Pkg << withEntry({QStringLiteral("../job"), "x"}) << "" << FailedCheck << qint64(-2);
    QTest::newRow("sha256 matches") << Pkg << ok(body) << sha << Succeeded << qint64(3000);
    QTest::newRow("sha256 upper case") << Pkg << ok(body) << sha.toUpper() << Succeeded << qint64(3000);
    QTest::newRow("sha256 differs") << Pkg << ok(body) << QString::fromLatin1(sha256Hex(small)) << FailedCheck
                                    << qint64(3000);
    QTest::newRow("sha256 63 digits") << Pkg << ok(body) << sha.left(63) << FailedCheck << qint64(3000);
    QTest::newRow("sha256 trailing newline") << Pkg << ok(body) << sha + "\n" << FailedCheck << qint64(3000);
    QTest::newRow("sha256 not hex") << Pkg << ok(body) << "g" + sha.mid(1) << FailedCheck << qint64(3000);
    QTest::newRow("sha256 matches 1024 bytes")
        << Pkg << ok(small) << QString::fromLatin1(sha256Hex(small)) << FailedCheck << qint64(1024);
}

void TestPackageDownload::outcomes()
{
    QFETCH(QString, path);
    QFETCH(Response, response);
    QFETCH(QString, sha256);
    QFETCH(QStringList, signalLines);
    QFETCH(qint64, savedBytes);

    server->addRoute(Pkg, response);
    server->addRoute(QStringLiteral("/moved"), LoopbackHttpServer::redirect(server->url(Pkg)));
    server->addRoute(QStringLiteral("/loop"),
                     LoopbackHttpServer::redirect(server->url(QStringLiteral("/loop"))));
    engine->setExpectedSha256(sha256);
    startAndWait(path);

    QCOMPARE(outcome(log->lines), signalLines);
    QCOMPARE(engine->isRunning(), signalLines.contains(Ready));
    const QFileInfo saved(engine->zipPath);
    if (savedBytes == -2)
        savedBytes = response.body.size();
    QCOMPARE(saved.exists() ? saved.size() : -1, savedBytes);
    if (savedBytes > 0)
        QCOMPARE(readFile(engine->zipPath), response.body);
    QVERIFY(engine->downloadBuffer.isEmpty());
    // Redirects and empty bodies announce a length of 0, which counts as no length.
    QRegularExpression percentLine(
        response.announceLength
            ? QStringLiteral("^(([0-9]|[1-6][0-9]|70) Download: \\2%|0 Download\\.\\.\\.)$")
            : QStringLiteral("^0 Download\\.\\.\\.$"));
    for (const QString &line : log->of(QStringLiteral("progressChanged")))
        QVERIFY2(line == QLatin1String("70 Download finished") || percentLine.match(line).hasMatch(),
                 qPrintable(line));
}

void TestPackageDownload::progressPercent_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("percent");

    QTest::newRow("1000 of 3000") << qint64(1000) << qint64(3000) << 23;
    QTest::newRow("2999 of 3000") << qint64(2999) << qint64(3000) << 69;
    QTest::newRow("3000 of 3000") << qint64(3000) << qint64(3000) << 70;
    QTest::newRow("nothing yet") << qint64(0) << qint64(3000) << 0;
    QTest::newRow("1 of 70") << qint64(1) << qint64(70) << 1;
    QTest::newRow("1 of 71") << qint64(1) << qint64(71) << 0;
    QTest::newRow("more than announced") << qint64(4000) << qint64(3000) << 70;
    QTest::newRow("negative received") << qint64(-3000) << qint64(3000) << 0;
    QTest::newRow("beyond 32 bits") << (Q_INT64_C(1) << 40) << (Q_INT64_C(1) << 41) << 35;
}

void TestPackageDownload::progressPercent()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(int, percent);

    // The last percent is process-wide: move it away from the expected value first.
    engine->onDownloadProgress(percent == 0 ? total : 0, total);
    log->lines.clear();
    engine->onDownloadProgress(received, total);
    QCOMPARE(log->lines, QStringList{QStringLiteral("progressChanged %1 Download: %1%").arg(percent)});
}

void TestPackageDownload::progressWithoutLengthRepeats()
{
    engine->onDownloadProgress(1000, 3000);
    log->lines.clear();
    engine->onDownloadProgress(100, -1);
    engine->onDownloadProgress(200, 0);
    engine->onDownloadProgress(300, -1);
    const QString unknown = QStringLiteral("0 Download...");
    QCOMPARE(log->of(QStringLiteral("progressChanged")), (QStringList{unknown, unknown, unknown}));
    // The unknown-length path leaves the last percent alone.
    engine->onDownloadProgress(1000, 3000);
    QCOMPARE(log->lines.size(), 3);
}

void TestPackageDownload::samePercentIsSentOncePerProcess()
{
    engine->onDownloadProgress(0, 1);
    log->lines.clear();
    engine->onDownloadProgress(1000, 3000);
    engine->onDownloadProgress(1001, 3000);
    QCOMPARE(log->of(QStringLiteral("progressChanged")), QStringList{QStringLiteral("23 Download: 23%")});

    EngineProbe second;
    EngineSignalLog secondLog(&second);
    second.onDownloadProgress(1000, 3000);
    second.cancelled = true;
    second.onDownloadProgress(1500, 3000);
    second.cancelled = false;
    second.onDownloadProgress(2999, 3000);
    QCOMPARE(secondLog.lines, QStringList{QStringLiteral("progressChanged 69 Download: 69%")});
}

void TestPackageDownload::interruptedTransfer_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<QStringList>("signalLines");
    QTest::addColumn<QString>("attempts"); // the attempt of each reconnection, in order
    QTest::addColumn<double>("leastSent"); // bytes the server sent, in packages
    QTest::addColumn<double>("mostSent");

    const QByteArray body = zipOfSize(MiB);
    const qint64 half = MiB / 2;
    const auto cut = [&body] { return LoopbackHttpServer::cutAtEveryTenth(body); };
    const auto broken = [&body, half](void (*change)(Response &)) {
        Response response = LoopbackHttpServer::closeAfter(body, half);
        change(response);
        return response;
    };
    const QString everyTenth = QStringLiteral("1 1 1 1 1 1 1 1 1");
    const QString fiveInARow = QStringLiteral("1 2 3 4 5");

    QTest::newRow("cut at every 10 %") << cut() << Succeeded << everyTenth << 1.0 << 1.3;
    QTest::newRow("stall after 30 %")
        << LoopbackHttpServer::stallAfter(body, MiB * 3 / 10) << Succeeded << "1" << 1.0 << 1.3;
    Response lastModified = cut();
    lastModified.etag.clear();
    lastModified.lastModified = "Tue, 08 Dec 2026 10:00:00 GMT";
    QTest::newRow("Last-Modified alone, cut at every 10 %")
        << lastModified << Succeeded << everyTenth << 1.0 << 1.3;
    QTest::newRow("no validator: started over")
        << broken([](Response &r) { r.etag.clear(); }) << Succeeded << "1" << 1.5 << 2.1;
    QTest::newRow("weak ETag: started over")
        << broken([](Response &r) { r.etag = "W/\"1\""; }) << Succeeded << "1" << 1.5 << 2.1;
    QTest::newRow("ranges ignored: started over")
        << broken([](Response &r) { r.ignoreRange = true; }) << Succeeded << "1" << 1.5 << 2.1;
    QTest::newRow("other ETag on the resume: started over")
        << broken([](Response &r) { r.resumeEtag = "\"2\""; }) << Succeeded << "1 2" << 1.5 << 2.1;
    QTest::newRow("range from another byte: started over")
        << broken([](Response &r) { r.rangeShift = 1; }) << Succeeded << "1 2" << 1.5 << 2.1;
    // Each resume is refused (416) and each whole answer falls 10 bytes short: no attempt gets further.
    QTest::newRow("never complete: five attempts")
        << LoopbackHttpServer::lengthLargerThanBody(body, 10) << FailedTransfer << fiveInARow << 3.0 << 3.01;
    QTest::newRow("never answered: five attempts")
        << LoopbackHttpServer::silence() << FailedTransfer << fiveInARow << 0.0 << 0.0;
}

void TestPackageDownload::interruptedTransfer()
{
    QFETCH(Response, response);
    QFETCH(QStringList, signalLines);
    QFETCH(QString, attempts);
    QFETCH(double, leastSent);
    QFETCH(double, mostSent);

    QSignalSpy reconnections(engine.get(), &UpdateEngine::reconnecting);
    server->addRoute(Pkg, response);
    startAndWait();

    QCOMPARE(outcome(log->lines), signalLines);
    QStringList seen;
    for (const QList<QVariant> &signal : reconnections) {
        QCOMPARE(signal.at(1).toInt(), engine::DownloadResumeAttempts);
        seen.append(signal.at(0).toString());
    }
    QCOMPARE(seen.join(QLatin1Char(' ')), attempts);
    const double sent = double(server->bytesSent()) / qMax(1, response.body.size());
    QVERIFY2(sent >= leastSent && sent <= mostSent, qPrintable(QString::number(sent)));
    QCOMPARE(QFileInfo::exists(engine->zipPath), signalLines == Succeeded);
    if (signalLines == Succeeded)
        QVERIFY(readFile(engine->zipPath) == response.body);
    // Where the transfer was continued, the bar never went back.
    if (mostSent < 1.5) {
        int shown = 0;
        for (const QString &line : log->of(QStringLiteral("progressChanged"))) {
            QVERIFY2(line.section(QLatin1Char(' '), 0, 0).toInt() >= shown, qPrintable(line));
            shown = line.section(QLatin1Char(' '), 0, 0).toInt();
        }
    }
}

void TestPackageDownload::cancelDuringTransfer_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<QString>("cancelOn");

    const QByteArray body = LoopbackHttpServer::filler(1 << 20);
    QTest::newRow("while receiving") << LoopbackHttpServer::stallAfter(body, 64 * 1024) << "data";
    QTest::newRow("in the pause before a resume")
        << LoopbackHttpServer::closeAfter(body, 64 * 1024) << "reconnecting";
    QTest::newRow("while the resume is asked for")
        << LoopbackHttpServer::closeAfter(body, 64 * 1024) << "second request";
}

void TestPackageDownload::cancelDuringTransfer()
{
    QFETCH(Response, response);
    QFETCH(QString, cancelOn);

    server->addRoute(Pkg, response);
    const auto cancel = [this] { engine->cancelUpdate(); };
    if (cancelOn == QLatin1String("reconnecting"))
        connect(engine.get(), &UpdateEngine::reconnecting, this, cancel);
    if (cancelOn == QLatin1String("second request"))
        connect(server.get(), &LoopbackHttpServer::requestReceived, this, [this, cancel] {
            if (server->requests().size() == 2)
                cancel();
        });
    engine->startDownload();
    if (cancelOn == QLatin1String("data")) {
        QTRY_VERIFY_WITH_TIMEOUT(!engine->downloadBuffer.isEmpty(), TransferTimeoutMs);
        QSignalSpy released(engine->currentReply, &QObject::destroyed);
        cancel();
        QTRY_COMPARE(released.count(), 1);
    }
    QTRY_VERIFY_WITH_TIMEOUT(engine->cancelled, TransferTimeoutMs);
    QVERIFY(!engine->currentReply);
    QVERIFY(!engine->isRunning());
    QVERIFY(engine->downloadBuffer.isEmpty());
    const QStringList requests = server->requests();
    // Longer than the pause before a resume: nothing is asked for again, nothing more is said.
    QTest::qWait(200);
    QCOMPARE(server->requests(), requests);
    QCOMPARE(outcome(log->lines), QStringList{Contacting});
    QVERIFY(!QFileInfo::exists(engine->zipPath));
}

void TestPackageDownload::repeatedStartIsIgnored()
{
    waitForStall();
    const QStringList before = log->lines;
    QNetworkReply *reply = engine->currentReply;
    engine->startDownload();
    QTest::qWait(100);
    QCOMPARE(log->lines, before);
    QCOMPARE(engine->currentReply, reply);
    QCOMPARE(server->connectionCount(), 1);
    QVERIFY(engine->isRunning());
}

void TestPackageDownload::startAgainAfterCancelSaves()
{
    waitForStall();
    engine->cancelUpdate();
    QVERIFY(!QFileInfo::exists(engine->tempDir));
    servePackage(zipOfSize(2000));
    log->lines.clear();
    startAndWait();
    QCOMPARE(outcome(log->lines), Succeeded);
    QCOMPARE(QFileInfo(engine->zipPath).size(), qint64(2000));
}

void TestPackageDownload::blockedWorkFolderCannotSave()
{
    // A regular file where the work folder belongs: neither creating nor writing works, even as root.
    QVERIFY(QDir(engine->tempDir).removeRecursively());
    writeFile(engine->tempDir, "blocker");
    servePackage(LoopbackHttpServer::filler(2000));
    startAndWait();
    QVERIFY(QFile::remove(engine->tempDir));
    QCOMPARE(outcome(log->lines), (QStringList{Contacting, CannotSave}));
    QVERIFY(!engine->isRunning());
}

void TestPackageDownload::schemeCheck_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("refused");

    QTest::newRow("file") << "file://" + appFolder.filePath(QStringLiteral("app.exe")) << true;
    QTest::newRow("ftp to the server") << "ftp://127.0.0.1:PORT/pkg" << true;
    QTest::newRow("data") << "data:application/zip;base64,UEsFBgAAAAAAAAAAAAAAAAAAAAAAAA==" << true;
    QTest::newRow("no scheme") << "//127.0.0.1:PORT/pkg" << true;
    QTest::newRow("bare host and path") << "127.0.0.1:PORT/pkg" << true;
    QTest::newRow("no host") << "http:///pkg" << true;
    QTest::newRow("empty") << "" << true;
    QTest::newRow("blank") << "   " << true;
    QTest::newRow("http") << "http://127.0.0.1:PORT/pkg" << false;
    QTest::newRow("HTTP upper case") << "HTTP://127.0.0.1:PORT/pkg" << false;
}

void TestPackageDownload::schemeCheck()
{
    QFETCH(QString, url);
    QFETCH(bool, refused);

    servePackage(zipOfSize(2000));
    engine->downloadUrl = url.replace(QLatin1String("PORT"), QString::number(server->url({}).port()));
    engine->startDownload();
    if (!refused) {
        QTRY_VERIFY_WITH_TIMEOUT(log->lines.contains(Ready), TransferTimeoutMs);
        return;
    }
    QVERIFY(!engine->currentReply);
    QVERIFY(!engine->isRunning());
    QCOMPARE(log->lines.size(), 1);
    QVERIFY(log->lines.first().startsWith(DownloadFailed));
    QVERIFY(log->lines.first().size() > DownloadFailed.size());
    QTest::qWait(100);
    QCOMPARE(server->connectionCount(), 0);
    QVERIFY(!QFileInfo::exists(engine->zipPath));
}

void TestPackageDownload::oversizedPackage_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<bool>("accepted");

    const QByteArray atLimit = zipOfSize(4096);
    const QByteArray overLimit = zipOfSize(4097);
    QTest::newRow("announced at the limit") << LoopbackHttpServer::ok(atLimit) << true;
    QTest::newRow("announced over the limit") << LoopbackHttpServer::ok(overLimit) << false;
    QTest::newRow("unannounced at the limit") << LoopbackHttpServer::withoutLength(atLimit) << true;
    QTest::newRow("unannounced over the limit") << LoopbackHttpServer::withoutLength(overLimit) << false;
}

void TestPackageDownload::oversizedPackage()
{
    QFETCH(Response, response);
    QFETCH(bool, accepted);

    EngineLimits limits;
    limits.maximumPackageBytes = 4096;
    makeEngine(limits);
    server->addRoute(Pkg, response);
    startAndWait();
    QTest::qWait(50);
    QCOMPARE(outcome(log->lines), accepted ? Succeeded : FailedTransfer);
    QCOMPARE(QFileInfo::exists(engine->zipPath), accepted);
    QCOMPARE(engine->isRunning(), accepted);
}

void TestPackageDownload::shortWriteFailsCheck()
{
#ifdef Q_OS_UNIX
    // A file-size limit makes the write stop after 2000 bytes, like a full disk; root is bound by it too.
    rlimit original{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &original), 0);
    rlimit limited = original;
    limited.rlim_cur = 2000;
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    servePackage(LoopbackHttpServer::filler(3000));
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    startAndWait();
    setrlimit(RLIMIT_FSIZE, &original);
    std::signal(SIGXFSZ, previousHandler);
    QCOMPARE(QFileInfo(engine->zipPath).size(), qint64(2000));
    QCOMPARE(outcome(log->lines), FailedCheck);
#else
    QSKIP("needs a file-size limit");
#endif
}

void TestPackageDownload::signatureDecides_data()
{
    QTest::addColumn<bool>("keyBuiltIn");
    QTest::addColumn<QString>("signedPackage"); // "served", "other" (another package) or "" (no signature)
    QTest::addColumn<QStringList>("signalLines");

    QTest::newRow("no key built in, no signature") << false << "" << Succeeded;
    QTest::newRow("signed package") << true << "served" << Succeeded;
    QTest::newRow("signature of another package") << true << "other" << FailedCheck;
    QTest::newRow("signature missing") << true << "" << FailedCheck;
}

void TestPackageDownload::signatureDecides()
{
    QFETCH(bool, keyBuiltIn);
    QFETCH(QString, signedPackage);
    QFETCH(QStringList, signalLines);

    // With keys built in, only a package that says what it is installs.
    const QByteArray served = keyBuiltIn ? packageWithManifest() : zipOfSize(3000);
    const QString signature = signedPackage == QLatin1String("served")  ? signatureOf(served)
                              : signedPackage == QLatin1String("other") ? signatureOf(zipOfSize(3001))
                                                                        : QString();
    QCOMPARE(signature.isEmpty(), signedPackage.isEmpty());
    servePackage(served);
    engine->setPackageSignature(signature, keyBuiltIn ? QStringList{TestPublicKey} : QStringList());
    startAndWait();
    QCOMPARE(outcome(log->lines), signalLines);
    QCOMPARE(engine->isRunning(), signalLines.contains(Ready));
}

void TestPackageDownload::announcedLengthIsNotReserved()
{
    // About 2 GiB announced, 2 KiB sent, then the server waits.
    LoopbackHttpServer::Response response = LoopbackHttpServer::lengthLargerThanBody(
        LoopbackHttpServer::filler(2048), engine::MaximumPackageBytes - 2048);
    response.stall = true;
    server->addRoute(Pkg, response);
    const qint64 before = virtualMemoryBytes();
    QVERIFY(before > 0);
    engine->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(engine->downloadBuffer.size(), 2048, TransferTimeoutMs);
    const qint64 grown = virtualMemoryBytes() - before;
    QVERIFY2(grown < 512 * MiB, qPrintable(QStringLiteral("%1 MiB more address space").arg(grown / MiB)));
}

QTEST_GUILESS_MAIN(TestPackageDownload)
#include "tst_packagedownload.moc"
