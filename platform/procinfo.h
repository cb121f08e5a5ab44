#pragma once

#include "platform/systeminfo.h"

#include <QByteArray>
#include <QString>

namespace Orv {

// Readers of the Linux /proc texts behind the system-information stand-in. Each gives nothing
// (empty, or false with the record untouched) for text it cannot read whole, a number that does
// not fit included.

// The first "model name" of /proc/cpuinfo.
QString cpuInfoModelName(const QByteArray &cpuinfo);
// MemTotal and MemAvailable of /proc/meminfo, from kB to bytes.
bool parseMemInfo(const QByteArray &meminfo, MemoryStatus *status);
// The "cpu" line of /proc/stat, whose counts are in ticks of `ticksPerSecond`: I/O wait counts as
// idle, guest time is already part of user time.
bool parseProcStat(const QByteArray &stat, long ticksPerSecond, ProcessorTimes *times);

} // namespace Orv
