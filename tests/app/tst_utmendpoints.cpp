#include "app/appconstants.h"
#include "app/utmendpoints.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace Orv;

class TestUtmEndpoints : public QObject
{
    Q_OBJECT

private slots:
    void normalizes_data();
    void normalizes();
    void emptyListRemovesKey();
    void migratesLegacyKey_data();
    void migratesLegacyKey();

private:
    QTemporaryDir m_dir;
};

void TestUtmEndpoints::normalizes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("bare host") << "localhost"
                               << "http://localhost:8080";
    QTest::newRow("blanks, port, slash") << "  10.0.0.5:8080/ \t"
                                         << "http://10.0.0.5:8080";
    QTest::newRow("https without port") << "https://10.0.0.5"
                                        << "https://10.0.0.5:8080";
    QTest::newRow("slashes after port") << "http://10.0.0.5:8081//"
                                        << "http://10.0.0.5:8081";
    QTest::newRow("blanks only") << "   "
                                 << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("path keeps the port at the host") << "http://h/utm"
                                                     << "http://h:8080/utm";
    QTest::newRow("query") << "Utm.Local?x=1"
                           << "http://Utm.Local:8080?x=1";
    QTest::newRow("case kept") << "HTTP://Utm-1.Local/"
                               << "HTTP://Utm-1.Local:8080";
    QTest::newRow("ipv6") << "http://[::1]"
                          << "http://[::1]:8080";
    QTest::newRow("user info") << "http://u:p@h/a"
                               << "http://u:p@h:8080/a";
}

void TestUtmEndpoints::normalizes()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    const QString once = normalizeUtmEndpoint(text);
    QCOMPARE(once, expected);
    QCOMPARE(normalizeUtmEndpoint(once), once);
}

void TestUtmEndpoints::emptyListRemovesKey()
{
    QSettings settings(m_dir.filePath("empty.ini"), QSettings::IniFormat);
    const QStringList two{"http://a:8080", "http://b:8080"};
    storeUtmEndpoints(settings, two);
    QCOMPARE(readUtmEndpoints(settings), two);
    storeUtmEndpoints(settings, {"http://a:8080"});
    QCOMPARE(readUtmEndpoints(settings), QStringList{"http://a:8080"});
    storeUtmEndpoints(settings, {});
    QVERIFY(!settings.contains(kUtmEndpointsKey));
    QVERIFY(readUtmEndpoints(settings).isEmpty());
}

void TestUtmEndpoints::migratesLegacyKey_data()
{
    QTest::addColumn<QVariant>("legacy");  // invalid: key absent
    QTest::addColumn<QStringList>("list"); // empty: key absent
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("moved as stored")
        << QVariant("10.0.0.5:8080/") << QStringList() << QStringList{"10.0.0.5:8080/"};
    QTest::newRow("list wins") << QVariant("http://old:8080") << QStringList{"http://new:8080"}
                               << QStringList{"http://new:8080"};
    QTest::newRow("empty legacy") << QVariant("") << QStringList() << QStringList();
    QTest::newRow("no legacy") << QVariant() << QStringList{"http://a:8080"}
                               << QStringList{"http://a:8080"};
}

void TestUtmEndpoints::migratesLegacyKey()
{
    QFETCH(QVariant, legacy);
    QFETCH(QStringList, list);
    QFETCH(QStringList, expected);
    QSettings settings(m_dir.filePath(QString("%1.ini").arg(QTest::currentDataTag())),
                       QSettings::IniFormat);
    if (legacy.isValid())
        settings.setValue(kLegacyUtmEndpointKey, legacy);
    storeUtmEndpoints(settings, list);

    migrateLegacyUtmEndpoint(settings);
    QVERIFY(!settings.contains(kLegacyUtmEndpointKey));
    QCOMPARE(readUtmEndpoints(settings), expected);
    QCOMPARE(settings.contains(kUtmEndpointsKey), !expected.isEmpty());
}

QTEST_GUILESS_MAIN(TestUtmEndpoints)
#include "tst_utmendpoints.moc"
