#include "utm/utmclient.h"

#include "core/httpclient.h"
#include "core/util.h"

#include <QHttpMultiPart>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace Orv {
namespace {

// The file name comes from the server; a quote or a line break in it must not end the part
// header early or add one of its own. Percent-escaping them is what browsers do for form-data.
QString quotedFileName(QString name)
{
    name.replace(u'"', QStringLiteral("%22"));
    name.replace(u'\r', QStringLiteral("%0D"));
    name.replace(u'\n', QStringLiteral("%0A"));
    return name;
}

} // namespace

UtmHttpClient::UtmHttpClient(const QString &baseUrl, QObject *parent)
    : QObject(parent)
    , m_baseUrl(withoutTrailingSlashes(baseUrl))
{}

UtmHttpClient::~UtmHttpClient()
{
    // A callback run by the abort may try to send its next request; it must not reach a client
    // that is going away.
    m_closing = true;
    abortAll();
}

QString UtmHttpClient::baseUrl() const
{
    return m_baseUrl;
}

QNetworkRequest UtmHttpClient::makeRequest(const QString &path) const
{
    QNetworkRequest request(QUrl(m_baseUrl + path, QUrl::TolerantMode));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(0);
    return request;
}

void UtmHttpClient::get(const QString &path, int timeoutMs, UtmCallback callback)
{
    if (refusedWhileClosing(callback))
        return;
    track(m_network.get(makeRequest(path)), timeoutMs, std::move(callback));
}

void UtmHttpClient::deleteResource(const QString &path, int timeoutMs, UtmCallback callback)
{
    if (refusedWhileClosing(callback))
        return;
    track(m_network.deleteResource(makeRequest(path)), timeoutMs, std::move(callback));
}

void UtmHttpClient::postXml(const QString &path, const QByteArray &xml, const QString &fileName,
                            int timeoutMs, UtmCallback callback)
{
    if (refusedWhileClosing(callback))
        return;
    auto *multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    QHttpPart part;
    part.setRawHeader("Content-Disposition",
                      QStringLiteral("form-data; name=\"xml_file\"; filename=\"%1\"")
                          .arg(quotedFileName(fileName))
                          .toUtf8());
    part.setRawHeader("Content-Type", "application/xml");
    part.setBody(xml);
    multiPart->append(part);
    QNetworkReply *reply = m_network.post(makeRequest(path), multiPart);
    multiPart->setParent(reply);
    track(reply, timeoutMs, std::move(callback));
}

bool UtmHttpClient::refusedWhileClosing(const UtmCallback &callback) const
{
    if (!m_closing)
        return false;
    UtmResponse response;
    response.error = QStringLiteral("Запрос к УТМ не отправлен: адрес УТМ убирается из списка");
    callback(response);
    return true;
}

void UtmHttpClient::track(QNetworkReply *reply, int timeoutMs, UtmCallback callback)
{
    m_inFlight.append(reply);
    auto oversized = std::make_shared<bool>(false);

    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, reply, [this, reply] { onRequestTimeout(reply); });
    timer->start(timeoutMs);

    capAnswer(reply, kMaxAnswerBytes, oversized);
    connect(reply, &QNetworkReply::finished, this, [this, reply, timer, oversized, callback] {
        // The reply lives on until the event loop deletes it; its timer must not fire at it.
        timer->stop();
        onReplyFinished(reply, *oversized, callback);
    });
}

void UtmHttpClient::onRequestTimeout(QNetworkReply *reply)
{
    logItems(Warn, QStringLiteral("УТМ не ответил вовремя, обрываем:"),
             reply->url().path(QUrl::FullyDecoded));
    reply->abort();
}

void UtmHttpClient::onReplyFinished(QNetworkReply *reply, bool oversized,
                                    const UtmCallback &callback)
{
    m_inFlight.removeAll(reply);
    UtmResponse response;
    response.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    response.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toString();
    if (oversized) {
        response.status = 0;
        response.error = QStringLiteral("Ответ УТМ больше %1 МБ — агент его не передаёт")
                             .arg(kMaxAnswerBytes / (1024 * 1024));
    } else {
        if (transferBrokeOff(reply->error(), response.status))
            response.status = 0;
        if (response.status == 0)
            response.error = reply->errorString();
        else
            response.body = remainingBody(reply);
    }
    reply->deleteLater();
    callback(response);
}

void UtmHttpClient::abortAll()
{
    abortReplies(m_inFlight);
}

} // namespace Orv
