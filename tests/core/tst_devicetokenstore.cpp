#include "core/devicetokenstore.h"
#include "platform/dataprotect.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/logcapture.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Orv;

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class TestDeviceTokenStore : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path() const { return m_dir->filePath(QStringLiteral("device.token")); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qunsetenv("ORV_DATAPROTECT_KEY");
        QStandardPaths::setTestModeEnabled(true);
    }

    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void saveReplacesAndTightensTheFile()
    {
        write(path(), "old and readable by all");
        QVERIFY(QFile::setPermissions(path(), QFileDevice::Permissions(0x6644)));
        const QString token = QStringLiteral("токен-Ёё-😀-9f86d081884c7d65");
        QString error;
        QVERIFY2(DeviceTokenStore(path()).save(token, &error), qPrintable(error));
        QCOMPARE(DeviceTokenStore(path()).load(), token);

        const QByteArray file = contents(path());
        QVERIFY(!file.contains(token.toUtf8()));
        QCOMPARE(unprotectData(file), token.toUtf8()); // the blob and nothing else
        QCOMPARE(QFile::permissions(path()) & 0x7777,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                     QFileDevice::WriteUser);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("device.token")});
    }

    void clear()
    {
        Test::LogCapture log;
        DeviceTokenStore store(path());
        QVERIFY(store.clear()); // nothing to remove
        QVERIFY(store.save(QStringLiteral("token")));
        QVERIFY(store.clear());
        QVERIFY(!QFile::exists(path()));
        QVERIFY(store.load().isEmpty());
        QVERIFY(log.lines().isEmpty()); // a missing file only means "not paired"
    }

    // Whose blob it is, and how it was damaged, is the protection's to tell apart.
    void unusableFile_data()
    {
        QTest::addColumn<bool>("folder");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("warning");
        const QString lost = QStringLiteral(
            "[WARN] токен не расшифровывается, потребуется повторное подключение агента");
        const QByteArray blob = protectData("token");
        QTest::newRow("cut short") << false << blob.left(blob.size() - 1) << lost;
        QTest::newRow("empty") << false << QByteArray() << lost;
        QTest::newRow("plain text") << false << QByteArray("token") << lost;
        QTest::newRow("a folder where the file should be")
            << true << QByteArray() << "[WARN] не удалось прочитать файл токена: ";
    }

    void unusableFile()
    {
        QFETCH(bool, folder);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, warning);
        if (folder)
            QVERIFY(QDir().mkpath(path()));
        else
            write(path(), bytes);
        Test::LogCapture log;
        QVERIFY(DeviceTokenStore(path()).load().isEmpty());
        QCOMPARE(log.lines().size(), 1);
        QVERIFY2(log.lines()[0].endsWith(folder ? warning + path() : warning),
                 qPrintable(log.lines()[0]));
        if (!folder)
            QCOMPARE(contents(path()), bytes); // left for the next save to replace
    }

    void failedSaveKeepsTheOldToken_data()
    {
        QTest::addColumn<bool>("protectionFails");
        QTest::addColumn<QString>("error");
        QTest::newRow("disk full") << false << "Не удалось сохранить токен в %1";
        QTest::newRow("protection fails")
            << true << "Не удалось зашифровать токен средствами Windows (DPAPI)";
    }

    void failedSaveKeepsTheOldToken()
    {
        QFETCH(bool, protectionFails);
        QFETCH(QString, error);
        DeviceTokenStore store(path());
        QVERIFY(store.save(QStringLiteral("old token")));
        const QByteArray before = contents(path());
        QString reported;
        bool saved = true;
        if (protectionFails) {
            // A key whose folder is a plain file cannot be made.
            write(m_home.filePath(QStringLiteral("plain")), "x");
            qputenv("ORV_DATAPROTECT_KEY", QFile::encodeName(m_home.filePath("plain/user.key")));
            saved = store.save(QStringLiteral("new token"), &reported);
            qunsetenv("ORV_DATAPROTECT_KEY");
        } else {
            // No file may grow beyond a few bytes: the write fails half-way.
            Test::FileSizeLimit limit(8);
            if (!limit.isActive())
                QSKIP("this system offers no way to make a file write fail");
            saved = store.save(QStringLiteral("new token"), &reported);
        }
        QVERIFY(!saved);
        QCOMPARE(reported, error.replace(QLatin1String("%1"), path()));
        QCOMPARE(contents(path()), before);
        QCOMPARE(store.load(), QStringLiteral("old token"));
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestDeviceTokenStore)
#include "tst_devicetokenstore.moc"
