#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>

class QFile;
class QTcpSocket;

// A small HTTP/1.1 server for tests and benches, listening on 127.0.0.1 only, on a free port.
// Each path answers with the Response added for it; any other path gets a 404.
// Every answer ends its connection, except a stalled or silent one, which stays
// open until the client gives up or the server is destroyed.
// A request for "Range: bytes=<first>-" is answered with 206 and the rest of the body when it names no
// If-Range or one of the answer's validators, as a careful server does; other forms of Range are ignored.
class LoopbackHttpServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LoopbackHttpServer)

public:
    struct Response
    {
        int status = 200;
        QByteArray contentType = "application/octet-stream";
        QByteArray body;
        // Location header of a redirect.
        QByteArray location;
        // Without Content-Length the body ends when the connection closes.
        bool announceLength = true;
        // Announce this many bytes more than the body holds.
        qint64 extraAnnouncedBytes = 0;
        // The first answer of the path sends the body only up to this byte; -1 sends all of it.
        qint64 bytesToSend = -1;
        // Every answer ends where the body reaches the next multiple of this many bytes; 0: no cuts.
        qint64 cutEvery = 0;
        // Keep the connection open where the body was cut instead of closing it.
        bool stall = false;
        // The validators sent with every answer.
        QByteArray etag = "\"loopback-1\"";
        QByteArray lastModified;
        // Answers a range with the whole body, as a server without ranges does.
        bool ignoreRange = false;
        // When set, a range is answered with this ETag and without looking at If-Range, as a careless server
        // does when the file changed between the two requests.
        QByteArray resumeEtag;
        // A range is answered from this many bytes before the byte asked for (its Content-Range says so).
        qint64 rangeShift = 0;
        // Send nothing at all, not even the head, and keep the connection open.
        bool silent = false;
        // When set, the body is this file, streamed from disk so that a large one costs the server
        // little memory; a file that cannot be read is answered with a 404.
        QString filePath;
        // For a file: sends it in equal parts spread over this long, so that a person can watch it arrive.
        int spreadOverMs = 0;
    };

    static Response ok(const QByteArray &body);
    static Response withoutLength(const QByteArray &body);
    static Response redirect(const QUrl &target);
    static Response notFound();
    // Announces the whole body, sends its first bytes, then neither sends nor closes; later answers are
    // whole.
    static Response stallAfter(const QByteArray &body, qint64 sentBytes);
    // Announces the whole body, sends its first bytes, then closes the connection; later answers are whole.
    static Response closeAfter(const QByteArray &body, qint64 sentBytes);
    // Closes every answer's connection when the body reaches the next of ten equal parts.
    static Response cutAtEveryTenth(const QByteArray &body);
    // Sends the whole body but announces more, then closes the connection.
    static Response lengthLargerThanBody(const QByteArray &body, qint64 extraBytes);
    // Neither answers nor closes: a download from it simply stays in flight.
    static Response silence();
    // A 200 answer carrying an HTML error page of the given size instead of a package.
    static Response htmlPage(int bytes = 2048);
    // The whole file, read from disk as the client takes it, or spread over that long.
    static Response file(const QString &path, int spreadOverMs = 0);

    // Bytes of a repeating, non-uniform pattern.
    static QByteArray filler(qint64 bytes);

    explicit LoopbackHttpServer(QObject *parent = nullptr);

    bool isListening() const;
    QUrl url(const QString &path) const;
    void addRoute(const QString &path, const Response &response);
    // Connections accepted so far, whether or not they sent a request.
    int connectionCount() const;
    // Paths of the requests received so far, in order.
    QStringList requestedPaths() const;
    // The same requests with their methods, e.g. "GET /update.zip".
    QStringList requests() const;
    // Bytes handed to the network so far, heads included.
    qint64 bytesSent() const;

signals:
    // A request, as requests() lists it.
    void requestReceived(const QString &request);
    // The whole of a served file has been handed over and its connection is closing.
    void fileSent(const QString &filePath);

private:
    void acceptConnections();
    // What one answer sends of a body: its status and ETag, the length it announces, the bytes from start to
    // end, and whether the connection then stays open.
    struct Part
    {
        int status = 200;
        QByteArray etag;
        qint64 announced = 0;
        qint64 start = 0;
        qint64 end = 0;
        bool stall = false;
    };

    void readRequest(QTcpSocket *socket);
    Part partFor(const Response &response, qint64 size, const QByteArray &requestHead,
                 bool firstAnswer) const;
    static QByteArray head(const Response &response, const Part &part);
    void answer(QTcpSocket *socket, const Response &response, const Part &part, QFile *file = nullptr);
    void sendFile(QTcpSocket *socket, QFile *file, const Part &part, int spreadOverMs);
    void sendSpread(QTcpSocket *socket, QFile *file, qint64 end, int spreadOverMs);

    QTcpServer server;
    QHash<QString, Response> routes;
    QHash<QString, int> answersGiven;
    QStringList methodsAndPaths;
    int connections = 0;
    qint64 sent = 0;
};
