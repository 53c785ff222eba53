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
    case 206:
        return "Partial Content";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    case 416:
        return "Range Not Satisfiable";
    default:
        return "Status";
    }
}

// The value of a header of the request head, its name matched without regard to case.
QByteArray headerValue(const QByteArray &requestHead, const QByteArray &name)
{
    for (const QByteArray &line : requestHead.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

// The first byte of "bytes=<first>-", or -1 for any other form.
qint64 rangeStart(const QByteArray &range)
{
    if (!range.startsWith("bytes=") || !range.endsWith('-'))
        return -1;
    bool valid = false;
    const qint64 first = range.mid(6, range.size() - 7).toLongLong(&valid);
    return valid && first >= 0 ? first : -1;
}

// True once the answer's part has been handed to the socket; the connection then closes unless it stalls.
bool sendMoreOf(QTcpSocket *socket, QFile *file, qint64 end, bool stall)
{
    while (socket->bytesToWrite() < FileQueuedBytes && file->pos() < end)
        socket->write(file->read(qMin(FileChunkBytes, end - file->pos())));
    if (file->pos() < end || socket->bytesToWrite() > 0)
        return false;
    if (!stall)
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

LoopbackHttpServer::Response LoopbackHttpServer::cutAtEveryTenth(const QByteArray &body)
{
    Response response = ok(body);
    response.cutEvery = qMax(1, (body.size() + 9) / 10);
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

qint64 LoopbackHttpServer::bytesSent() const
{
    return sent;
}

void LoopbackHttpServer::acceptConnections()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        ++connections;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this](qint64 bytes) { sent += bytes; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void LoopbackHttpServer::readRequest(QTcpSocket *socket)
{
    // Requests are GETs without a body: the head is all there is to read.
    if (!socket->peek(socket->bytesAvailable()).contains(EndOfHead))
        return;
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    const QByteArray requestHead = socket->readAll();
    const QList<QByteArray> requestLine = requestHead.split('\r').value(0).split(' ');
    const QString path = QString::fromUtf8(requestLine.value(1).split('?').value(0));
    methodsAndPaths.append(QString::fromUtf8(requestLine.value(0)) + QLatin1Char(' ') + path);
    emit requestReceived(methodsAndPaths.last());
    Response response = routes.value(path, notFound());
    if (response.silent)
        return;
    const bool firstAnswer = answersGiven[path]++ == 0;
    auto *file = response.filePath.isEmpty() ? nullptr : new QFile(response.filePath, socket);
    if (file && !file->open(QIODevice::ReadOnly)) {
        response = notFound();
        file = nullptr;
    }
    const qint64 size = file ? file->size() : response.body.size();
    answer(socket, response, partFor(response, size, requestHead, firstAnswer), file);
}

LoopbackHttpServer::Part LoopbackHttpServer::partFor(const Response &response, qint64 size,
                                                     const QByteArray &requestHead, bool firstAnswer) const
{
    Part part;
    part.status = response.status;
    part.etag = response.etag;
    part.announced = size + response.extraAnnouncedBytes;
    part.end = size;
    const qint64 first = rangeStart(headerValue(requestHead, "range"));
    const QByteArray ifRange = headerValue(requestHead, "if-range");
    const bool sameVersion =
        ifRange.isEmpty() || ifRange == response.etag || ifRange == response.lastModified;
    if (response.status == 200 && first >= 0 && !response.ignoreRange &&
        (sameVersion || !response.resumeEtag.isEmpty())) {
        part.status = first < size ? 206 : 416;
        part.start = first < size ? qMax<qint64>(0, first - response.rangeShift) : size;
        if (!response.resumeEtag.isEmpty())
            part.etag = response.resumeEtag;
    }
    if (firstAnswer && response.bytesToSend >= 0)
        part.end = qBound(part.start, response.bytesToSend, size);
    if (response.cutEvery > 0)
        part.end = qMin(part.end, (part.start / response.cutEvery + 1) * response.cutEvery);
    part.stall = response.stall && part.end < part.announced;
    return part;
}

QByteArray LoopbackHttpServer::head(const Response &response, const Part &part)
{
    QByteArray text = "HTTP/1.1 " + QByteArray::number(part.status) + ' ' + reasonPhrase(part.status) +
                      "\r\nContent-Type: " + response.contentType + "\r\nConnection: close\r\n";
    const QByteArray announced = QByteArray::number(part.announced);
    if (response.announceLength)
        text +=
            "Content-Length: " + QByteArray::number(part.status == 416 ? 0 : part.announced - part.start) +
            "\r\n";
    if (part.status == 206)
        text += "Content-Range: bytes " + QByteArray::number(part.start) + '-' +
                QByteArray::number(part.announced - 1) + '/' + announced + "\r\n";
    if (part.status == 416)
        text += "Content-Range: bytes */" + announced + "\r\n";
    if (!response.ignoreRange)
        text += "Accept-Ranges: bytes\r\n";
    if (!part.etag.isEmpty())
        text += "ETag: " + part.etag + "\r\n";
    if (!response.lastModified.isEmpty())
        text += "Last-Modified: " + response.lastModified + "\r\n";
    if (!response.location.isEmpty())
        text += "Location: " + response.location + "\r\n";
    return text + "\r\n";
}

void LoopbackHttpServer::answer(QTcpSocket *socket, const Response &response, const Part &part, QFile *file)
{
    socket->write(head(response, part));
    if (file)
        return sendFile(socket, file, part, response.spreadOverMs);
    socket->write(response.body.mid(int(part.start), int(part.end - part.start)));
    if (!part.stall)
        socket->disconnectFromHost();
}

void LoopbackHttpServer::sendFile(QTcpSocket *socket, QFile *file, const Part &part, int spreadOverMs)
{
    file->seek(part.start);
    if (spreadOverMs > 0)
        return sendSpread(socket, file, part.end, spreadOverMs);
    const auto sendMore = [this, socket, file, part] {
        if (sendMoreOf(socket, file, part.end, part.stall) && file->atEnd())
            emit fileSent(file->fileName());
    };
    connect(socket, &QTcpSocket::bytesWritten, file, sendMore);
    sendMore();
}

void LoopbackHttpServer::sendSpread(QTcpSocket *socket, QFile *file, qint64 end, int spreadOverMs)
{
    const qint64 part = qMax<qint64>(1, (file->size() + SpreadParts - 1) / SpreadParts);
    auto *timer = new QTimer(file);
    connect(timer, &QTimer::timeout, file, [this, socket, file, timer, part, end] {
        socket->write(file->read(qMin(part, end - file->pos())));
        if (file->pos() < end)
            return;
        timer->stop();
        // Closes once the written bytes have gone out.
        socket->disconnectFromHost();
        if (file->atEnd())
            emit fileSent(file->fileName());
    });
    timer->start(spreadOverMs / SpreadParts);
}
