#include "core/util.h"
#include "tests/support/logcapture.h"
#include "tests/support/scratchhome.h"

#include <QDir>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

using namespace Orv;

class TestUtil : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        m_home.exportToThisProcess();
        QStandardPaths::setTestModeEnabled(true);
    }

    void logLines()
    {
        Test::LogCapture log;
        logMessage(Warn, QStringLiteral("x"));
        logMessage(Info, QStringLiteral("100% %1 готово")); // never taken for a format
        logMessage(7, QStringLiteral("никогда"));
        logMessage(-1, QStringLiteral("никогда"));
        logItems(Error, QStringLiteral("FSRAR_ID УТМ сменился:"), QStringLiteral("1"), "→", 2);
        // A value from the server must not split the line or forge one of ours.
        logMessage(Info, QStringLiteral(
                             "задача: a\n2026-01-01T00:00:00.000Z [ERROR] b\r\tc\u2028\u0085d"));
        const QStringList lines = log.lines();
        QCOMPARE(lines.size(), 4);
        static const QRegularExpression stamp(
            QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[WARN\] x$)"));
        QVERIFY2(stamp.match(lines[0]).hasMatch(), qPrintable(lines[0]));
        QVERIFY(lines[1].endsWith(QStringLiteral(" [INFO] 100% %1 готово")));
        QVERIFY(lines[2].endsWith(QStringLiteral(" [ERROR] FSRAR_ID УТМ сменился: 1 → 2")));
        QVERIFY(lines[3].endsWith(QStringLiteral(
            "задача: a\\n2026-01-01T00:00:00.000Z [ERROR] b\\r\\u0009c\\u2028\\u0085d")));
    }

    void maskSecret_data()
    {
        QTest::addColumn<QString>("secret");
        QTest::addColumn<QString>("shown");
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("twelve") << QStringLiteral("abcdefghijkl") << QStringLiteral("***");
        QTest::newRow("thirteen") << QStringLiteral("abcdefghijklm")
                                  << QStringLiteral("abcd***jklm (13)");
        QTest::newRow("percent") << QStringLiteral("%1%2345678%3%4")
                                 << QStringLiteral("%1%2***%3%4 (14)");
    }

    void maskSecret()
    {
        QFETCH(QString, secret);
        QFETCH(QString, shown);
        QCOMPARE(Orv::maskSecret(secret), shown);
    }

    void signerTexts()
    {
        QVERIFY(signerMissingText(SignerAvailability::Ready).isEmpty());
        const QString csp = signerMissingText(SignerAvailability::CspMissing);
        const QString plugin = signerMissingText(SignerAvailability::PluginMissing);
        QVERIFY(csp.startsWith(QStringLiteral("На компьютере не установлен КриптоПро CSP.")));
        QVERIFY(plugin.startsWith(QStringLiteral("КриптоПро CSP установлен, но нет")));
        QVERIFY(!csp.endsWith(u'.') && !plugin.endsWith(u'.'));
    }

    // Vectors of the SHA-256 standard.
    void sha256Hex_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("hex");
        QTest::newRow("empty")
            << QByteArray() << "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
        QTest::newRow("abc") << QByteArray("abc")
                             << "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
        QTest::newRow("a million a")
            << QByteArray(1000000, 'a')
            << "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
    }

    void sha256Hex()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, hex);
        QCOMPARE(Orv::sha256Hex(bytes), hex);
    }

    void pathsShareTheDataFolder()
    {
        const QString dir = dataDir();
        QCOMPARE(journalPath(), dir + QStringLiteral("/journal.db"));
        QCOMPARE(deviceTokenPath(), dir + QStringLiteral("/device.token"));
        QVERIFY(QDir(dir).removeRecursively());
        QVERIFY(QDir(dataDir()).exists()); // made again on each call
    }

    // Made private, and what an earlier version left open to others closed at start-up.
    void dataIsPrivate()
    {
        QVERIFY(QDir(dataDir()).removeRecursively());
        const QString dir = dataDir();
        QVERIFY(!(QFileInfo(dir).permissions() & QFile::ReadOther));
        QFile old(dir + QStringLiteral("/agent.log"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        QVERIFY(old.setPermissions(old.permissions() | QFile::ReadOther));
        QVERIFY(QFile::setPermissions(dir, QFileInfo(dir).permissions() | QFile::ReadOther));
        makeDataPrivate();
        for (const QString &path : {dir, old.fileName()})
            QVERIFY(!(QFileInfo(path).permissions() & QFile::ReadOther));
    }

private:
    Test::ScratchHome m_home;
};

QTEST_GUILESS_MAIN(TestUtil)
#include "tst_util.moc"
