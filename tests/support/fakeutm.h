#pragma once

#include "tests/support/httprequest.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTcpServer>

namespace Orv::Test {

// One scripted answer of the fake УТМ.
struct FakeUtmAnswer
{
    enum class Kind {
        Whole,            // status line, headers and the whole body
        Silent,           // never answers; the connection stays open
        HeadersThenClose, // promises one byte more than the body, sends the body, hangs up
        HeadersThenStall, // the same, but then keeps the connection open without a word
    };

    int status = 200;
    QByteArray body;
    QByteArray contentType; // empty: no Content-Type header
    QList<QPair<QByteArray, QByteArray>> headers;
    int delayMs = 0;
    Kind kind = Kind::Whole;
};

// One part of a multipart/form-data upload.
struct FakeUtmPart
{
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QByteArray header(const QByteArray &name) const;
};

struct FakeUtmRequest : HttpRequest
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

// A УТМ stand-in on 127.0.0.1 (a free port, listening from construction on). Each test scripts
// the answers per method and path; a request without one gets 404. Every request is recorded.
class FakeUtm : public QObject
{
    Q_OBJECT

public:
    explicit FakeUtm(QObject *parent = nullptr);

    QString baseUrl() const; // http://127.0.0.1:<port>, no trailing slash

    // `target` is matched against the request's path with its query first, then without it.
    void answer(const QByteArray &method, const QByteArray &target, const FakeUtmAnswer &answer);
    void answer(const QByteArray &method, const QByteArray &target, int status,
                const QByteArray &body, const QByteArray &contentType = "application/xml");
    void serveIdentity(const FakeUtmIdentity &identity = {});

    // Stops listening and drops every connection: afterwards the port refuses.
    void shutDown();

    QList<FakeUtmRequest> requests() const { return m_requests; }
    QList<FakeUtmRequest> requestsTo(const QByteArray &path) const;

    static QByteArray diagnosisPage(const QString &cn);

signals:
    void requestReceived();

private:
    void onNewConnection();
    void serve(QTcpSocket *socket, const HttpRequest &request);
    static void reply(QTcpSocket *socket, const FakeUtmAnswer &answer);

    QTcpServer m_server;
    QHash<QByteArray, FakeUtmAnswer> m_answers; // "METHOD target"
    QList<FakeUtmRequest> m_requests;
};

} // namespace Orv::Test
