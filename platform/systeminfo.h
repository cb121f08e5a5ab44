#pragma once

#include <QString>
#include <QtGlobal>

namespace Orv {

// Physical memory of the machine, in bytes.
struct MemoryStatus
{
    qint64 total = 0;
    qint64 available = 0;
};

// Processor time of all processors together since the system started, in 100-nanosecond units:
// `idle` and `total` (busy and idle alike). Two readings give the load between them.
struct ProcessorTimes
{
    quint64 idle = 0;
    quint64 total = 0;
};

// The processor's name as the system describes it, unprocessed; empty when it is not known.
QString processorName();
// Each reading fills its record and returns true, or returns false and leaves it untouched.
bool readMemoryStatus(MemoryStatus *status);
bool readProcessorTimes(ProcessorTimes *times);
// Milliseconds since the system last started.
qint64 millisecondsSinceBoot();

} // namespace Orv
