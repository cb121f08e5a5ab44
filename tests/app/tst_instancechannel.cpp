#include "app/instancechannel.h"
#include "tests/support/logcapture.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Orv;

// A stale socket left by a killed agent is covered where a real one is killed, in the program's
// own tests.
class TestInstanceChannel : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QTemporaryDir m_runtime; // 0700, as a session's runtime folder
    int m_user = 0;

private slots:
    void initTestCase()
    {
        // Sockets go into the temporary and the runtime folders: keep ours apart.
        QVERIFY(m_tmp.isValid() && m_runtime.isValid());
        qputenv("TMPDIR", QFile::encodeName(m_tmp.path()));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    }

    void init() { qputenv("USERNAME", QString("Бухгалтер %1").arg(++m_user).toUtf8()); }

    void everyConnectionShows()
    {
        QCOMPARE(localServerName(),
                 m_runtime.filePath(QString("TellvaneFerrow-Бухгалтер %1").arg(m_user)));
        QVERIFY(!sendShowToRunningInstance());
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

    // Anyone may put a socket into the shared temporary folder, under any user's name.
    void channelIsTheUsersOwn()
    {
        qunsetenv("USERNAME");
        QLocalServer planted;
        QVERIFY(planted.listen(QStringLiteral("TellvaneFerrow-")));
        const QString prefix = m_runtime.filePath(QStringLiteral("TellvaneFerrow-"));
        QVERIFY(localServerName().startsWith(prefix) && localServerName().size() > prefix.size());
        QVERIFY(!sendShowToRunningInstance());
    }

    void failureToListenIsLogged()
    {
        // A socket's path has room for about a hundred bytes.
        qputenv("USERNAME", QByteArray(200, 'u'));
        Test::LogCapture log;
        InstanceChannel([] {}).listen();
        QCOMPARE(log.matching("[WARN] канал единственного экземпляра не открылся: ").size(), 1);
        QVERIFY(!sendShowToRunningInstance());
    }

    void stopsAnsweringWhenQuitting()
    {
        InstanceChannel channel([] {});
        channel.listen();
        QVERIFY(sendShowToRunningInstance());
        // What the agent does on quitting comes after the channel has closed, so that an agent
        // restarted by an update meanwhile does not take this one for a running one and end.
        bool answeredWhileStopping = true;
        QObject stopping;
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &stopping,
                [&] { answeredWhileStopping = sendShowToRunningInstance(); });
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!answeredWhileStopping);
    }
};

QTEST_GUILESS_MAIN(TestInstanceChannel)
#include "tst_instancechannel.moc"
