#include "LoopbackServer.h"

#include <QTcpSocket>

LoopbackServer::LoopbackServer()
{
    server.listen(QHostAddress::LocalHost);
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            ++connections;
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { received += socket->readAll(); });
        }
    });
}

QUrl LoopbackServer::url(const QString &path) const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(server.serverPort());
    url.setPath(path);
    return url;
}

QList<QByteArray> LoopbackServer::requestLines() const
{
    QList<QByteArray> lines;
    for (const QByteArray &line : received.split('\n')) {
        if (line.startsWith("GET ") || line.startsWith("POST ") || line.startsWith("HEAD "))
            lines.append(line.trimmed());
    }
    return lines;
}
