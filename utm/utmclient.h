#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QNetworkReply;
class QNetworkRequest;

namespace Orv {

// What every УТМ request hands to its callback.
struct UtmResponse
{
    int status = 0; // 0: no complete HTTP answer came, or it was refused for its size
    QByteArray body;
    QString contentType; // the whole Content-Type value; empty when there is none
    QString error;       // why `status` is 0; empty otherwise
};

using UtmCallback = std::function<void(const UtmResponse &)>;

// The way to one УТМ. Every call ends in exactly one callback, also on time-out and abort;
// paths begin with a slash and may carry a query.
class IUtmClient
{
public:
    virtual ~IUtmClient() = default;
    virtual QString baseUrl() const = 0; // without trailing slashes
    virtual void get(const QString &path, int timeoutMs, UtmCallback callback) = 0;
    // Uploads `xml` as the one form-data part "xml_file" under `fileName`.
    virtual void postXml(const QString &path, const QByteArray &xml, const QString &fileName,
                         int timeoutMs, UtmCallback callback) = 0;
    virtual void deleteResource(const QString &path, int timeoutMs, UtmCallback callback) = 0;
    // Ends every request in flight; their callbacks run before this returns.
    virtual void abortAll() {}
};

// Plain HTTP to a УТМ: no headers of its own, redirects handed back unfollowed, one time-out per
// request and at most 15 MiB accepted. Destruction aborts what is in flight.
class UtmHttpClient : public QObject, public IUtmClient
{
    Q_OBJECT

public:
    explicit UtmHttpClient(const QString &baseUrl, QObject *parent = nullptr);
    ~UtmHttpClient() override;

    QString baseUrl() const override;
    void get(const QString &path, int timeoutMs, UtmCallback callback) override;
    void postXml(const QString &path, const QByteArray &xml, const QString &fileName, int timeoutMs,
                 UtmCallback callback) override;
    void deleteResource(const QString &path, int timeoutMs, UtmCallback callback) override;
    void abortAll() override;

    static constexpr qint64 kMaxAnswerBytes = 0xF00000; // 15 MiB

private:
    QNetworkRequest makeRequest(const QString &path) const;
    bool refusedWhileClosing(const UtmCallback &callback) const;
    void track(QNetworkReply *reply, int timeoutMs, UtmCallback callback);
    void onRequestTimeout(QNetworkReply *reply);
    void onReplyFinished(QNetworkReply *reply, bool oversized, const UtmCallback &callback);

    QString m_baseUrl;
    QNetworkAccessManager m_network;
    QList<QPointer<QNetworkReply>> m_inFlight;
    bool m_closing = false;
};

} // namespace Orv
