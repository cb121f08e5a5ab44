#include "utmhost/hostresources.h"

#include <QDir>
#include <QTest>
#include <QThread>

#include <limits>

using namespace Orv;

namespace {

constexpr qint64 kMiB = 1048576;
constexpr qint64 kHuge = std::numeric_limits<qint64>::max();

} // namespace

class TestHostResources : public QObject
{
    Q_OBJECT

private slots:
    void vmSlots()
    {
        QCOMPARE(vmSlotsFor(-kMiB), 0);
        QCOMPARE(vmSlotsFor(kPerVmBytes - 1), 0);
        QCOMPARE(vmSlotsFor(2 * kPerVmBytes), 2);
        QCOMPARE(vmSlotsFor(kHuge), std::numeric_limits<int>::max());
    }

    // Sizes in MiB. 16384 and 3072 give rooms of 52 and 9; 2012 and 1628 give 5 and 5; 3562
    // gives 10 while the distribution runs, 9 while it would still have to start; 3178 gives
    // 10 from the running distribution's free memory, 9 from its limit.
    void capacity_data()
    {
        QTest::addColumn<qint64>("windowsFree");
        QTest::addColumn<bool>("running");
        QTest::addColumn<qint64>("wslFree");
        QTest::addColumn<qint64>("wslLimit");
        QTest::addColumn<int>("pending");
        QTest::addColumn<int>("slotsLeft");
        QTest::addColumn<int>("more");
        QTest::addColumn<int>("limit"); // 0 Windows, 1 WSL, 2 VM numbers
        QTest::newRow("wsl free") << 16384LL << true << 3072LL << 8192LL << 0 << 99 << 9 << 1;
        QTest::newRow("less pending") << 16384LL << true << 3178LL << 0LL << 2 << 99 << 8 << 1;
        QTest::newRow("pending beyond") << 16384LL << true << 3072LL << 0LL << 20 << 99 << 0 << 1;
        QTest::newRow("tie") << 2012LL << true << 1628LL << 0LL << 0 << 99 << 5 << 0;
        QTest::newRow("98 VMs") << 2012LL << true << 1628LL << 0LL << 0 << 1 << 1 << 2;
        QTest::newRow("99 VMs") << 2012LL << true << 1628LL << 0LL << 0 << 0 << 0 << 2;
        QTest::newRow("99 VMs, no memory") << 0LL << true << 1628LL << 0LL << 0 << 0 << 0 << 0;
        QTest::newRow("free unknown") << 3562LL << true << 0LL << 3178LL << 0 << 99 << 9 << 1;
        QTest::newRow("stopped") << 3562LL << false << 3072LL << 8192LL << 0 << 99 << 9 << 0;
        QTest::newRow("stopped, limit")
            << 16384LL << false << 3178LL << 3178LL << 0 << 99 << 9 << 1;
        QTest::newRow("no wsl bound") << 3562LL << false << 0LL << 0LL << 0 << 99 << 9 << 0;
        QTest::newRow("huge") << kHuge / kMiB << true << kHuge / kMiB << 0LL << 0 << 99 << 99 << 2;
    }

    void capacity()
    {
        HostResources resources;
        QFETCH(qint64, windowsFree);
        QFETCH(qint64, wslFree);
        QFETCH(qint64, wslLimit);
        QFETCH(int, pending);
        QFETCH(int, slotsLeft);
        resources.memoryAvailable = windowsFree * kMiB;
        resources.wslAvailable = wslFree * kMiB;
        resources.wslLimit = wslLimit * kMiB;
        QFETCH(bool, running);
        resources.distroRunning = running;
        const HostCapacity capacity = estimateCapacity(resources, pending, slotsLeft);
        QTEST(capacity.more, "more");
        QTEST(capacity.limit, "limit");
        QCOMPARE(capacity.perVmBytes, 300 * kMiB);
    }

    // The load covers the time between two successful readings: the first only sets the
    // baseline, a failed reading keeps it, a total that did not grow keeps the last load, and odd
    // counters stay within 0..1. Failed readings change nothing.
    void sampleFed()
    {
        QList<ProcessorTimes> readings{{100, 1000}, {}, {400, 2000}, {400, 2000}, {300, 3000}};
        SystemInfoSource fed;
        fed.processorName = [] {
            return QStringLiteral("  Fed \t CPU  ");
        };
        fed.memoryStatus = [](MemoryStatus *) {
            return false;
        };
        fed.processorTimes = [&readings](ProcessorTimes *times) {
            *times = readings.takeFirst();
            return times->total != 0;
        };
        HostMetrics metrics(fed);
        HostResources resources;
        resources.memoryTotal = resources.diskFree = 7;
        for (double expected : {-1.0, -1.0, 0.7, 0.7, 1.0}) {
            metrics.sample(&resources, QDir::current().filePath("missing/folder"));
            QCOMPARE(resources.cpuLoad, expected);
        }
        QCOMPARE(resources.cpuName, QStringLiteral("Fed CPU"));
        QCOMPARE(resources.logicalCpus, QThread::idealThreadCount());
        QCOMPARE(resources.memoryTotal, 7);
        QCOMPARE(resources.diskFree, 7);
    }

    // The system's own readings, and a load once the processor time has moved.
    void systemReadings()
    {
        HostMetrics metrics;
        HostResources resources;
        metrics.sample(&resources, QDir::tempPath());
        QCOMPARE(resources.cpuLoad, -1.0);
        QVERIFY(resources.memoryAvailable > 0 &&
                resources.memoryAvailable <= resources.memoryTotal);
        QVERIFY(resources.diskFree > 0);
        QTRY_VERIFY_WITH_TIMEOUT((metrics.sample(&resources, {}), resources.cpuLoad >= 0), 5000);
        QVERIFY(resources.cpuLoad <= 1.0);
    }
};

QTEST_GUILESS_MAIN(TestHostResources)
#include "tst_hostresources.moc"
