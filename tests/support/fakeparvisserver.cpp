#include "tests/support/fakeparvisserver.h"

#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace Orv::Test {
namespace {

QString routeKey(const QByteArray &method, const QString &path)
{
    return QString::fromLatin1(method) + u' ' + path.section(u'?', 0, 0);
}

} // namespace

QJsonObject FakeRequest::json() const
{
    return QJsonDocument::fromJson(body).object();
}

FakeAnswer FakeAnswer::json(int status, const QJsonObject &body)
{
    return raw(status, QJsonDocument(body).toJson(QJsonDocument::Compact), "application/json");
}

FakeAnswer FakeAnswer::raw(int status, const QByteArray &body, const QByteArray &contentType)
{
    FakeAnswer answer;
    answer.status = status;
    answer.body = body;
    answer.contentType = contentType;
    return answer;
}

FakeAnswer FakeAnswer::empty(int status)
{
    return raw(status, {}, {});
}

FakeAnswer FakeAnswer::never()
{
    FakeAnswer answer;
    answer.mode = Mode::Never;
    return answer;
}

FakeAnswer FakeAnswer::cutOff(int status, const QByteArray &body)
{
    FakeAnswer answer = raw(status, body, "application/json");
    answer.mode = Mode::CutOff;
    return answer;
}

FakeAnswer FakeAnswer::stall(int status, const QByteArray &body)
{
    FakeAnswer answer = cutOff(status, body);
    answer.mode = Mode::Stall;
    return answer;
}

FakeAnswer FakeAnswer::flood(qint64 bytes)
{
    FakeAnswer answer = raw(200, {}, "application/octet-stream");
    answer.mode = Mode::Flood;
    answer.floodBytes = bytes;
    return answer;
}

FakeAnswer FakeAnswer::after(int ms) const
{
    FakeAnswer answer = *this;
    answer.delayMs = ms;
    return answer;
}

FakeParvisServer::FakeParvisServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &FakeParvisServer::onNewConnection);
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        qFatal("fake server cannot listen: %s", qPrintable(m_server->errorString()));
}

FakeParvisServer::~FakeParvisServer() = default;

QString FakeParvisServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server->serverPort());
}

void FakeParvisServer::setAnswer(const QByteArray &method, const QString &path,
                                 const FakeAnswer &answer)
{
    m_fixed.insert(routeKey(method, path), answer);
}

void FakeParvisServer::enqueue(const QByteArray &method, const QString &path,
                               const FakeAnswer &answer)
{
    m_queued[routeKey(method, path)].enqueue(answer);
}

void FakeParvisServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_buffers.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void FakeParvisServer::onReadyRead(QTcpSocket *socket)
{
    if (!m_buffers.contains(socket)) {
        socket->readAll(); // one request per connection; anything after it is ignored
        return;
    }
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;

    FakeRequest request;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.path = QString::fromLatin1(requestLine.value(1));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
    }
    const qsizetype length = request.header("Content-Length").toLongLong();
    if (buffer.size() < headerEnd + 4 + length)
        return;
    request.body = buffer.mid(headerEnd + 4, length);
    m_buffers.remove(socket);

    m_requests.append(request);
    const FakeAnswer answer = answerFor(request);
    emit requestArrived(request);
    if (answer.mode == FakeAnswer::Mode::Never)
        return;
    if (answer.delayMs > 0)
        QTimer::singleShot(answer.delayMs, socket,
                           [this, socket, answer] { respond(socket, answer); });
    else
        respond(socket, answer);
}

FakeAnswer FakeParvisServer::answerFor(const FakeRequest &request)
{
    const QString key = routeKey(request.method, request.path);
    auto queued = m_queued.find(key);
    if (queued != m_queued.end() && !queued->isEmpty())
        return queued->dequeue();
    return m_fixed.value(key, FakeAnswer::json(404, {{"error", "нет такого пути"}}));
}

void FakeParvisServer::respond(QTcpSocket *socket, const FakeAnswer &answer)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " Fake\r\n";
    if (!answer.contentType.isEmpty())
        head += "Content-Type: " + answer.contentType + "\r\n";
    for (const auto &header : answer.headers)
        head += header.first + ": " + header.second + "\r\n";
    const bool flooding = answer.mode == FakeAnswer::Mode::Flood;
    head +=
        "Content-Length: " + QByteArray::number(flooding ? answer.floodBytes : answer.body.size()) +
        "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);
    if (flooding) {
        flood(socket, answer.floodBytes);
    } else if (answer.mode == FakeAnswer::Mode::Complete) {
        socket->write(answer.body);
    } else {
        socket->write(answer.body.left(answer.body.size() / 2));
        if (answer.mode == FakeAnswer::Mode::Stall)
            return;
    }
    socket->disconnectFromHost();
}

// A mebibyte at a time, each as soon as the one before is on its way, so that what went out
// shows how much the client let in before it closed.
void FakeParvisServer::flood(QTcpSocket *socket, qint64 bytes)
{
    static const QByteArray chunk(1 << 20, 'x');
    const auto left = std::make_shared<qint64>(bytes);
    const auto pump = [this, socket, left] {
        while (*left > 0 && socket->state() == QAbstractSocket::ConnectedState &&
               socket->bytesToWrite() < chunk.size()) {
            const qint64 size = qMin<qint64>(*left, chunk.size());
            socket->write(chunk.constData(), size);
            *left -= size;
            m_flooded += size;
        }
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, pump);
    pump();
}

void FakeParvisTransport::get(const QString &path, const QString &token, int timeoutMs,
                              HttpCallback callback)
{
    m_calls.append({"GET", path, token, {}, timeoutMs, std::move(callback)});
}

void FakeParvisTransport::postJson(const QString &path, const QString &token,
                                   const QJsonObject &body, int timeoutMs, HttpCallback callback)
{
    m_calls.append({"POST", path, token, body, timeoutMs, std::move(callback)});
}

void FakeParvisTransport::abortAll()
{
    // Calls made by the callbacks themselves are not aborted, as with the real client.
    const int count = int(m_calls.size());
    for (int i = 0; i < count; ++i) {
        if (m_calls[i].callback)
            answer(i, 0, {}, QStringLiteral("Operation canceled"));
    }
}

void FakeParvisTransport::answer(int index, int status, const QByteArray &body,
                                 const QString &error)
{
    const HttpCallback callback = std::exchange(m_calls[index].callback, nullptr);
    if (!callback)
        qFatal("fake transport: call %d answered twice", index);
    callback({status, body, error});
}

void FakeParvisTransport::answerLast(int status, const QByteArray &body, const QString &error)
{
    answer(int(m_calls.size()) - 1, status, body, error);
}

} // namespace Orv::Test
