#include "platform/dataprotect.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

using namespace Orv;

namespace {

// Makes the protection use another key file while it lives: another user, as far as blobs go.
class OtherUser
{
public:
    explicit OtherUser(const QString &keyFile)
    {
        qputenv("ORV_DATAPROTECT_KEY", QFile::encodeName(keyFile));
    }
    ~OtherUser() { qunsetenv("ORV_DATAPROTECT_KEY"); }
};

enum KeyFault { GroupReadable, Link, WrongSize, FolderIsFile, FolderOpen };

// Qt's permission bits of the owner (0x7000), the group (0x0070) and others (0x0007).
constexpr int kOwnerGroupOther = 0x7077;

} // namespace

class TestDataProtect : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

    QString keyFile() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
               QStringLiteral("/tellvane-orv/dataprotect.key");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qunsetenv("ORV_DATAPROTECT_KEY");
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(keyFile().startsWith(m_home.path()));
    }

    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("utf-8") << QStringLiteral("токен ключ 😀").toUtf8();
        QTest::newRow("binary with zeros") << QByteArray("\0\1\2\0\xff\xfe", 6);
        QByteArray large(64 * 1024, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(large.data()), large.size() / 4);
        QTest::newRow("64 KiB") << large;
    }

    void roundTrip()
    {
        QFETCH(QByteArray, data);
        QString error;
        const QByteArray blob = protectData(data, &error);
        QVERIFY2(!blob.isEmpty() && error.isEmpty(), qPrintable(error));
        QCOMPARE(unprotectData(blob), data);
        QVERIFY(!blob.contains(data));
        const QByteArray description =
            QStringEncoder(QStringConverter::Utf16LE).encode(u"orvagent device token");
        QVERIFY(blob.contains(description));
        const QByteArray again = protectData(data); // randomised
        QVERIFY(again != blob);
        QCOMPARE(unprotectData(again), data);
    }

    void keyIsOwnerOnlyAndKept()
    {
        const QByteArray blob = protectData("x");
        QFile key(keyFile());
        QCOMPARE(int(key.permissions()) & kOwnerGroupOther, 0x6000);
        QCOMPARE(key.size(), 32);
        const QString folder = QFileInfo(keyFile()).absolutePath();
        QCOMPARE(int(QFile::permissions(folder)) & kOwnerGroupOther, 0x7000);
        QVERIFY(key.open(QIODevice::ReadOnly));
        const QByteArray bytes = key.readAll();
        key.close();
        QVERIFY(!blob.contains(bytes));
        protectData("y"); // the next call finds the same key
        QVERIFY(key.open(QIODevice::ReadOnly));
        QCOMPARE(key.readAll(), bytes);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 1); // no leftovers
    }

    void damagedBytesOpenToNothing()
    {
        const QByteArray blob = protectData("secret token");
        QVERIFY(!blob.isEmpty());
        for (qsizetype i = 0; i < blob.size(); ++i) {
            for (int bit : {0, 7}) {
                QByteArray damaged = blob;
                damaged[i] = char(damaged[i] ^ (1 << bit));
                if (!unprotectData(damaged).isEmpty())
                    QFAIL(qPrintable(
                        QStringLiteral("bit %1 of byte %2 went unnoticed").arg(bit).arg(i)));
            }
        }
        for (qsizetype size = 0; size < blob.size(); ++size) {
            if (!unprotectData(blob.left(size)).isEmpty())
                QFAIL(qPrintable(QStringLiteral("cut to %1 bytes went unnoticed").arg(size)));
        }
        QVERIFY(unprotectData(blob + '\0').isEmpty());
        QCOMPARE(unprotectData(blob), QByteArray("secret token"));
    }

    void anotherUserCannotOpen()
    {
        const QByteArray mine = protectData("mine");
        QByteArray theirs;
        {
            const QString theirKey = m_home.filePath(QStringLiteral("other/dataprotect.key"));
            OtherUser other(theirKey);
            QVERIFY(unprotectData(mine).isEmpty());
            QVERIFY(!QFile::exists(theirKey)); // opening creates no key
            theirs = protectData("theirs");
            QCOMPARE(unprotectData(theirs), QByteArray("theirs"));
        }
        QVERIFY(unprotectData(theirs).isEmpty());
        QCOMPARE(unprotectData(mine), QByteArray("mine"));
    }

    void unusableKey_data()
    {
        QTest::addColumn<int>("fault");
        QTest::newRow("key readable by the group") << int(GroupReadable);
        QTest::newRow("key is a symbolic link") << int(Link);
        QTest::newRow("key of the wrong size") << int(WrongSize);
        QTest::newRow("folder is a file") << int(FolderIsFile);
        QTest::newRow("folder writable by others") << int(FolderOpen);
    }

    void unusableKey()
    {
        QFETCH(int, fault);
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("keys"));
        const QString key = folder + QStringLiteral("/user.key");
        OtherUser other(key);
        // Made with the key before it goes bad, where there is one; it must not open after.
        const QByteArray blob = fault <= WrongSize ? protectData("before") : QByteArray();
        QCOMPARE(unprotectData(blob), fault <= WrongSize ? QByteArray("before") : QByteArray());
        QFile file(fault == FolderIsFile ? folder : key);
        switch (fault) {
        case GroupReadable:
            QVERIFY(file.setPermissions(QFileDevice::Permissions(0x6640)));
            break;
        case Link:
            QVERIFY(file.rename(key + QStringLiteral(".real")) && file.link(key));
            break;
        case WrongSize:
        case FolderIsFile:
            QVERIFY(file.open(QIODevice::Append) && file.write("!") == 1);
            break;
        default:
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions(0x7777)));
        }
        file.close();
        QString error;
        QVERIFY(protectData("after", &error).isEmpty());
        QCOMPARE(error, QStringLiteral("Не удалось зашифровать токен средствами Windows (DPAPI)"));
        QVERIFY(unprotectData(blob).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestDataProtect)
#include "tst_dataprotect.moc"
