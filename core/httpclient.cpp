#include "core/httpclient.h"

#include "core/util.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace Orv {

// The network layer also reports an error for a complete 4xx/5xx answer (mapped from its status)
// and for a 3xx it refused to follow; such an answer is whole and keeps its status. Any other
// error means the transfer broke off (time-out, abort, lost connection), and a status line that
// had already arrived must not make the remains look like a complete answer.
bool transferBrokeOff(QNetworkReply::NetworkError error, int status)
{
    if (error == QNetworkReply::NoError)
        return false;
    if (status == 0)
        return true;
    switch (error) {
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::ProtocolUnknownError:
    case QNetworkReply::ProtocolInvalidOperationError:
        return false;
    default:
        break;
    }
    const bool contentError =
        error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError;
    const bool serverError =
        error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError;
    return !contentError && !serverError;
}

QByteArray remainingBody(QNetworkReply *reply)
{
    // Asking a closed reply only makes the network layer complain.
    return reply->isOpen() ? reply->readAll() : QByteArray();
}

void abortReplies(QList<QPointer<QNetworkReply>> &inFlight)
{
    const QList<QPointer<QNetworkReply>> running = std::exchange(inFlight, {});
    for (const QPointer<QNetworkReply> &reply : running) {
        if (reply && reply->isRunning())
            reply->abort();
    }
}

void capAnswer(QNetworkReply *reply, qint64 maxBytes, const std::shared_ptr<bool> &exceeded)
{
    // Unbounded, the network layer's own thread reads on into memory until an abort queued behind
    // everything else takes effect: hundreds of MB from a fast sender.
    reply->setReadBufferSize(maxBytes + 1);
    const auto check = [reply, maxBytes, exceeded] {
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (!*exceeded && reply->isRunning() &&
            (announced > maxBytes || reply->bytesAvailable() > maxBytes)) {
            *exceeded = true;
            reply->abort();
        }
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, check);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, check);
}

HttpClient::HttpClient(const QString &baseUrl, QObject *parent)
    : QObject(parent)
    , m_baseUrl(withoutTrailingSlashes(baseUrl))
    , m_network(this)
{}

HttpClient::~HttpClient()
{
    abortAll();
}

void HttpClient::get(const QString &path, const QString &token, int timeoutMs,
                     HttpCallback callback)
{
    send("GET", path, token, {}, timeoutMs, std::move(callback));
}

void HttpClient::postJson(const QString &path, const QString &token, const QJsonObject &body,
                          int timeoutMs, HttpCallback callback)
{
    send("POST", path, token, QJsonDocument(body).toJson(QJsonDocument::Compact), timeoutMs,
         std::move(callback));
}

void HttpClient::abortAll()
{
    abortReplies(m_inFlight);
}

void HttpClient::send(const QByteArray &verb, const QString &path, const QString &token,
                      const QByteArray &body, int timeoutMs, HttpCallback callback)
{
    QNetworkRequest request(QUrl(m_baseUrl + path, QUrl::TolerantMode));
    request.setRawHeader("Accept", "application/json");
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    if (!body.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
    // Our own timer bounds each request; the layer's transfer time-out would race with it.
    request.setTransferTimeout(0);
    // Each redirect is judged before it is followed: the layer's own policy would carry the
    // token, and a 307 the body, to any other host.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);

    QNetworkReply *reply = m_network.sendCustomRequest(request, verb, body);
    m_inFlight.append(reply);

    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, reply, [this, reply] { onRequestTimeout(reply); });
    timer->start(timeoutMs);

    auto oversized = std::make_shared<bool>(false);
    capAnswer(reply, kMaxAnswerBytes, oversized);
    auto refusedOrigin = std::make_shared<QString>();
    connect(reply, &QNetworkReply::redirected, reply,
            [this, reply, refusedOrigin](const QUrl &target) {
                onRedirected(reply, target, refusedOrigin.get());
            });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, timer, oversized, refusedOrigin, callback = std::move(callback)] {
                onReplyFinished(reply, timer, *oversized, *refusedOrigin, callback);
            });
}

void HttpClient::onRedirected(QNetworkReply *reply, const QUrl &target, QString *refusedOrigin)
{
    const QUrl origin = reply->request().url();
    const auto port = [](const QUrl &url) {
        return url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
    };
    if (target.scheme() == origin.scheme() && target.host() == origin.host() &&
        port(target) == port(origin)) {
        emit reply->redirectAllowed();
        return;
    }
    *refusedOrigin = target.toString(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery |
                                     QUrl::RemoveFragment);
    reply->abort();
}

void HttpClient::onRequestTimeout(QNetworkReply *reply)
{
    logItems(Warn, QStringLiteral("таймаут запроса, обрываем:"),
             reply->url().path(QUrl::FullyDecoded));
    reply->abort();
}

void HttpClient::onReplyFinished(QNetworkReply *reply, QTimer *timer, bool oversized,
                                 const QString &refusedOrigin, const HttpCallback &callback)
{
    // The reply lives on until the event loop deletes it; a tick in between must not abort a
    // finished exchange or log a time-out that never happened.
    timer->stop();
    disconnect(reply, nullptr, this, nullptr);
    m_inFlight.removeIf([reply](const QPointer<QNetworkReply> &p) { return p == reply || !p; });

    HttpResponse response;
    if (!refusedOrigin.isEmpty()) {
        response.error =
            QStringLiteral(
                "Сервер перенаправил запрос на чужой адрес (%1), туда агент не обращается")
                .arg(shortened(refusedOrigin));
    } else if (oversized) {
        response.error = QStringLiteral("Ответ сервера больше %1 МБ — агент его не принимает")
                             .arg(kMaxAnswerBytes / (1024 * 1024));
    } else {
        response.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        response.body = remainingBody(reply);
        if (transferBrokeOff(reply->error(), response.status))
            response.status = 0;
        if (response.status == 0)
            response.error = reply->errorString();
    }
    reply->deleteLater();

    // Last, because the callback may destroy this client.
    callback(response);
}

} // namespace Orv
