#pragma once

#include <QObject>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

// Serves one file to every GET on 127.0.0.1, streamed from disk so that the server's
// own memory stays small whatever the file's size.
class PackageServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PackageServer)

public:
    explicit PackageServer(const QString &filePath, QObject *parent = nullptr);

    bool listen();
    quint16 port() const;

private:
    void acceptConnections();
    void answer(QTcpSocket *socket);

    QTcpServer server;
    QString filePath;
};
