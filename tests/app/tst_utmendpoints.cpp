#include "app/appconstants.h"
#include "app/utmendpoints.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace Orv;

class TestUtmEndpoints : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void normalizes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("bare host") << QString("localhost") << "http://localhost:8080";
        QTest::newRow("blanks, port, slash")
            << QString("  10.0.0.5:8080/ \t") << "http://10.0.0.5:8080";
        QTest::newRow("https without port")
            << QString("https://10.0.0.5") << "https://10.0.0.5:8080";
        QTest::newRow("slashes after port")
            << QString("http://10.0.0.5:8081//") << "http://10.0.0.5:8081";
        QTest::newRow("blanks only") << QString("   ") << QString();
        // The port goes after the host, not at the end, so that a second pass finds it.
        QTest::newRow("path") << QString("http://h/utm") << "http://h:8080/utm";
        QTest::newRow("query") << QString("Utm.Local?x=1") << "http://Utm.Local:8080?x=1";
        QTest::newRow("case kept") << QString("HTTP://Utm-1.Local/") << "HTTP://Utm-1.Local:8080";
        QTest::newRow("ipv6") << QString("http://[::1]") << "http://[::1]:8080";
        QTest::newRow("user info") << QString("http://u:p@h/a") << "http://u:p@h:8080/a";
    }

    void normalizes()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        const QString once = normalizeUtmEndpoint(text);
        QCOMPARE(once, expected);
        QCOMPARE(normalizeUtmEndpoint(once), once);
    }

    void storesAndMigrates_data()
    {
        QTest::addColumn<QVariant>("legacy");  // invalid: key absent
        QTest::addColumn<QStringList>("list"); // stored over an older list; empty removes the key
        QTest::addColumn<QStringList>("expected");
        const QStringList none, two{"http://a:8080", "http://b:8080"};
        QTest::newRow("legacy moved as stored")
            << QVariant("10.0.0.5:8080/") << none << QStringList{"10.0.0.5:8080/"};
        QTest::newRow("list wins") << QVariant("http://old:8080") << two << two;
        QTest::newRow("empty legacy") << QVariant("") << none << none;
        QTest::newRow("no legacy") << QVariant() << two << two;
    }

    void storesAndMigrates()
    {
        QFETCH(QVariant, legacy);
        QFETCH(QStringList, list);
        QFETCH(QStringList, expected);
        QSettings settings(m_dir.filePath(QTest::currentDataTag()), QSettings::IniFormat);
        if (legacy.isValid())
            settings.setValue(kLegacyUtmEndpointKey, legacy);
        storeUtmEndpoints(settings, {"http://older:8080"});
        storeUtmEndpoints(settings, list);

        migrateLegacyUtmEndpoint(settings);
        QVERIFY(!settings.contains(kLegacyUtmEndpointKey));
        QCOMPARE(readUtmEndpoints(settings), expected);
        QCOMPARE(settings.contains(kUtmEndpointsKey), !expected.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestUtmEndpoints)
#include "tst_utmendpoints.moc"
