#include "platform/procinfo.h"

#include <QTest>

using namespace Orv;

class TestProcInfo : public QObject
{
    Q_OBJECT

private slots:
    void modelName()
    {
        QCOMPARE(cpuInfoModelName("processor\t: 0\nvendor_id\t: Fed\nmodel name\t: Fed CPU  9\n\n"
                                  "processor\t: 1\nmodel name\t: Other\n"),
                 QStringLiteral("Fed CPU  9"));
        QCOMPARE(cpuInfoModelName("processor\t: 0\nHardware\t: board\n"), QString());
    }

    // Sizes are kB; a value that does not fit in bytes, or a missing one, gives no reading.
    void memInfo_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<qint64>("available");
        QTest::newRow("usual") << QByteArray("MemTotal:       16318084 kB\nMemFree:  1 kB\n"
                                             "MemAvailable:    9000000 kB\n")
                               << true << qint64(16318084) * 1024 << qint64(9000000) * 1024;
        QTest::newRow("largest that fits")
            << QByteArray("MemTotal: 9007199254740991 kB\nMemAvailable: 0 kB\n") << true
            << qint64(9007199254740991) * 1024 << qint64(0);
        QTest::newRow("kB times 1024 overflows")
            << QByteArray("MemTotal: 9007199254740992 kB\nMemAvailable: 1 kB\n") << false << 0LL
            << 0LL;
        QTest::newRow("no MemAvailable") << QByteArray("MemTotal: 1 kB\n") << false << 0LL << 0LL;
        QTest::newRow("not a number")
            << QByteArray("MemTotal: x kB\nMemAvailable: 1 kB\n") << false << 0LL << 0LL;
        QTest::newRow("negative") << QByteArray("MemTotal: -4 kB\nMemAvailable: 1 kB\n") << false
                                  << 0LL << 0LL;
    }

    void memInfo()
    {
        QFETCH(QByteArray, text);
        MemoryStatus status;
        QTEST(parseMemInfo(text, &status), "ok");
        QTEST(status.total, "total");
        QTEST(status.available, "available");
    }

    // Ticks become 100-nanosecond units; I/O wait is idle time.
    void procStat_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("hz");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<quint64>("idle");
        QTest::addColumn<quint64>("total");
        const QByteArray usual = "cpu  10 1 5 100 4 2 3 5 7 0\ncpu0 1 1 1 1 1 1 1 1 1 1\n";
        QTest::newRow("100 Hz") << usual << 100 << true << quint64(104 * 100000)
                                << quint64(130 * 100000);
        QTest::newRow("other rate")
            << usual << 250 << true << quint64(104 * 40000) << quint64(130 * 40000);
        QTest::newRow("four counts") << QByteArray("cpu 1 2 3 4\n") << 100 << true
                                     << quint64(4 * 100000) << quint64(10 * 100000);
        QTest::newRow("three counts")
            << QByteArray("cpu 1 2 3\n") << 100 << false << quint64(0) << quint64(0);
        QTest::newRow("sum overflows") << QByteArray("cpu 1 2 3 18446744073709551615\n") << 100
                                       << false << quint64(0) << quint64(0);
        QTest::newRow("units overflow") << QByteArray("cpu 0 0 0 18446744073709551\n") << 100
                                        << false << quint64(0) << quint64(0);
        QTest::newRow("no cpu line")
            << QByteArray("cpu0 1 2 3 4\n") << 100 << false << quint64(0) << quint64(0);
        QTest::newRow("no tick rate") << usual << 0 << false << quint64(0) << quint64(0);
    }

    void procStat()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, hz);
        ProcessorTimes times;
        QTEST(parseProcStat(text, hz, &times), "ok");
        QTEST(times.idle, "idle");
        QTEST(times.total, "total");
    }

    void bootClock()
    {
        const qint64 first = millisecondsSinceBoot();
        QVERIFY(first > 0);
        QVERIFY(millisecondsSinceBoot() >= first);
    }
};

QTEST_GUILESS_MAIN(TestProcInfo)
#include "tst_procinfo.moc"
