#include "platform/dataprotect.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Orv;

namespace {

const QString kFailure = QStringLiteral("Не удалось зашифровать токен средствами Windows (DPAPI)");

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

QByteArray utf16le(const QString &text)
{
    QByteArray bytes;
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xff));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

const QFileDevice::Permissions kOwnerReadWrite = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
const QFileDevice::Permissions kAnyoneElse = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                             QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                             QFileDevice::WriteOther | QFileDevice::ExeOther;

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
        QTest::newRow("token") << QByteArray("a3f9c0d2e1b4a5968778695a4b3c2d1e0f");
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
        QVERIFY2(!blob.isEmpty(), qPrintable(error));
        QVERIFY(error.isEmpty());
        QCOMPARE(unprotectData(blob), data);
        QVERIFY(!blob.contains(data));
        QVERIFY(blob.contains(utf16le(QStringLiteral("orvagent device token"))));
    }

    void blobsAreRandomised()
    {
        const QByteArray data("same token");
        const QByteArray one = protectData(data);
        const QByteArray two = protectData(data);
        QVERIFY(!one.isEmpty() && !two.isEmpty());
        QVERIFY(one != two);
        QCOMPARE(unprotectData(one), data);
        QCOMPARE(unprotectData(two), data);
    }

    void keyIsOwnerOnlyAndKept()
    {
        const QByteArray blob = protectData("x");
        QVERIFY(QFile::exists(keyFile()));
        QFile key(keyFile());
        QCOMPARE(key.permissions() & (kOwnerReadWrite | QFileDevice::ExeOwner | kAnyoneElse),
                 kOwnerReadWrite);
        QCOMPARE(key.size(), 32);
        const QString folder = QFileInfo(keyFile()).absolutePath();
        QCOMPARE(QFile::permissions(folder) & (QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner | kAnyoneElse),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QVERIFY(key.open(QIODevice::ReadOnly));
        const QByteArray bytes = key.readAll();
        QVERIFY(!blob.contains(bytes));
        protectData("y"); // the next call finds the same key
        QFile again(keyFile());
        QVERIFY(again.open(QIODevice::ReadOnly));
        QCOMPARE(again.readAll(), bytes);
        QCOMPARE(unprotectData(blob), QByteArray("x"));
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
        QByteArray noise(blob.size(), Qt::Uninitialized);
        for (char &c : noise)
            c = char(QRandomGenerator::global()->bounded(256));
        QVERIFY(unprotectData(noise).isEmpty());
        QCOMPARE(unprotectData(blob), QByteArray("secret token"));
    }

    void anotherUserCannotOpen()
    {
        const QByteArray mine = protectData("mine");
        QByteArray theirs;
        {
            OtherUser other(m_home.filePath(QStringLiteral("other/dataprotect.key")));
            theirs = protectData("theirs");
            QVERIFY(!theirs.isEmpty());
            QVERIFY(unprotectData(mine).isEmpty());
            QCOMPARE(unprotectData(theirs), QByteArray("theirs"));
        }
        QVERIFY(unprotectData(theirs).isEmpty());
        QCOMPARE(unprotectData(mine), QByteArray("mine"));
    }

    void openingCreatesNoKey()
    {
        const QByteArray blob = protectData("z");
        const QString fresh = m_home.filePath(QStringLiteral("fresh/dataprotect.key"));
        OtherUser other(fresh);
        QVERIFY(unprotectData(blob).isEmpty());
        QVERIFY(!QFile::exists(fresh));
    }

    void unusableKey_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("key readable by the group") << "group";
        QTest::newRow("key is a symbolic link") << "link";
        QTest::newRow("key of the wrong size") << "size";
        QTest::newRow("folder is a file") << "folder-file";
        QTest::newRow("folder writable by others") << "folder-open";
    }

    void unusableKey()
    {
        QFETCH(QString, fault);
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("keys"));
        const QString key = folder + QStringLiteral("/user.key");
        OtherUser other(key);
        QByteArray blob; // made with the key before it goes bad, where there is one
        if (fault == QLatin1String("group") || fault == QLatin1String("link") ||
            fault == QLatin1String("size")) {
            blob = protectData("before");
            QCOMPARE(unprotectData(blob), QByteArray("before"));
        }
        if (fault == QLatin1String("group")) {
            QVERIFY(QFile::setPermissions(key, kOwnerReadWrite | QFileDevice::ReadGroup));
        } else if (fault == QLatin1String("link")) {
            QVERIFY(QFile::rename(key, key + QStringLiteral(".real")));
            QVERIFY(QFile::link(key + QStringLiteral(".real"), key));
        } else if (fault == QLatin1String("size")) {
            QFile file(key);
            QVERIFY(file.open(QIODevice::Append));
            file.write("!");
        } else if (fault == QLatin1String("folder-file")) {
            QFile file(folder);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else {
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions(0x7777)));
        }
        QString error;
        QVERIFY(protectData("after", &error).isEmpty());
        QCOMPARE(error, kFailure);
        if (!blob.isEmpty())
            QVERIFY(unprotectData(blob).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestDataProtect)
#include "tst_dataprotect.moc"
