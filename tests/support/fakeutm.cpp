#include "tests/support/fakeutm.h"

#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace Orv::Test {
namespace {

QList<QPair<QByteArray, QByteArray>> parseHeaderLines(const QByteArray &block)
{
    QList<QPair<QByteArray, QByteArray>> headers;
    for (const QByteArray &line : block.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    return headers;
}

QList<FakeUtmPart> parseMultipart(const HttpRequest &request)
{
    const QByteArray type = request.header("Content-Type");
    const qsizetype at = type.indexOf("boundary=");
    if (!type.startsWith("multipart/form-data") || at < 0)
        return {};
    QByteArray boundary = type.mid(at + 9).trimmed();
    if (boundary.startsWith('"') && boundary.endsWith('"') && boundary.size() >= 2)
        boundary = boundary.mid(1, boundary.size() - 2);
    const QByteArray delimiter = "--" + boundary;
    QList<FakeUtmPart> parts;
    qsizetype from = request.body.indexOf(delimiter);
    while (from >= 0) {
        from += delimiter.size();
        if (request.body.mid(from, 2) == "--")
            break;
        const qsizetype to = request.body.indexOf("\r\n" + delimiter, from);
        if (to < 0)
            break;
        const QByteArray chunk = request.body.mid(from + 2, to - from - 2); // after its CRLF
        const qsizetype headEnd = chunk.indexOf("\r\n\r\n");
        FakeUtmPart part;
        part.headers = parseHeaderLines(chunk.left(qMax<qsizetype>(headEnd, 0)));
        part.body = headEnd < 0 ? QByteArray() : chunk.mid(headEnd + 4);
        parts.append(part);
        from = to + 2;
    }
    return parts;
}

} // namespace

QByteArray FakeUtmPart::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

FakeUtm::FakeUtm(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeUtm::onNewConnection);
    m_server.listen(QHostAddress::LocalHost, 0);
}

QString FakeUtm::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
}

void FakeUtm::answer(const QByteArray &method, const QByteArray &target,
                     const FakeUtmAnswer &answer)
{
    m_answers.insert(method + ' ' + target, answer);
}

void FakeUtm::answer(const QByteArray &method, const QByteArray &target, int status,
                     const QByteArray &body, const QByteArray &contentType)
{
    FakeUtmAnswer scripted;
    scripted.status = status;
    scripted.body = body;
    scripted.contentType = contentType;
    answer(method, target, scripted);
}

void FakeUtm::serveIdentity(const FakeUtmIdentity &identity)
{
    answer("GET", "/diagnosis", 200, diagnosisPage(identity.fsrarId));
    answer("GET", "/info/version", 200, identity.version.toUtf8(), "text/plain");
    answer("GET", "/api/info/list", 200,
           QStringLiteral(R"({"rsa":{"expireDate":"%1"},"gost":{"expireDate":"%2"}})")
               .arg(identity.rsaExpireDate, identity.gostExpireDate)
               .toUtf8(),
           "application/json");
    answer("GET", "/api/rsa", 200,
           QStringLiteral(R"({"rows":[{"Owner_ID":"%1","INN":"%2","KPP":"%3"}]})")
               .arg(identity.fsrarId, identity.inn, identity.kpp)
               .toUtf8(),
           "application/json");
}

void FakeUtm::shutDown()
{
    m_server.close();
    for (QTcpSocket *socket : m_server.findChildren<QTcpSocket *>())
        socket->abort();
}

QList<FakeUtmRequest> FakeUtm::requestsTo(const QByteArray &path) const
{
    QList<FakeUtmRequest> found;
    for (const FakeUtmRequest &request : m_requests) {
        if (request.path() == path)
            found.append(request);
    }
    return found;
}

QByteArray FakeUtm::diagnosisPage(const QString &cn)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<A><url>utm</url><CERTIFICATE><Type>RSA</Type><CN>%1</CN>"
                          "<expireDate>2027-03-01</expireDate></CERTIFICATE></A>")
        .arg(cn)
        .toUtf8();
}

void FakeUtm::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        auto parser = std::make_shared<HttpRequestParser>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, parser] {
            parser->append(socket->readAll());
            HttpRequest request;
            while (parser->next(&request))
                serve(socket, request);
            if (parser->failed())
                socket->abort();
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void FakeUtm::serve(QTcpSocket *socket, const HttpRequest &request)
{
    FakeUtmRequest recorded;
    static_cast<HttpRequest &>(recorded) = request;
    recorded.parts = parseMultipart(request);
    m_requests.append(recorded);

    FakeUtmAnswer scripted;
    scripted.status = 404;
    auto found = m_answers.constFind(request.method + ' ' + request.target);
    if (found == m_answers.constEnd())
        found = m_answers.constFind(request.method + ' ' + request.path());
    if (found != m_answers.constEnd())
        scripted = *found;

    if (scripted.delayMs > 0)
        QTimer::singleShot(scripted.delayMs, socket,
                           [socket, scripted] { reply(socket, scripted); });
    else
        reply(socket, scripted);
    emit requestReceived();
}

void FakeUtm::reply(QTcpSocket *socket, const FakeUtmAnswer &answer)
{
    using Kind = FakeUtmAnswer::Kind;
    if (answer.kind == Kind::Silent)
        return;
    const bool cut = answer.kind != Kind::Whole;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " Scripted\r\n";
    if (!answer.contentType.isEmpty())
        head += "Content-Type: " + answer.contentType + "\r\n";
    for (const auto &h : answer.headers)
        head += h.first + ": " + h.second + "\r\n";
    head += "Content-Length: " + QByteArray::number(answer.body.size() + (cut ? 1 : 0)) + "\r\n";
    socket->write(head + "\r\n");
    socket->write(answer.body);
    if (answer.kind == Kind::HeadersThenClose)
        socket->disconnectFromHost();
}

} // namespace Orv::Test
