#include "utmhost/hostresources.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <limits>

using namespace Orv;

namespace {

constexpr qint64 kMiB = 1048576;
constexpr qint64 kGiB = 1024 * kMiB;
constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr qint64 kQint64Max = std::numeric_limits<qint64>::max();

// A system whose readings the test sets; a reading without a value fails.
struct FedSystem
{
    QString name = QStringLiteral("  Fed \t CPU  @ 3.0GHz ");
    QList<ProcessorTimes> times;
    bool memoryReadable = true;
    int readings = 0;

    SystemInfoSource source()
    {
        SystemInfoSource fed;
        fed.processorName = [this] {
            return name;
        };
        fed.memoryStatus = [this](MemoryStatus *status) {
            if (memoryReadable)
                *status = {16 * kGiB, 9 * kGiB};
            return memoryReadable;
        };
        fed.processorTimes = [this](ProcessorTimes *out) {
            if (times.isEmpty())
                return false;
            *out = times.takeFirst();
            return true;
        };
        return fed;
    }
};

} // namespace

Q_DECLARE_METATYPE(Orv::ProcessorTimes)

class TestHostResources : public QObject
{
    Q_OBJECT

private slots:
    void vmSlots_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<int>("count");
        QTest::newRow("negative") << qint64(-kGiB) << 0;
        QTest::newRow("zero") << qint64(0) << 0;
        QTest::newRow("one byte short") << kPerVmBytes - 1 << 0;
        QTest::newRow("exactly one") << kPerVmBytes << 1;
        QTest::newRow("16 GiB") << 16 * kGiB << 54;
        QTest::newRow("beyond an int of VMs") << kQint64Max << kIntMax;
    }

    void vmSlots()
    {
        QFETCH(qint64, bytes);
        QFETCH(int, count);
        QCOMPARE(vmSlotsFor(bytes), count);
    }

    void capacity_data()
    {
        QTest::addColumn<qint64>("windowsFree");
        QTest::addColumn<bool>("running");
        QTest::addColumn<qint64>("wslFree");
        QTest::addColumn<qint64>("wslLimit");
        QTest::addColumn<int>("pending");
        QTest::addColumn<int>("slotsLeft");
        QTest::addColumn<int>("more");
        QTest::addColumn<int>("limit");
        const int windows = HostCapacity::WindowsMemory;
        const int wsl = HostCapacity::WslMemory;
        const int numbers = HostCapacity::VmNumbers;
        // Windows room 52, WSL room 9.
        QTest::newRow("wsl's free memory")
            << 16 * kGiB << true << 3 * kGiB << 8 * kGiB << 0 << 99 << 9 << wsl;
        // 3178 MiB: 10 VMs after the 128 MiB the running distribution keeps, 9 after 228 MiB.
        QTest::newRow("less the pending")
            << 16 * kGiB << true << 3178 * kMiB << 0LL << 2 << 99 << 8 << wsl;
        QTest::newRow("more pending than room")
            << 16 * kGiB << true << 3 * kGiB << 0LL << 20 << 99 << 0 << wsl;
        QTest::newRow("tie counts as windows")
            << 2012 * kMiB << true << 1628 * kMiB << 0LL << 0 << 99 << 5 << windows;
        QTest::newRow("98 VMs") << 2012 * kMiB << true << 1628 * kMiB << 0LL << 0 << 1 << 1
                                << numbers;
        QTest::newRow("99 VMs") << 2012 * kMiB << true << 1628 * kMiB << 0LL << 0 << 0 << 0
                                << numbers;
        QTest::newRow("99 VMs, no memory")
            << 0LL << true << 1628 * kMiB << 0LL << 0 << 0 << 0 << windows;
        // 3562 MiB: 10 VMs after the 512 MiB kept, 9 once the distribution's start takes 100 more.
        QTest::newRow("running, free not measured: its limit")
            << 3562 * kMiB << true << 0LL << 3178 * kMiB << 0 << 99 << 9 << wsl;
        QTest::newRow("stopped: windows keeps more")
            << 3562 * kMiB << false << 3 * kGiB << 8 * kGiB << 0 << 99 << 9 << windows;
        QTest::newRow("stopped, limit less 228 MiB")
            << 16 * kGiB << false << 3178 * kMiB << 3178 * kMiB << 0 << 99 << 9 << wsl;
        QTest::newRow("no wsl bound")
            << 3562 * kMiB << false << 0LL << 0LL << 0 << 99 << 9 << windows;
        QTest::newRow("huge figures")
            << kQint64Max << true << kQint64Max << 0LL << 0 << 99 << 99 << numbers;
    }

    void capacity()
    {
        QFETCH(qint64, windowsFree);
        QFETCH(bool, running);
        QFETCH(qint64, wslFree);
        QFETCH(qint64, wslLimit);
        QFETCH(int, pending);
        QFETCH(int, slotsLeft);
        HostResources resources;
        resources.memoryAvailable = windowsFree;
        resources.distroRunning = running;
        resources.wslAvailable = wslFree;
        resources.wslLimit = wslLimit;
        const HostCapacity capacity = estimateCapacity(resources, pending, slotsLeft);
        QTEST(capacity.more, "more");
        QTEST(capacity.limit, "limit");
        QCOMPARE(capacity.perVmBytes, 300 * kMiB);
    }

    // The load covers the time between two successful readings: the first only sets the
    // baseline, a failed reading keeps it, and a reading whose total did not grow keeps the last
    // load. Odd counters stay within 0..1.
    void load_data()
    {
        QTest::addColumn<QList<ProcessorTimes>>("readings"); // {0, 0}: the reading fails
        QTest::addColumn<QList<double>>("loads");
        using Times = QList<ProcessorTimes>;
        using Loads = QList<double>;
        QTest::newRow("baseline, then 70 %") << Times{{100, 1000}, {400, 2000}} << Loads{-1, 0.7};
        QTest::newRow("failed reading keeps the baseline")
            << Times{{100, 1000}, {}, {400, 2000}} << Loads{-1, -1, 0.7};
        QTest::newRow("total unchanged keeps the load")
            << Times{{100, 1000}, {400, 2000}, {400, 2000}, {1400, 3000}} << Loads{-1, 0.7, 0.7, 0};
        QTest::newRow("idle went back") << Times{{500, 1000}, {400, 2000}} << Loads{-1, 1};
        QTest::newRow("idle beyond total") << Times{{100, 1000}, {5000, 2000}} << Loads{-1, 0};
    }

    void load()
    {
        QFETCH(QList<ProcessorTimes>, readings);
        QFETCH(QList<double>, loads);
        FedSystem system;
        HostMetrics metrics(system.source());
        HostResources resources;
        for (qsizetype i = 0; i < readings.size(); ++i) {
            if (readings[i].total != 0)
                system.times.append(readings[i]);
            metrics.sample(&resources, {});
            QCOMPARE(resources.cpuLoad, loads[i]);
        }
    }

    // A sample fills the PC's fields, and a reading that fails leaves its fields as they were.
    void sampleFields()
    {
        QTemporaryDir dir;
        FedSystem system;
        HostMetrics metrics(system.source());
        QCOMPARE(metrics.cpuName(), QStringLiteral("Fed CPU @ 3.0GHz"));
        HostResources resources;
        metrics.sample(&resources, dir.path());
        QCOMPARE(resources.cpuName, metrics.cpuName());
        QCOMPARE(resources.logicalCpus, QThread::idealThreadCount());
        QCOMPARE(resources.memoryTotal, 16 * kGiB);
        QCOMPARE(resources.memoryAvailable, 9 * kGiB);
        QVERIFY(resources.diskFree > 0);

        system.memoryReadable = false;
        resources.memoryTotal = resources.memoryAvailable = resources.diskFree = 7;
        metrics.sample(&resources, dir.filePath(QStringLiteral("missing/folder")));
        QCOMPARE(resources.memoryTotal, 7);
        QCOMPARE(resources.memoryAvailable, 7);
        QCOMPARE(resources.diskFree, 7);
    }

    // The system's own readings: a name, memory, and a load once the processor time has moved.
    void systemReadings()
    {
        HostMetrics metrics;
        HostResources resources;
        metrics.sample(&resources, QDir::tempPath());
        QCOMPARE(resources.cpuLoad, -1.0);
        QVERIFY(resources.memoryTotal > 0);
        QVERIFY(resources.memoryAvailable > 0 &&
                resources.memoryAvailable <= resources.memoryTotal);
        QVERIFY(resources.diskFree > 0);
        QTRY_VERIFY_WITH_TIMEOUT((metrics.sample(&resources, {}), resources.cpuLoad >= 0), 5000);
        QVERIFY(resources.cpuLoad <= 1.0);
    }
};

QTEST_GUILESS_MAIN(TestHostResources)
#include "tst_hostresources.moc"
