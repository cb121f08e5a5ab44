#pragma once

#include <QStringList>
#include <QtMessageHandler>

namespace Orv::Test {

// Collects every message of the Qt message log while it lives (nothing reaches the console),
// so tests can assert on the program's log lines. One at a time.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    // Lines whose text (after the time and level) contains `fragment`.
    QStringList matching(const QString &fragment) const;
    void clear();

private:
    QtMessageHandler m_previous;
};

} // namespace Orv::Test
