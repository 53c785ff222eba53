#pragma once

#include <QByteArray>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

// An HTTP server on 127.0.0.1 that accepts every connection, records what arrives and never answers, so
// that a download started against it simply stays in flight.
class LoopbackServer final : public QObject
{
public:
    LoopbackServer();

    QUrl url(const QString &path) const;
    int connectionCount() const { return connections; }
    // Request lines received so far, e.g. "GET /update.zip HTTP/1.1".
    QList<QByteArray> requestLines() const;

private:
    QTcpServer server;
    int connections = 0;
    QByteArray received;
};
