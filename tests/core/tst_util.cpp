#include "core/task.h"
#include "core/util.h"
#include "tests/support/logcapture.h"

#include <QDir>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

using namespace Orv;

class TestUtil : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void logLineFormat()
    {
        Test::LogCapture log;
        logMessage(Warn, QStringLiteral("x"));
        logMessage(Info, QStringLiteral("100% %1 готово"));
        logMessage(7, QStringLiteral("никогда"));
        logMessage(-1, QStringLiteral("никогда"));
        const QStringList lines = log.lines();
        QCOMPARE(lines.size(), 2);
        static const QRegularExpression stamp(
            QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[WARN\] x$)"));
        QVERIFY2(stamp.match(lines[0]).hasMatch(), qPrintable(lines[0]));
        QVERIFY(lines[1].endsWith(QStringLiteral(" [INFO] 100% %1 готово")));
    }

    void logLineCannotBeSplitFromOutside()
    {
        Test::LogCapture log;
        logMessage(Info, QStringLiteral("получена задача: a\n2026-01-01T00:00:00.000Z [ERROR] b\r\tc\u2028"));
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.lines()[0].endsWith(
            QStringLiteral("получена задача: a\\n2026-01-01T00:00:00.000Z [ERROR] b\\r\\u0009c\\u2028")));
    }

    void logItemsJoinsUnquoted()
    {
        Test::LogCapture log;
        logItems(Error, QStringLiteral("FSRAR_ID УТМ сменился:"), QStringLiteral("1"), "→", 2);
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.lines()[0].endsWith(QStringLiteral("[ERROR] FSRAR_ID УТМ сменился: 1 → 2")));
    }

    void maskSecret_data()
    {
        QTest::addColumn<QString>("secret");
        QTest::addColumn<QString>("shown");
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("one") << QStringLiteral("a") << QStringLiteral("***");
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
        QVERIFY(signerMissingText(static_cast<SignerAvailability>(9)).isEmpty());
        const QString csp = signerMissingText(SignerAvailability::CspMissing);
        const QString plugin = signerMissingText(SignerAvailability::PluginMissing);
        QVERIFY(csp.startsWith(QStringLiteral("На компьютере не установлен КриптоПро CSP.")));
        QVERIFY(plugin.startsWith(QStringLiteral("КриптоПро CSP установлен, но нет")));
        QVERIFY(!csp.endsWith(u'.') && !plugin.endsWith(u'.'));
    }

    void pathsShareTheDataFolder()
    {
        const QString dir = dataDir();
        QVERIFY(QDir(dir).exists());
        QVERIFY(!dir.endsWith(u'/'));
        QCOMPARE(journalPath(), dir + QStringLiteral("/journal.db"));
        QCOMPARE(deviceTokenPath(), dir + QStringLiteral("/device.token"));
        QVERIFY(QDir(dir).removeRecursively());
        QVERIFY(QDir(dataDir()).exists());
    }

    void sha256Vectors()
    {
        QCOMPARE(sha256Hex({}),
                 QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
        QCOMPARE(sha256Hex("abc"),
                 QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    }

    void outcomes()
    {
        const TaskOutcome none;
        QVERIFY(!none.ok && none.data.isEmpty() && none.message.isEmpty() && none.signedHash.isEmpty());
        const TaskOutcome failed = TaskOutcome::failure(QStringLiteral("нет"));
        QVERIFY(!failed.ok && failed.data.isEmpty() && failed.signedHash.isEmpty());
        QCOMPARE(failed.message, QStringLiteral("нет"));
        const TaskOutcome done = TaskOutcome::success({{"signature", "c2ln"}}, QStringLiteral("ab"));
        QVERIFY(done.ok && done.message.isEmpty());
        QCOMPARE(done.data.value("signature").toString(), QStringLiteral("c2ln"));
        QCOMPARE(done.signedHash, QStringLiteral("ab"));
    }

    void defaultRunAsyncCompletesBeforeReturning()
    {
        struct Handler : ITaskHandler
        {
            int executed = 0;
            QString type() const override { return QStringLiteral("x"); }
            TaskOutcome execute(const TaskDescriptor &task) override
            {
                ++executed;
                return TaskOutcome::failure(task.id);
            }
        } handler;
        TaskDescriptor task;
        task.id = QStringLiteral("t-1");
        QList<TaskOutcome> seen;
        handler.runAsync(task, [&](const TaskOutcome &o) { seen.append(o); });
        QCOMPARE(handler.executed, 1);
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].message, QStringLiteral("t-1"));
    }
};

QTEST_GUILESS_MAIN(TestUtil)
#include "tst_util.moc"
