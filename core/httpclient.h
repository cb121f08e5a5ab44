#pragma once

#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QTimer;
class QUrl;

namespace Orv {

// What one HTTP exchange gave. `status` is 0 when no complete HTTP answer came (no connection,
// time-out, abort, or the transfer broke off); `error` is filled only then.
struct HttpResponse
{
    int status = 0;
    QByteArray body;
    QString error;
};

using HttpCallback = std::function<void(const HttpResponse &)>;

// Whether a reply that finished with `error` and carries the HTTP `status` (0 for none) broke off
// instead of bringing a whole answer; such a reply reports status 0. Both HTTP clients judge so.
bool transferBrokeOff(QNetworkReply::NetworkError error, int status);
// Everything still readable from a finished reply; empty for an aborted one, which is closed.
QByteArray remainingBody(QNetworkReply *reply);

// Empties `inFlight` and aborts each of its replies that still runs; their callbacks run before it
// returns. What `abortAll` does in both HTTP clients.
void abortReplies(QList<QPointer<QNetworkReply>> &inFlight);

// Aborts `reply` and sets `*exceeded` as soon as its answer is known to be larger than `maxBytes`,
// by the length it announces or by what arrived; the network layer reads no further than one byte
// past the cap meanwhile. Both HTTP clients cap their answers so.
void capAnswer(QNetworkReply *reply, qint64 maxBytes, const std::shared_ptr<bool> &exceeded);

// JSON transport towards one server. Each call is one exchange whose callback runs exactly once:
// from the event loop, or synchronously inside abortAll and the implementation's destructor.
// An empty token sends no authorisation. Neither the token nor a body ever goes to another origin
// than the server's: a redirect elsewhere ends the exchange as a transport failure.
class IHttpClient
{
public:
    virtual ~IHttpClient() = default;
    virtual void get(const QString &path, const QString &token, int timeoutMs,
                     HttpCallback callback) = 0;
    virtual void postJson(const QString &path, const QString &token, const QJsonObject &body,
                          int timeoutMs, HttpCallback callback) = 0;
    // Ends every request in flight; their callbacks run before it returns.
    virtual void abortAll() {}
};

// IHttpClient over QNetworkAccessManager: paths are appended to the base address, each request
// has its own single-shot time-out, and destroying the client aborts what is still running.
class HttpClient : public QObject, public IHttpClient
{
    Q_OBJECT

public:
    explicit HttpClient(const QString &baseUrl, QObject *parent = nullptr);
    ~HttpClient() override;

    void get(const QString &path, const QString &token, int timeoutMs,
             HttpCallback callback) override;
    void postJson(const QString &path, const QString &token, const QJsonObject &body, int timeoutMs,
                  HttpCallback callback) override;
    void abortAll() override;

    // Far above any task the server sends, documents of tens of MB included.
    static constexpr qint64 kMaxAnswerBytes = 256 * 1024 * 1024;

private:
    void send(const QByteArray &verb, const QString &path, const QString &token,
              const QByteArray &body, int timeoutMs, HttpCallback callback);
    void onRequestTimeout(QNetworkReply *reply);
    void onRedirected(QNetworkReply *reply, const QUrl &target, QString *refusedOrigin);
    // `refusedOrigin`: where a refused redirect pointed, else empty.
    void onReplyFinished(QNetworkReply *reply, QTimer *timer, bool oversized,
                         const QString &refusedOrigin, const HttpCallback &callback);

    QString m_baseUrl;
    QNetworkAccessManager m_network;
    QList<QPointer<QNetworkReply>> m_inFlight;
};

} // namespace Orv
