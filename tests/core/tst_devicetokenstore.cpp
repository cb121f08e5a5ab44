#include "core/devicetokenstore.h"
#include "platform/dataprotect.h"
#include "tests/support/logcapture.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#if __has_include(<sys/resource.h>)
#include <csignal>
#include <sys/resource.h>
#define ORV_HAVE_FILE_SIZE_LIMIT 1

namespace {
// No file of this process may grow beyond `bytes` while it lives: a write then fails half-way,
// as on a full disk.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_previous);
        rlimit limit = m_previous;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_previous); }

private:
    rlimit m_previous;
};
} // namespace
#endif

using namespace Orv;

namespace {

const QString kUnusable =
    QStringLiteral("[WARN] токен не расшифровывается, потребуется повторное подключение агента");

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

    void roundTrip_data()
    {
        QTest::addColumn<QString>("token");
        QTest::newRow("hex") << QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822c");
        QTest::newRow("non-ASCII") << QStringLiteral("токен-Ёё-😀");
        QTest::newRow("one character") << QStringLiteral("x");
    }

    void roundTrip()
    {
        QFETCH(QString, token);
        DeviceTokenStore store(path());
        QString error;
        QVERIFY2(store.save(token, &error), qPrintable(error));
        QCOMPARE(store.load(), token);
        QCOMPARE(DeviceTokenStore(path()).load(), token);

        const QByteArray file = contents(path());
        QVERIFY(file.size() > token.toUtf8().size());
        if (token.size() >= 8) // a shorter text turns up among random bytes by chance
            QVERIFY(!file.contains(token.toUtf8()));
        QCOMPARE(unprotectData(file), token.toUtf8()); // the blob and nothing else
        QCOMPARE(QFile::permissions(path()) & 0x7777,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                     QFileDevice::WriteUser);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("device.token")});
    }

    void replacesAndTightensAnOldFile()
    {
        write(path(), "old and readable by all");
        QVERIFY(QFile::setPermissions(path(), QFileDevice::Permissions(0x6644)));
        DeviceTokenStore store(path());
        QVERIFY(store.save(QStringLiteral("first")));
        QVERIFY(store.save(QStringLiteral("second")));
        QCOMPARE(store.load(), QStringLiteral("second"));
        QCOMPARE(QFile::permissions(path()) & 0x0077, QFileDevice::Permissions());
    }

    void clear()
    {
        Test::LogCapture log;
        DeviceTokenStore store(path());
        QVERIFY(store.clear()); // nothing to remove
        QVERIFY(store.load().isEmpty());
        QVERIFY(store.save(QStringLiteral("token")));
        QVERIFY(store.clear());
        QVERIFY(!QFile::exists(path()));
        QVERIFY(store.load().isEmpty());
        QVERIFY(log.lines().isEmpty()); // a missing file only means "not paired"
    }

    void unusableFile_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray blob = protectData("token");
        QByteArray theirs;
        {
            qputenv("ORV_DATAPROTECT_KEY",
                    QFile::encodeName(m_home.filePath(QStringLiteral("other/user.key"))));
            theirs = protectData("their token");
            qunsetenv("ORV_DATAPROTECT_KEY");
        }
        QVERIFY(!theirs.isEmpty());
        QTest::newRow("another user's") << theirs;
        QTest::newRow("random bytes") << QByteArray::fromHex("8c1f00aa93e2d1c47b5e66f0912a3b4c");
        QTest::newRow("cut short") << blob.left(blob.size() - 1);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("plain text") << QByteArray("token");
    }

    void unusableFile()
    {
        QFETCH(QByteArray, bytes);
        write(path(), bytes);
        Test::LogCapture log;
        QVERIFY(DeviceTokenStore(path()).load().isEmpty());
        QCOMPARE(log.lines().size(), 1);
        QVERIFY2(log.lines()[0].endsWith(kUnusable), qPrintable(log.lines()[0]));
        QCOMPARE(contents(path()), bytes); // left for the next save to replace
    }

    void unreadableFile()
    {
        QVERIFY(QDir().mkpath(path())); // a folder where the file should be
        Test::LogCapture log;
        QVERIFY(DeviceTokenStore(path()).load().isEmpty());
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.lines()[0].endsWith(
            QStringLiteral("[WARN] не удалось прочитать файл токена: ") + path()));
    }

    void failedWriteKeepsTheOldToken()
    {
#ifdef ORV_HAVE_FILE_SIZE_LIMIT
        DeviceTokenStore store(path());
        QVERIFY(store.save(QStringLiteral("old token")));
        const QByteArray before = contents(path());
        QString error;
        bool saved = true;
        {
            FileSizeLimit limit(8);
            saved = store.save(QStringLiteral("new token"), &error);
        }
        QVERIFY(!saved);
        QCOMPARE(error, QStringLiteral("Не удалось сохранить токен в %1").arg(path()));
        QCOMPARE(contents(path()), before);
        QCOMPARE(store.load(), QStringLiteral("old token"));
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
#else
        QSKIP("this system offers no way to make a file write fail");
#endif
    }

    void folderMissing()
    {
        const QString missing = m_dir->filePath(QStringLiteral("gone/device.token"));
        QString error;
        QVERIFY(!DeviceTokenStore(missing).save(QStringLiteral("token"), &error));
        QCOMPARE(error, QStringLiteral("Не удалось сохранить токен в %1").arg(missing));
    }

    void failedProtectionTouchesNothing()
    {
        DeviceTokenStore store(path());
        QVERIFY(store.save(QStringLiteral("old token")));
        const QByteArray before = contents(path());
        write(m_dir->filePath(QStringLiteral("plain")), "x");
        // A key whose folder is a plain file cannot be made: the protection itself fails.
        qputenv("ORV_DATAPROTECT_KEY",
                QFile::encodeName(m_dir->filePath(QStringLiteral("plain/user.key"))));
        QString error;
        const bool saved = store.save(QStringLiteral("new token"), &error);
        qunsetenv("ORV_DATAPROTECT_KEY");
        QVERIFY(!saved);
        QCOMPARE(error, QStringLiteral("Не удалось зашифровать токен средствами Windows (DPAPI)"));
        QCOMPARE(contents(path()), before);
        QCOMPARE(store.load(), QStringLiteral("old token"));
    }
};

QTEST_GUILESS_MAIN(TestDeviceTokenStore)
#include "tst_devicetokenstore.moc"
