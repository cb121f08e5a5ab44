#include "app/instancechannel.h"
#include "tests/support/logcapture.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Orv;

class TestInstanceChannel : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    int m_user = 0;

    bool answers() const
    {
        QLocalSocket socket;
        socket.connectToServer(localServerName());
        return socket.waitForConnected(500);
    }

private slots:
    void initTestCase()
    {
        // The channel is a socket in the temporary folder: keep ours apart.
        QVERIFY(m_tmp.isValid());
        qputenv("TMPDIR", QFile::encodeName(m_tmp.path()));
    }

    void init() { qputenv("USERNAME", QStringLiteral("Бухгалтер %1").arg(++m_user).toUtf8()); }

    void nameFollowsTheUser()
    {
        QCOMPARE(localServerName(), QStringLiteral("TellvaneFerrow-Бухгалтер %1").arg(m_user));
        qunsetenv("USERNAME");
        QCOMPARE(localServerName(), QStringLiteral("TellvaneFerrow-"));
    }

    void nobodyListening() { QVERIFY(!sendShowToRunningInstance()); }

    void everyConnectionShows()
    {
        int shown = 0;
        InstanceChannel channel([&shown] { ++shown; });
        channel.listen();
        QVERIFY(sendShowToRunningInstance());
        QTRY_COMPARE(shown, 1);

        // Whatever a client sends, or nothing at all.
        QLocalSocket silent;
        silent.connectToServer(localServerName());
        QVERIFY(silent.waitForConnected(500));
        QTRY_COMPARE(shown, 2);
    }

    void replacesAChannelLeftBehind()
    {
        // What a killed agent leaves: the socket's name taken, nobody answering.
        QFile left(QDir::tempPath() + QLatin1Char('/') + localServerName());
        QVERIFY(left.open(QIODevice::WriteOnly));
        left.close();
        QVERIFY(!sendShowToRunningInstance());

        int shown = 0;
        InstanceChannel channel([&shown] { ++shown; });
        channel.listen();
        QVERIFY(sendShowToRunningInstance());
        QTRY_COMPARE(shown, 1);
    }

    void failureToListenIsLogged()
    {
        // A socket's path has room for about a hundred bytes.
        qputenv("USERNAME", QByteArray(200, 'u'));
        Test::LogCapture log;
        InstanceChannel channel([] {});
        channel.listen();
        QCOMPARE(log.matching(QStringLiteral("[WARN] канал единственного экземпляра не открылся: "))
                     .size(),
                 1);
        QVERIFY(!sendShowToRunningInstance());
    }

    void stopsAnsweringWhenQuitting()
    {
        InstanceChannel channel([] {});
        channel.listen();
        QVERIFY(answers());
        // What the agent does on quitting comes after the channel has closed.
        bool answeredWhileStopping = true;
        QMetaObject::Connection stopping =
            connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
                    [this, &answeredWhileStopping] { answeredWhileStopping = answers(); });
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        QCOMPARE(QCoreApplication::exec(), 0);
        disconnect(stopping);
        QVERIFY(!answeredWhileStopping);
        QVERIFY(!sendShowToRunningInstance());
    }
};

QTEST_GUILESS_MAIN(TestInstanceChannel)
#include "tst_instancechannel.moc"
