#include "platform/procinfo.h"

#include <QTest>

using namespace Orv;

class TestProcInfo : public QObject
{
    Q_OBJECT

private slots:
    // kB become bytes; a figure that would not fit, or a missing one, gives no reading.
    void memInfo_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<qint64>("total"); // 0: no reading
        QTest::newRow("usual") << QByteArray(
                                      "MemTotal:  16 kB\nMemFree: 1 kB\nMemAvailable: 9 kB\n")
                               << qint64(16384);
        QTest::newRow("overflow") << QByteArray("MemTotal: 9007199254740992 kB\nMemAvailable: 9 kB")
                                  << qint64(0);
        QTest::newRow("no MemAvailable") << QByteArray("MemTotal: 16 kB\n") << qint64(0);
        QTest::newRow("not a number") << QByteArray("MemTotal: many kB\nMemAvailable: 9 kB")
                                      << qint64(0);
    }

    void memInfo()
    {
        QFETCH(QByteArray, text);
        QFETCH(qint64, total);
        MemoryStatus status;
        QCOMPARE(parseMemInfo(text, &status), total != 0);
        QCOMPARE(status.total, total);
        QCOMPARE(status.available, total != 0 ? 9216 : 0);
    }

    // Ticks become 100-nanosecond units; I/O wait is idle, guest time is already user time.
    void procStat_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("hz");
        QTest::addColumn<quint64>("idle"); // 0: no reading
        QTest::addColumn<quint64>("total");
        const QByteArray usual = "cpu  10 1 5 100 4 2 3 5 7 0\ncpu0 1 1 1 1 1 1 1 1 1 1\n";
        QTest::newRow("100 Hz") << usual << 100 << quint64(10400000) << quint64(13000000);
        QTest::newRow("250 Hz") << usual << 250 << quint64(4160000) << quint64(5200000);
        QTest::newRow("sum overflows")
            << QByteArray("cpu 1 0 0 18446744073709551615") << 100 << quint64(0) << quint64(0);
        QTest::newRow("units overflow")
            << QByteArray("cpu 0 0 0 18446744073709551") << 100 << quint64(0) << quint64(0);
        QTest::newRow("no tick rate") << usual << 0 << quint64(0) << quint64(0);
    }

    void procStat()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, hz);
        QFETCH(quint64, total);
        ProcessorTimes times;
        QCOMPARE(parseProcStat(text, hz, &times), total != 0);
        QTEST(times.idle, "idle");
        QCOMPARE(times.total, total);
    }
};

QTEST_GUILESS_MAIN(TestProcInfo)
#include "tst_procinfo.moc"
