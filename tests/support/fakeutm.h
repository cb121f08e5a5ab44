#pragma once

#include "tests/support/fakeparvisserver.h"

#include <QObject>
#include <QString>

#include <memory>

namespace Orv::Test {

// One part of a multipart/form-data upload.
struct FakeUtmPart
{
    QList<QPair<QByteArray, QByteArray>> headers; // in the order sent
    QByteArray body;

    QByteArray header(const QByteArray &name) const;
};

struct FakeUtmRequest : FakeRequest
{
    QList<FakeUtmPart> parts; // filled for multipart/form-data bodies
};

// What the four identity pages of a scripted УТМ tell.
struct FakeUtmIdentity
{
    QString fsrarId = QStringLiteral("030000123456");
    QString version = QStringLiteral("4.2.0");
    QString inn = QStringLiteral("7701234567");
    QString kpp = QStringLiteral("770101001");
    QString rsaExpireDate = QStringLiteral("2027-03-01 10:00:00 +0300");
    QString gostExpireDate = QStringLiteral("2026-11-15 00:00:00 +0300");
};

// A УТМ stand-in on 127.0.0.1 and a free port, over the scriptable fake HTTP server: answers
// per method and path (see FakeAnswer for delays, silence and cut-off answers), 404 otherwise.
// Every request is recorded, an upload with its parts.
class FakeUtm : public QObject
{
    Q_OBJECT

public:
    explicit FakeUtm(QObject *parent = nullptr);
    ~FakeUtm() override;

    QString baseUrl() const { return m_baseUrl; } // no trailing slash

    void answer(const QByteArray &method, const QString &path, const FakeAnswer &answer);
    void answer(const QByteArray &method, const QString &path, int status, const QByteArray &body,
                const QByteArray &contentType = "application/xml");
    void serveIdentity(const FakeUtmIdentity &identity = {});
    // Stops listening and drops every connection: afterwards the address refuses.
    void shutDown();

    QList<FakeUtmRequest> requests() const { return m_requests; }
    qint64 floodedBytes() const { return m_server->floodedBytes(); }
    QList<FakeUtmRequest> requestsTo(const QString &path) const
    {
        return requestsWithPath(m_requests, path);
    }

    static QByteArray diagnosisPage(const QString &cn);

signals:
    void requestReceived();

private:
    std::unique_ptr<FakeParvisServer> m_server;
    QString m_baseUrl;
    QList<FakeUtmRequest> m_requests;
};

} // namespace Orv::Test
