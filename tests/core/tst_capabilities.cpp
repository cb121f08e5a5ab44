#include "core/capabilities.h"

#include <QJsonArray>
#include <QTest>

using namespace Orv;

namespace {

UtmStatus utm(const char *endpoint, const char *fsrarId = "")
{
    UtmStatus status;
    status.endpoint = QLatin1String(endpoint);
    status.fsrarId = QLatin1String(fsrarId);
    status.reachable = !status.fsrarId.isEmpty();
    return status;
}

} // namespace

class TestCapabilities : public QObject
{
    Q_OBJECT

private slots:
    // "sign" first, then the УТМ in pool order; of addresses leading to one УТМ only the first
    // is announced, while those not reached yet all are.
    void signFirstThenEachUtmOnce()
    {
        QVERIFY(buildCapabilities({}, {}).isEmpty());
        CertificateInfo a, b;
        a.thumbprint = QStringLiteral("aa");
        b.thumbprint = QStringLiteral("bb");
        const QList<Capability> list = buildCapabilities(
            {b, a, b},
            {utm("http://one", "030000000001"), utm("http://down1"), utm(""),
             utm("http://two", "030000000002"), utm("http://one-again", "030000000001"),
             utm("http://down2"), utm("", "030000000003"), utm("http://three", "030000000003")});
        QCOMPARE(list.value(0).type, QStringLiteral("sign"));
        QCOMPARE(list[0].details, (QJsonObject{{"thumbprints", QJsonArray{"bb", "aa", "bb"}}}));
        QStringList endpoints;
        for (const Capability &capability : list.mid(1)) {
            QCOMPARE(capability.type, QStringLiteral("utm"));
            endpoints.append(capability.details.value(QLatin1String("endpoint")).toString());
        }
        QCOMPARE(endpoints, (QStringList{"http://one", "http://down1", "http://two", "http://down2",
                                         "http://three"}));
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
        QCOMPARE(utmCapability(full).details,
                 (QJsonObject{{"endpoint", "http://127.0.0.1:8080"},
                              {"reachable", true},
                              {"fsrarId", "030000123456"},
                              {"utmVersion", "4.2.0"},
                              {"inn", "7701234567"},
                              {"kpp", "770101001"},
                              {"rsaExpiresAt", "2027-03-01T07:00:00Z"},
                              {"gostExpiresAt", "2026-11-15T00:00:00Z"}}));
        UtmStatus down = utm("http://down");
        down.error = QStringLiteral("УТМ по адресу http://down не отвечает");
        QCOMPARE(utmCapability(down).details,
                 (QJsonObject{
                     {"endpoint", "http://down"}, {"reachable", false}, {"error", down.error}}));
    }

    void errorTextIsCut_data()
    {
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("sent");
        const QString a999 = QString(999, u'а');
        const QString pair = QStringLiteral("\U0001F600");
        QTest::newRow("1500 cut") << QString(1000, u'x') + QString(500, u'y')
                                  << QString(1000, u'x');
        // Half of a surrogate pair is no text at all.
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
