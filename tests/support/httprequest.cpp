#include "tests/support/httprequest.h"

namespace Orv::Test {

QByteArray HttpRequest::path() const
{
    const qsizetype query = target.indexOf('?');
    return query < 0 ? target : target.left(query);
}

QByteArray HttpRequest::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

void HttpRequestParser::append(const QByteArray &bytes)
{
    m_buffer += bytes;
}

bool HttpRequestParser::next(HttpRequest *request)
{
    if (m_failed)
        return false;
    const qsizetype headEnd = m_buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return false;
    const QList<QByteArray> lines = m_buffer.left(headEnd).split('\n');
    const QList<QByteArray> start = lines.first().trimmed().split(' ');
    if (start.size() != 3 || !start[2].startsWith("HTTP/1.")) {
        m_failed = true;
        return false;
    }
    HttpRequest parsed;
    parsed.method = start[0];
    parsed.target = start[1];
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon <= 0) {
            m_failed = true;
            return false;
        }
        parsed.headers.append({lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
    }
    bool ok = true;
    const QByteArray lengthText = parsed.header("Content-Length");
    const qsizetype length = lengthText.isEmpty() ? 0 : lengthText.toLongLong(&ok);
    if (!ok || length < 0) {
        m_failed = true;
        return false;
    }
    const qsizetype bodyStart = headEnd + 4;
    if (m_buffer.size() - bodyStart < length)
        return false;
    parsed.body = m_buffer.mid(bodyStart, length);
    m_buffer.remove(0, bodyStart + length);
    *request = parsed;
    return true;
}

} // namespace Orv::Test
