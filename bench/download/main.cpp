// Measures the engine's download of one package from a loopback server; run.sh drives it.
//   download_bench serve <file> [cut]
//       serves the file as /package.zip on 127.0.0.1, prints "port <n>", runs until killed; with "cut", every
//       answer's connection is closed where the file reaches the next of ten equal parts (ranges are
//       honoured); prints "sent <bytes>" at each request and whenever the file's end has been sent
//   download_bench fetch <url> <program-data>
//       downloads with UpdateEngine into <program-data>/QuillUpdate_*, prints the wall time and the peak
//       resident memory, then the number of reconnections

#include "LoopbackHttpServer.h"
#include "UpdateEngine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// The path run.sh asks for.
const QString PackagePath = QStringLiteral("/package.zip");
QElapsedTimer downloadTimer;
qint64 receivedAtNs = -1;
qint64 savedAtNs = -1;

// The engine logs the end of the transfer and the end of the write; their times split the total.
void timeEngineSteps(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (message.startsWith(QStringLiteral("下载完成")))
        receivedAtNs = downloadTimer.nsecsElapsed();
    else if (message.startsWith(QStringLiteral("文件保存到")))
        savedAtNs = downloadTimer.nsecsElapsed();
}

// Peak resident memory of this process, in KiB, as the kernel counts it.
qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

int serve(const QString &filePath, bool cut)
{
    LoopbackHttpServer server;
    if (!server.isListening()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    LoopbackHttpServer::Response response = LoopbackHttpServer::file(filePath);
    if (cut)
        response.cutEvery = (QFileInfo(filePath).size() + 9) / 10;
    server.addRoute(PackagePath, response);
    const auto printSent = [&server] {
        std::printf("sent %lld\n", server.bytesSent());
        std::fflush(stdout);
    };
    QObject::connect(&server, &LoopbackHttpServer::requestReceived, printSent);
    QObject::connect(&server, &LoopbackHttpServer::fileSent, printSent);
    std::printf("port %d\n", server.url(PackagePath).port());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

int fetch(const QString &url, const QString &programData)
{
    QTemporaryDir appFolder;
    QFile app(appFolder.filePath(QStringLiteral("app.exe")));
    if (!appFolder.isValid() || !app.open(QIODevice::WriteOnly) || app.write("program") != 7) {
        std::fprintf(stderr, "cannot create the program stand-in\n");
        return 1;
    }
    app.close();
    qputenv("PROGRAMDATA", QDir(programData).absolutePath().toUtf8());

    UpdateEngine engine;
    engine.setUpdateInfo(app.fileName(), QStringLiteral("2.0"), url);
    int result = 1;
    int reconnections = 0;
    QObject::connect(&engine, &UpdateEngine::reconnecting, [&reconnections] { ++reconnections; });
    QObject::connect(&engine, &UpdateEngine::readyToInstall, [&] {
        std::printf("engine: %.3f s (transfer %.3f s, write %.3f s), peak RSS %lld KiB\n",
                    downloadTimer.nsecsElapsed() / 1e9, receivedAtNs / 1e9, (savedAtNs - receivedAtNs) / 1e9,
                    peakResidentKiB());
        std::printf("reconnections %d\n", reconnections);
        result = 0;
        QCoreApplication::quit();
    });
    QObject::connect(&engine, &UpdateEngine::errorOccurred, [](const QString &error) {
        std::fprintf(stderr, "download failed: %s\n", qPrintable(error));
        QCoreApplication::quit();
    });
    qInstallMessageHandler(timeEngineSteps);
    downloadTimer.start();
    engine.startDownload();
    QCoreApplication::exec();
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if ((args.size() == 3 || (args.size() == 4 && args[3] == QLatin1String("cut"))) &&
        args[1] == QLatin1String("serve"))
        return serve(args[2], args.size() == 4);
    if (args.size() == 4 && args[1] == QLatin1String("fetch"))
        return fetch(args[2], args[3]);
    std::fprintf(stderr, "usage: download_bench serve <file> [cut] | fetch <url> <program-data>\n");
    return 2;
}
