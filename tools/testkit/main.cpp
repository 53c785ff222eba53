// The test tools for the scripts (the demo, the fault runs), so that they serve and pack as the tests do:
//   farlink-testkit serve <port file> <seconds> <file>...
//       serves each file as /<its name> on 127.0.0.1, spread over that many seconds (0: at once), writes
//       the port to the port file once listening (whole: written beside it, then renamed), prints each
//       request ("GET /<name>") and each file sent ("sent <file>"), runs until ended
//   farlink-testkit zip <folder> <zip file>
//       packs the folder as an update package comes

#include "LoopbackHttpServer.h"
#include "ZipBuilder.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>

namespace {

constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

bool writePortFile(const QString &path, int port)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(QByteArray::number(port)) > 0 && file.commit();
}

int serve(const QString &portFile, double seconds, const QStringList &files)
{
    LoopbackHttpServer server;
    for (const QString &file : files)
        server.addRoute(QLatin1Char('/') + QFileInfo(file).fileName(),
                        LoopbackHttpServer::file(file, int(seconds * 1000)));
    // The scripts follow the transfers in this log.
    QObject::connect(&server, &LoopbackHttpServer::requestReceived, [](const QString &request) {
        std::printf("%s\n", qPrintable(request));
        std::fflush(stdout);
    });
    QObject::connect(&server, &LoopbackHttpServer::fileSent, [](const QString &filePath) {
        std::printf("sent %s\n", qPrintable(filePath));
        std::fflush(stdout);
    });
    if (!server.isListening() || !writePortFile(portFile, server.url(QString()).port())) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1 or write %s\n", qPrintable(portFile));
        return ExitFailed;
    }
    return QCoreApplication::exec();
}

int zip(const QString &folder, const QString &zipPath)
{
    QString error;
    if (zipFolder(folder, zipPath, error))
        return 0;
    std::fprintf(stderr, "cannot pack %s: %s\n", qPrintable(folder), qPrintable(error));
    return ExitFailed;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    bool secondsRead = false;
    const double seconds = args.value(3).toDouble(&secondsRead);
    if (args.size() >= 5 && args[1] == QLatin1String("serve") && secondsRead && seconds >= 0)
        return serve(args[2], seconds, args.mid(4));
    if (args.size() == 4 && args[1] == QLatin1String("zip"))
        return zip(args[2], args[3]);
    std::fprintf(stderr,
                 "usage: farlink-testkit serve <port file> <seconds> <file>... | zip <folder> <zip file>\n");
    return ExitUsage;
}
