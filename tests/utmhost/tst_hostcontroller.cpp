#include "app/appcontroller.h"
#include "utmhost/hostcontroller.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Orv;

class TestHostController : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath("config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath("data")));
        QCoreApplication::setOrganizationName("Tellvane");
        QCoreApplication::setApplicationName("Tellvane Orv Agent");
    }

    // The window writes "watching" and binds to it through "changed".
    void changesOnNewWatchingAndWithTheAgent()
    {
        AppController agent;
        HostController host(&agent, "file:///srv/utmhost/manifest.json");
        QSignalSpy changed(&host, &HostController::changed);
        QVERIFY(host.setProperty("watching", false));
        QCOMPARE(changed.size(), 0);
        QVERIFY(host.setProperty("watching", true));
        host.setWatching(true);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(host.property("watching"), true);

        agent.setLastMessage("ВМ запущена");
        QCOMPARE(changed.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestHostController)
#include "tst_hostcontroller.moc"
