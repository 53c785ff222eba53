#include "PackageServer.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>

namespace {

constexpr qint64 ChunkBytes = 1 << 20;
// Keeps the socket busy without buffering much of the file in memory.
constexpr qint64 QueuedBytes = 4 * ChunkBytes;

void sendMore(QTcpSocket *socket, QFile *file)
{
    while (socket->bytesToWrite() < QueuedBytes && !file->atEnd())
        socket->write(file->read(ChunkBytes));
    if (file->atEnd() && socket->bytesToWrite() == 0)
        socket->disconnectFromHost();
}

} // namespace

PackageServer::PackageServer(const QString &filePath, QObject *parent) : QObject(parent), filePath(filePath)
{
    connect(&server, &QTcpServer::newConnection, this, &PackageServer::acceptConnections);
}

bool PackageServer::listen()
{
    return server.listen(QHostAddress::LocalHost);
}

quint16 PackageServer::port() const
{
    return server.serverPort();
}

void PackageServer::acceptConnections()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            if (socket->peek(socket->bytesAvailable()).contains("\r\n\r\n")) {
                disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
                socket->readAll();
                answer(socket);
            }
        });
    }
}

void PackageServer::answer(QTcpSocket *socket)
{
    auto *file = new QFile(filePath, socket);
    if (!file->open(QIODevice::ReadOnly)) {
        socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    socket->write(
        "HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\nConnection: close\r\nContent-Length: " +
        QByteArray::number(file->size()) + "\r\n\r\n");
    connect(socket, &QTcpSocket::bytesWritten, socket, [socket, file] { sendMore(socket, file); });
    sendMore(socket, file);
}
