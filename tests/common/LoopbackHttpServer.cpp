#include "LoopbackHttpServer.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

namespace {

const QByteArray EndOfHead = "\r\n\r\n";
constexpr qint64 FileChunkBytes = 1 << 20;
// Keeps the socket busy without holding much of a streamed file in memory.
constexpr qint64 FileQueuedBytes = 4 * FileChunkBytes;
constexpr int SpreadParts = 50;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    default:
        return "Status";
    }
}

QByteArray head(const LoopbackHttpServer::Response &response, qint64 bodyBytes)
{
    QByteArray text = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                      reasonPhrase(response.status) + "\r\nContent-Type: " + response.contentType +
                      "\r\nConnection: close\r\n";
    if (response.announceLength)
        text += "Content-Length: " + QByteArray::number(bodyBytes + response.extraAnnouncedBytes) + "\r\n";
    if (!response.location.isEmpty())
        text += "Location: " + response.location + "\r\n";
    return text + "\r\n";
}

// True once the whole file has been handed to the socket and the connection is closing.
bool sendMoreOf(QTcpSocket *socket, QFile *file)
{
    while (socket->bytesToWrite() < FileQueuedBytes && !file->atEnd())
        socket->write(file->read(FileChunkBytes));
    if (!file->atEnd() || socket->bytesToWrite() > 0)
        return false;
    socket->disconnectFromHost();
    return true;
}

} // namespace

LoopbackHttpServer::Response LoopbackHttpServer::ok(const QByteArray &body)
{
    Response response;
    response.body = body;
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::withoutLength(const QByteArray &body)
{
    Response response = ok(body);
    response.announceLength = false;
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::redirect(const QUrl &target)
{
    Response response;
    response.status = 302;
    response.location = target.toEncoded();
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::notFound()
{
    Response response;
    response.status = 404;
    response.contentType = "text/plain";
    response.body = "not found";
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::stallAfter(const QByteArray &body, qint64 sentBytes)
{
    Response response = ok(body);
    response.bytesToSend = sentBytes;
    response.stall = true;
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::closeAfter(const QByteArray &body, qint64 sentBytes)
{
    Response response = ok(body);
    response.bytesToSend = sentBytes;
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::lengthLargerThanBody(const QByteArray &body,
                                                                      qint64 extraBytes)
{
    Response response = ok(body);
    response.extraAnnouncedBytes = extraBytes;
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::silence()
{
    Response response;
    response.silent = true;
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::htmlPage(int bytes)
{
    const QByteArray start = "<!DOCTYPE html><html><head><title>Error</title></head><body><p>";
    const QByteArray end = "</p></body></html>\n";
    Response response = ok(start + QByteArray(bytes - start.size() - end.size(), 'x') + end);
    response.contentType = "text/html; charset=utf-8";
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::file(const QString &path, int spreadOverMs)
{
    Response response;
    response.filePath = path;
    response.spreadOverMs = spreadOverMs;
    return response;
}

QByteArray LoopbackHttpServer::filler(qint64 bytes)
{
    QByteArray data(int(bytes), Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 31 + i / 251) & 0xff);
    return data;
}

LoopbackHttpServer::LoopbackHttpServer(QObject *parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &LoopbackHttpServer::acceptConnections);
    server.listen(QHostAddress::LocalHost);
}

bool LoopbackHttpServer::isListening() const
{
    return server.isListening();
}

QUrl LoopbackHttpServer::url(const QString &path) const
{
    QUrl result;
    result.setScheme(QStringLiteral("http"));
    result.setHost(QStringLiteral("127.0.0.1"));
    result.setPort(server.serverPort());
    result.setPath(path);
    return result;
}

void LoopbackHttpServer::addRoute(const QString &path, const Response &response)
{
    routes.insert(path, response);
}

int LoopbackHttpServer::connectionCount() const
{
    return connections;
}

QStringList LoopbackHttpServer::requestedPaths() const
{
    QStringList paths;
    for (const QString &request : methodsAndPaths)
        paths.append(request.section(QLatin1Char(' '), 1));
    return paths;
}

QStringList LoopbackHttpServer::requests() const
{
    return methodsAndPaths;
}

void LoopbackHttpServer::acceptConnections()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        ++connections;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void LoopbackHttpServer::readRequest(QTcpSocket *socket)
{
    // Requests are GETs without a body: the head is all there is to read.
    if (!socket->peek(socket->bytesAvailable()).contains(EndOfHead))
        return;
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    const QList<QByteArray> requestLine = socket->readAll().split('\r').value(0).split(' ');
    const QString path = QString::fromUtf8(requestLine.value(1).split('?').value(0));
    methodsAndPaths.append(QString::fromUtf8(requestLine.value(0)) + QLatin1Char(' ') + path);
    emit requestReceived(methodsAndPaths.last());
    answer(socket, routes.value(path, notFound()));
}

void LoopbackHttpServer::answer(QTcpSocket *socket, const Response &response)
{
    if (response.silent)
        return;
    if (!response.filePath.isEmpty())
        return answerWithFile(socket, response);
    socket->write(head(response, response.body.size()));
    socket->write(response.bytesToSend < 0 ? response.body : response.body.left(int(response.bytesToSend)));
    if (!response.stall)
        socket->disconnectFromHost();
}

void LoopbackHttpServer::answerWithFile(QTcpSocket *socket, const Response &response)
{
    auto *file = new QFile(response.filePath, socket);
    if (!file->open(QIODevice::ReadOnly))
        return answer(socket, notFound());
    socket->write(head(response, file->size()));
    if (response.spreadOverMs > 0)
        return sendSpread(socket, file, response.spreadOverMs);
    const auto sendMore = [this, socket, file] {
        if (sendMoreOf(socket, file))
            emit fileSent(file->fileName());
    };
    connect(socket, &QTcpSocket::bytesWritten, file, sendMore);
    sendMore();
}

void LoopbackHttpServer::sendSpread(QTcpSocket *socket, QFile *file, int spreadOverMs)
{
    const qint64 part = qMax<qint64>(1, (file->size() + SpreadParts - 1) / SpreadParts);
    auto *timer = new QTimer(file);
    connect(timer, &QTimer::timeout, file, [this, socket, file, timer, part] {
        socket->write(file->read(part));
        if (!file->atEnd())
            return;
        timer->stop();
        // Closes once the written bytes have gone out.
        socket->disconnectFromHost();
        emit fileSent(file->fileName());
    });
    timer->start(spreadOverMs / SpreadParts);
}
