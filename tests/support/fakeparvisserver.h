#pragma once

#include "core/httpclient.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QQueue>
#include <QString>

class QTcpServer;
class QTcpSocket;

namespace Orv::Test {

// One request as the fake server received it.
struct FakeRequest
{
    QByteArray method;
    QString path;                         // as sent, query included
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;

    QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
    bool hasHeader(const QByteArray &name) const { return headers.contains(name.toLower()); }
    QJsonObject json() const;
};

// The requests whose path without the query equals `path`.
template<typename Request>
QList<Request> requestsWithPath(const QList<Request> &requests, const QString &path)
{
    QList<Request> found;
    for (const Request &request : requests) {
        if (request.path.section(u'?', 0, 0) == path)
            found.append(request);
    }
    return found;
}

// How the fake server answers one request.
struct FakeAnswer
{
    enum class Mode {
        Complete, // the whole answer
        Never,    // the request is read and nothing is ever sent back
        CutOff,   // status line, headers announcing the whole body, half of it, then the close
        Stall,    // as CutOff, but the connection stays open and silent
        Flood,    // headers announcing `floodBytes`, then that many as fast as the client reads
    };

    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
    QList<QPair<QByteArray, QByteArray>> headers; // further header lines, as given
    int delayMs = 0;
    Mode mode = Mode::Complete;
    qint64 floodBytes = 0;

    static FakeAnswer json(int status, const QJsonObject &body);
    static FakeAnswer raw(int status, const QByteArray &body,
                          const QByteArray &contentType = "text/plain");
    static FakeAnswer empty(int status);
    static FakeAnswer never();
    static FakeAnswer cutOff(int status, const QByteArray &body);
    static FakeAnswer stall(int status, const QByteArray &body);
    static FakeAnswer flood(qint64 bytes);
    FakeAnswer after(int ms) const;
};

// A small scriptable HTTP/1.1 server on 127.0.0.1 and a free port, standing in for the PARVIS
// API (or any JSON server) in tests. Answers are chosen by method and path without the query:
// queued answers first, one per request, then the fixed answer, else 404. Every request is
// recorded. One request per connection (each answer closes it).
class FakeParvisServer : public QObject
{
    Q_OBJECT

public:
    explicit FakeParvisServer(QObject *parent = nullptr);
    ~FakeParvisServer() override;

    // "http://127.0.0.1:<port>"
    QString baseUrl() const;

    void setAnswer(const QByteArray &method, const QString &path, const FakeAnswer &answer);
    void enqueue(const QByteArray &method, const QString &path, const FakeAnswer &answer);

    QList<FakeRequest> requests() const { return m_requests; }
    QList<FakeRequest> requestsTo(const QString &path) const
    {
        return requestsWithPath(m_requests, path);
    }
    void clearRequests() { m_requests.clear(); }
    // How much of flooding answers went out before the clients closed.
    qint64 floodedBytes() const { return m_flooded; }

signals:
    void requestArrived(const Orv::Test::FakeRequest &request);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    FakeAnswer answerFor(const FakeRequest &request);
    void respond(QTcpSocket *socket, const FakeAnswer &answer);
    void flood(QTcpSocket *socket, qint64 bytes);

    QTcpServer *m_server;
    QHash<QString, FakeAnswer> m_fixed;
    QHash<QString, QQueue<FakeAnswer>> m_queued;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<FakeRequest> m_requests;
    qint64 m_flooded = 0;
};

// The in-process counterpart of the fake server: an IHttpClient that records each call and
// completes it only when the test says so, for exact control over when answers arrive.
class FakeParvisTransport : public IHttpClient
{
public:
    struct Call
    {
        QByteArray method;
        QString path;
        QString token;
        QJsonObject body;
        int timeoutMs = 0;
        HttpCallback callback;
    };

    void get(const QString &path, const QString &token, int timeoutMs,
             HttpCallback callback) override;
    void postJson(const QString &path, const QString &token, const QJsonObject &body, int timeoutMs,
                  HttpCallback callback) override;
    // Completes every call not answered yet with status 0, as the real client does.
    void abortAll() override;

    QList<Call> calls() const { return m_calls; }
    // Completes call `index` (once; a second answer is a test error).
    void answer(int index, int status, const QByteArray &body = {}, const QString &error = {});
    void answerLast(int status, const QByteArray &body = {}, const QString &error = {});

private:
    QList<Call> m_calls;
};

} // namespace Orv::Test
