#include "utmhost/tokenprobe.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Orv;

namespace {

constexpr char kDriver[] = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";
constexpr char kSocket[] = "/run/pcscd/pcscd.comm";

} // namespace

// The probe over pcsc-lite and a real pcscd with the virtual reader driver of vsmartcard (vpcd),
// whose readers hold no card until a virtual card connects to them; none does here.
class TestPcscProbe : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QProcess m_pcscd;

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void withoutService()
    {
        // pcsc-lite reads where its daemon listens once per process: the default place, then.
        if (QFile::exists(kSocket))
            QSKIP("a pcscd runs on this machine");
        QString error;
        QVERIFY(SmartCard::scanReaders(&error).isEmpty());
        QCOMPARE(error, QStringLiteral("PC/SC недоступен: служба смарт-карт Windows не запущена"));
    }

    void virtualReaderWithoutCard()
    {
        const QString pcscd = QStandardPaths::findExecutable("pcscd", {"/usr/sbin", "/sbin"});
        if (pcscd.isEmpty() || !QFile::exists(kDriver))
            QSKIP("pcscd or the vpcd driver is not installed (scripts/setup installs them)");
        QDir().mkpath(m_dir.filePath("readers"));
        QFile config(m_dir.filePath("readers/vpcd"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QByteArray("FRIENDLYNAME \"Виртуальный считыватель\"\n"
                                "DEVICENAME /dev/null:0x9C41\nCHANNELID 0x9C41\nLIBPATH ") +
                     kDriver + '\n');
        config.close();
        // The daemon of its own, in the foreground: it ends with the test, or a minute after.
        m_pcscd.setProcessChannelMode(QProcess::MergedChannels);
        m_pcscd.start(pcscd,
                      {"--foreground", "--auto-exit", "--config", m_dir.filePath("readers")});
        QList<SmartCard::ReaderInfo> readers;
        QString error;
        const bool listed = QTest::qWaitFor([&] {
            error.clear();
            readers = SmartCard::scanReaders(&error);
            return !readers.isEmpty() || m_pcscd.state() == QProcess::NotRunning;
        });
        // Where another pcscd runs, or /run/pcscd is not ours to write, this one cannot start.
        if (!listed || m_pcscd.state() == QProcess::NotRunning)
            QSKIP(qPrintable("pcscd with the virtual reader did not come up: " + error + ' ' +
                             QString::fromLocal8Bit(m_pcscd.readAll()).simplified()));
        // The driver offers two slots, each a reader without a card; their names came through
        // the wide calls.
        QCOMPARE(readers.size(), 2);
        for (const SmartCard::ReaderInfo &reader : std::as_const(readers)) {
            QVERIFY2(reader.readerName.startsWith(QStringLiteral("Виртуальный считыватель 00 ")),
                     qPrintable(reader.readerName));
            QCOMPARE(reader.connectError, QStringLiteral("карты нет"));
        }
    }

    void cleanupTestCase()
    {
        m_pcscd.terminate();
        if (!m_pcscd.waitForFinished(5000))
            m_pcscd.kill();
    }
};

QTEST_GUILESS_MAIN(TestPcscProbe)
#include "tst_pcscprobe.moc"
