#include "LoopbackHttpServer.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace {

const QByteArray EndOfHead = "\r\n\r\n";

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

QByteArray head(const LoopbackHttpServer::Response &response)
{
    QByteArray text = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                      reasonPhrase(response.status) + "\r\nContent-Type: " + response.contentType +
                      "\r\nConnection: close\r\n";
    if (response.announceLength)
        text += "Content-Length: " + QByteArray::number(response.body.size() + response.extraAnnouncedBytes) +
                "\r\n";
    if (!response.location.isEmpty())
        text += "Location: " + response.location + "\r\n";
    return text + "\r\n";
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
    answer(socket, routes.value(path, notFound()));
}

void LoopbackHttpServer::answer(QTcpSocket *socket, const Response &response)
{
    if (response.silent)
        return;
    socket->write(head(response));
    socket->write(response.bytesToSend < 0 ? response.body : response.body.left(int(response.bytesToSend)));
    if (!response.stall)
        socket->disconnectFromHost();
}
