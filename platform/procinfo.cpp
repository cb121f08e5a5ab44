#include "platform/procinfo.h"

#include <QList>
#include <QtNumeric>

#include <optional>

namespace Orv {
namespace {

// The value after "name:" on the first line that has that name.
std::optional<QByteArray> fieldOf(const QByteArray &text, const QByteArray &name)
{
    for (const QByteArray &line : text.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed() == name)
            return line.mid(colon + 1).trimmed();
    }
    return std::nullopt;
}

std::optional<qint64> kibibytesAsBytes(const std::optional<QByteArray> &field)
{
    if (!field)
        return std::nullopt;
    const QList<QByteArray> parts = field->simplified().split(' ');
    bool ok = false;
    const qint64 kib = parts.value(0).toLongLong(&ok);
    qint64 bytes = 0;
    if (!ok || kib < 0 || parts.size() != 2 || parts[1] != "kB" ||
        qMulOverflow(kib, 1024LL, &bytes))
        return std::nullopt;
    return bytes;
}

} // namespace

QString cpuInfoModelName(const QByteArray &cpuinfo)
{
    return QString::fromUtf8(fieldOf(cpuinfo, "model name").value_or(QByteArray()));
}

bool parseMemInfo(const QByteArray &meminfo, MemoryStatus *status)
{
    const auto total = kibibytesAsBytes(fieldOf(meminfo, "MemTotal"));
    const auto available = kibibytesAsBytes(fieldOf(meminfo, "MemAvailable"));
    if (!total || !available)
        return false;
    status->total = *total;
    status->available = *available;
    return true;
}

bool parseProcStat(const QByteArray &stat, long ticksPerSecond, ProcessorTimes *times)
{
    constexpr quint64 kUnitsPerSecond = 10000000; // 100-nanosecond units
    enum Field { User, Nice, System, Idle, IoWait, Irq, SoftIrq, Steal, Counted };
    if (ticksPerSecond < 1)
        return false;
    for (const QByteArray &line : stat.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.value(0) != "cpu")
            continue;
        // Kernels before 2.6 have only the first four counts.
        if (fields.size() <= Idle + 1)
            return false;
        quint64 idle = 0;
        quint64 total = 0;
        for (int i = User; i < Counted && i + 1 < fields.size(); ++i) {
            bool ok = false;
            const quint64 ticks = fields[i + 1].toULongLong(&ok);
            if (!ok || qAddOverflow(total, ticks, &total))
                return false;
            if ((i == Idle || i == IoWait) && qAddOverflow(idle, ticks, &idle))
                return false;
        }
        if (qMulOverflow(idle, kUnitsPerSecond, &idle) ||
            qMulOverflow(total, kUnitsPerSecond, &total))
            return false;
        times->idle = idle / quint64(ticksPerSecond);
        times->total = total / quint64(ticksPerSecond);
        return true;
    }
    return false;
}

} // namespace Orv
