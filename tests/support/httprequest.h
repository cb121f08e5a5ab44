#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

namespace Orv::Test {

// One HTTP/1.1 request as a loopback fake received it.
struct HttpRequest
{
    QByteArray method;
    QByteArray target; // as sent: path with its query
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QByteArray path() const; // target without the query
    // The first header of that name (case-insensitive), trimmed; empty when absent.
    QByteArray header(const QByteArray &name) const;
};

// Splits the byte stream of one keep-alive connection into requests. Bodies are framed by
// Content-Length only: the network layer under test never sends chunked requests.
class HttpRequestParser
{
public:
    void append(const QByteArray &bytes);
    // Removes the next complete request from the buffer into `request`; false while incomplete.
    bool next(HttpRequest *request);
    // The stream cannot be read as HTTP (the connection should be dropped).
    bool failed() const { return m_failed; }

private:
    QByteArray m_buffer;
    bool m_failed = false;
};

} // namespace Orv::Test
