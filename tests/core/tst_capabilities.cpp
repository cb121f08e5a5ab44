#include "core/capabilities.h"

#include <QJsonArray>
#include <QTest>

using namespace Orv;

namespace {

CertificateInfo certificate(const char *thumbprint)
{
    CertificateInfo info;
    info.thumbprint = QLatin1String(thumbprint);
    return info;
}

UtmStatus utm(const char *endpoint, const char *fsrarId = "")
{
    UtmStatus status;
    status.endpoint = QLatin1String(endpoint);
    status.fsrarId = QLatin1String(fsrarId);
    status.reachable = !status.fsrarId.isEmpty();
    return status;
}

QStringList endpoints(const QList<Capability> &capabilities)
{
    QStringList result;
    for (const Capability &capability : capabilities) {
        if (capability.type == QStringLiteral("utm"))
            result.append(capability.details.value(QLatin1String("endpoint")).toString());
    }
    return result;
}

} // namespace

class TestCapabilities : public QObject
{
    Q_OBJECT

private slots:
    void signFirstThenUtmInPoolOrder()
    {
        QVERIFY(buildCapabilities({}, {}).isEmpty());
        QVERIFY(signCapability({}).isEmpty());

        const QList<Capability> list =
            buildCapabilities({certificate("bb"), certificate("aa"), certificate("bb")},
                              {utm("http://b:8080", "030000000002"), utm("http://a:8080")});
        QCOMPARE(list.size(), 3);
        QCOMPARE(list[0].type, QStringLiteral("sign"));
        QCOMPARE(list[0].details, (QJsonObject{{"thumbprints", QJsonArray{"bb", "aa", "bb"}}}));
        QCOMPARE(endpoints(list), (QStringList{"http://b:8080", "http://a:8080"}));
    }

    // Of addresses leading to one УТМ only the first is announced; unknown ones all are.
    void repeatedFsrarIdsAreSkipped()
    {
        const QList<Capability> list =
            buildCapabilities({}, {utm("http://one", "030000000001"), utm("http://down1"), utm(""),
                                   utm("http://two", "030000000002"),
                                   utm("http://one-again", "030000000001"), utm("http://down2"),
                                   utm("", "030000000003"), utm("http://three", "030000000003")});
        QCOMPARE(endpoints(list), (QStringList{"http://one", "http://down1", "http://two",
                                               "http://down2", "http://three"}));
    }

    void utmDetails()
    {
        UtmStatus full = utm("http://127.0.0.1:8080", "030000123456");
        full.version = QStringLiteral("4.2.0");
        full.inn = QStringLiteral("7701234567");
        full.kpp = QStringLiteral("770101001");
        full.rsaExpiresAt = QDateTime::fromString(QStringLiteral("2027-03-01T10:00:00.123+03:00"),
                                                  Qt::ISODateWithMs);
        full.gostExpiresAt = QDateTime(QDate(2026, 11, 15), QTime(0, 0), Qt::UTC);
        full.checkedAt = QDateTime::currentDateTimeUtc();
        QCOMPARE(utmCapability(full).type, QStringLiteral("utm"));
        QCOMPARE(utmCapability(full).details,
                 (QJsonObject{{"endpoint", "http://127.0.0.1:8080"},
                              {"reachable", true},
                              {"fsrarId", "030000123456"},
                              {"utmVersion", "4.2.0"},
                              {"inn", "7701234567"},
                              {"kpp", "770101001"},
                              {"rsaExpiresAt", "2027-03-01T07:00:00Z"},
                              {"gostExpiresAt", "2026-11-15T00:00:00Z"}}));

        UtmStatus never = utm("http://down");
        QCOMPARE(utmCapability(never).details,
                 (QJsonObject{{"endpoint", "http://down"}, {"reachable", false}}));
        never.error = QStringLiteral("УТМ по адресу http://down не отвечает");
        QCOMPARE(utmCapability(never).details.value(QLatin1String("error")).toString(),
                 never.error);
    }

    void errorTextIsCut_data()
    {
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("sent");
        const QString a999 = QString(999, u'а');
        const QString pair = QStringLiteral("\U0001F600");
        QTest::newRow("1000 kept") << QString(1000, u'x') << QString(1000, u'x');
        QTest::newRow("1500 cut") << QString(1000, u'x') + QString(500, u'y')
                                  << QString(1000, u'x');
        QTest::newRow("pair across the cut") << a999 + pair + QStringLiteral("tail") << a999;
        QTest::newRow("pair before the cut")
            << a999.left(998) + pair + QStringLiteral("tail") << a999.left(998) + pair;
    }

    void errorTextIsCut()
    {
        QFETCH(QString, error);
        QFETCH(QString, sent);
        UtmStatus status = utm("http://u");
        status.error = error;
        QCOMPARE(utmCapability(status).details.value(QLatin1String("error")).toString(), sent);
    }
};

QTEST_GUILESS_MAIN(TestCapabilities)
#include "tst_capabilities.moc"
