#include "tests/support/fakeutm.h"

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

QList<FakeUtmPart> parseMultipart(const FakeRequest &request)
{
    const QByteArray type = request.header("Content-Type");
    const qsizetype at = type.indexOf("boundary=");
    if (!type.startsWith("multipart/form-data") || at < 0)
        return {};
    QByteArray boundary = type.mid(at + 9).trimmed();
    if (boundary.size() >= 2 && boundary.startsWith('"') && boundary.endsWith('"'))
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
    , m_server(std::make_unique<FakeParvisServer>())
    , m_baseUrl(m_server->baseUrl())
{
    connect(m_server.get(), &FakeParvisServer::requestArrived, this,
            [this](const FakeRequest &request) {
                FakeUtmRequest recorded;
                static_cast<FakeRequest &>(recorded) = request;
                recorded.parts = parseMultipart(request);
                m_requests.append(recorded);
                emit requestReceived();
            });
}

FakeUtm::~FakeUtm() = default;

void FakeUtm::answer(const QByteArray &method, const QString &path, const FakeAnswer &answer)
{
    if (m_server)
        m_server->setAnswer(method, path, answer);
}

void FakeUtm::answer(const QByteArray &method, const QString &path, int status,
                     const QByteArray &body, const QByteArray &contentType)
{
    answer(method, path, FakeAnswer::raw(status, body, contentType));
}

void FakeUtm::serveIdentity(const FakeUtmIdentity &identity)
{
    answer("GET", QStringLiteral("/diagnosis"), 200, diagnosisPage(identity.fsrarId));
    answer("GET", QStringLiteral("/info/version"), 200, identity.version.toUtf8(), "text/plain");
    answer("GET", QStringLiteral("/api/info/list"), 200,
           QStringLiteral(R"({"rsa":{"expireDate":"%1"},"gost":{"expireDate":"%2"}})")
               .arg(identity.rsaExpireDate, identity.gostExpireDate)
               .toUtf8(),
           "application/json");
    answer("GET", QStringLiteral("/api/rsa"), 200,
           QStringLiteral(R"({"rows":[{"Owner_ID":"%1","INN":"%2","KPP":"%3"}]})")
               .arg(identity.fsrarId, identity.inn, identity.kpp)
               .toUtf8(),
           "application/json");
}

void FakeUtm::shutDown()
{
    m_server.reset();
}

QByteArray FakeUtm::diagnosisPage(const QString &cn)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<A><url>utm</url><CERTIFICATE><Type>RSA</Type><CN>%1</CN>"
                          "<expireDate>2027-03-01</expireDate></CERTIFICATE></A>")
        .arg(cn)
        .toUtf8();
}

} // namespace Orv::Test
