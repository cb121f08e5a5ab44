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
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("config"))));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("data"))));
        QCoreApplication::setOrganizationName(QStringLiteral("Tellvane"));
        QCoreApplication::setApplicationName(QStringLiteral("Tellvane Orv Agent"));
    }

    void watchingChangesOnlyOnNewValues()
    {
        AppController agent;
        HostController host(&agent, QString());
        QSignalSpy changed(&host, &HostController::changed);
        QCOMPARE(host.property("watching").toBool(), false);

        QVERIFY(host.setProperty("watching", false));
        QCOMPARE(changed.size(), 0);
        QVERIFY(host.setProperty("watching", true));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(host.watching(), true);
        host.setWatching(true);
        QCOMPARE(changed.size(), 1);
        host.setWatching(false);
        QCOMPARE(changed.size(), 2);
        QCOMPARE(host.watching(), false);
    }

    void followsTheAgentController()
    {
        AppController agent;
        HostController host(&agent, QStringLiteral("file:///srv/utmhost/manifest.json"));
        QSignalSpy changed(&host, &HostController::changed);
        agent.setLastMessage(QStringLiteral("ВМ запущена"));
        QCOMPARE(changed.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestHostController)
#include "tst_hostcontroller.moc"
