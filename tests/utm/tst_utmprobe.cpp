#include "utm/utmprobe.h"
#include "tests/support/fakeutm.h"
#include "tests/support/logcapture.h"

#include <QJsonDocument>
#include <QTest>

#include <optional>

using namespace Orv;
using Orv::Test::FakeUtm;
using Orv::Test::FakeUtmIdentity;

namespace {

UtmStatus check(UtmProbe &probe)
{
    std::optional<UtmStatus> result;
    int calls = 0;
    probe.refresh([&](const UtmStatus &status) {
        result = status;
        ++calls;
    });
    [&] {
        QTRY_VERIFY(result.has_value());
    }();
    [&] {
        QCOMPARE(calls, 1);
    }();
    return result.value_or(UtmStatus());
}

QDateTime utc(const char *iso)
{
    return QDateTime::fromString(QLatin1String(iso), Qt::ISODateWithMs);
}

QByteArray rsaRows(const QByteArray &rows)
{
    return "{\"rows\":[" + rows + "]}";
}

} // namespace

class TestUtmProbe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Key dates without a zone are local time; make local time differ from UTC.
        qputenv("TZ", "Asia/Vladivostok");
    }

    void readsTheFourPages()
    {
        FakeUtm fake;
        FakeUtmIdentity identity;
        identity.version = QStringLiteral("  4.2.0-b1234 \n");
        identity.inn = QStringLiteral("007701234567");
        fake.serveIdentity(identity);
        UtmHttpClient client(fake.baseUrl() + QStringLiteral("/"));
        UtmProbe probe(&client);
        QCOMPARE(probe.status().endpoint, fake.baseUrl());
        const QDateTime before = QDateTime::currentDateTimeUtc();
        const UtmStatus status = check(probe);
        QCOMPARE(status.endpoint, fake.baseUrl());
        QVERIFY(status.reachable);
        QCOMPARE(status.fsrarId, QStringLiteral("030000123456"));
        QCOMPARE(status.version, QStringLiteral("4.2.0-b1234"));
        QCOMPARE(status.inn, QStringLiteral("7701234567"));
        QCOMPARE(status.kpp, QStringLiteral("770101001"));
        QCOMPARE(status.rsaExpiresAt, utc("2027-03-01T07:00:00Z"));
        QCOMPARE(status.gostExpiresAt, utc("2026-11-14T21:00:00Z"));
        QVERIFY(status.error.isEmpty());
        QVERIFY(status.checkedAt >= before.addMSecs(-1000) &&
                status.checkedAt.timeSpec() == Qt::UTC);
        QCOMPARE(probe.status().fsrarId, status.fsrarId);
        QList<QByteArray> order;
        for (const auto &request : fake.requests())
            order.append(request.method + ' ' + request.path.toUtf8());
        QCOMPARE(order, (QList<QByteArray>{"GET /diagnosis", "GET /info/version",
                                           "GET /api/info/list", "GET /api/rsa"}));
    }

    void noClientGivesDefaultStatus()
    {
        UtmProbe probe(nullptr);
        bool called = false;
        probe.refresh([&](const UtmStatus &status) {
            called = true;
            QVERIFY(status.endpoint.isEmpty() && !status.checkedAt.isValid());
        });
        QVERIFY(called);
    }

    void parseDiagnosis_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("fsrarId");
        QTest::newRow("page") << FakeUtm::diagnosisPage(QStringLiteral("030000123456"))
                              << QStringLiteral("030000123456");
        QTest::newRow("blanks") << QByteArray(
                                       "<A><CERTIFICATE><CN> 030000123456\n</CN></CERTIFICATE></A>")
                                << QStringLiteral("030000123456");
        QTest::newRow("first CN decides")
            << QByteArray("<A><CERTIFICATE><CN>RSA</CN><CN>030000123456</CN></CERTIFICATE></A>")
            << QString();
        QTest::newRow("CN before CERTIFICATE ignored")
            << QByteArray(
                   "<A><CN>030000123456</CN><CERTIFICATE><CN>030000654321</CN></CERTIFICATE></A>")
            << QStringLiteral("030000654321");
        QTest::newRow("only before")
            << QByteArray("<A><CN>030000123456</CN><CERTIFICATE/></A>") << QString();
        QTest::newRow("11 digits")
            << QByteArray("<A><CERTIFICATE><CN>03000012345</CN></CERTIFICATE></A>") << QString();
        QTest::newRow("arabic-indic digits")
            << QStringLiteral("<A><CERTIFICATE><CN>٠٣٠٠٠٠١٢٣٤٥٦</CN></CERTIFICATE></A>").toUtf8()
            << QString();
        QTest::newRow("case") << QByteArray(
                                     "<A><certificate><CN>030000123456</CN></certificate></A>")
                              << QString();
        QTest::newRow("broken XML") << QByteArray("<A><CERTIFICATE><C") << QString();
        QTest::newRow("HTML") << QByteArray("<html><body>Hello</body></html>") << QString();
    }

    void parseDiagnosis()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QString, fsrarId);
        QCOMPARE(UtmProbe::parseDiagnosis(xml), fsrarId);
    }

    void parseUtmDate_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QDateTime>("at");
        QTest::newRow("ms and offset")
            << QJsonValue("2026-05-01 12:00:00.250 +0300") << utc("2026-05-01T09:00:00.250Z");
        QTest::newRow("offset") << QJsonValue(" 2026-05-01 12:00:00 +0300 ")
                                << utc("2026-05-01T09:00:00Z");
        QTest::newRow("zone name")
            << QJsonValue("2026-05-01 12:00:00 UTC") << utc("2026-05-01T12:00:00Z");
        QTest::newRow("local time")
            << QJsonValue("2026-05-01 12:00:00") << utc("2026-05-01T02:00:00Z");
        QTest::newRow("ISO") << QJsonValue("2026-05-01T12:00:00Z") << utc("2026-05-01T12:00:00Z");
        QTest::newRow("ISO ms offset")
            << QJsonValue("2026-05-01T12:00:00.5+03:00") << utc("2026-05-01T09:00:00.500Z");
        QTest::newRow("date only") << QJsonValue("01.05.2026") << QDateTime();
        QTest::newRow("empty") << QJsonValue("  ") << QDateTime();
        QTest::newRow("number") << QJsonValue(1777600000) << QDateTime();
    }

    void parseUtmDate()
    {
        QFETCH(QJsonValue, value);
        QFETCH(QDateTime, at);
        const QDateTime parsed = Orv::parseUtmDate(value);
        QCOMPARE(parsed, at);
        if (at.isValid())
            QCOMPARE(parsed.timeSpec(), Qt::UTC);
    }

    void parseInfoListKeepsWhatIsMissing()
    {
        UtmStatus status;
        status.rsaExpiresAt = utc("2020-01-01T00:00:00Z");
        status.gostExpiresAt = utc("2021-01-01T00:00:00Z");
        UtmProbe::parseInfoList(
            R"({"rsa":{"expireDate":"never"},"gost":{"expireDate":"2026-05-01 12:00:00 +0000"}})",
            &status);
        QCOMPARE(status.rsaExpiresAt, utc("2020-01-01T00:00:00Z"));
        QCOMPARE(status.gostExpiresAt, utc("2026-05-01T12:00:00Z"));
        UtmProbe::parseInfoList("[1,2]", &status);
        QCOMPARE(status.gostExpiresAt, utc("2026-05-01T12:00:00Z"));
    }

    void normalizeInn_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("inn");
        QTest::newRow("10") << QStringLiteral(" 7701234567 ") << QStringLiteral("7701234567");
        QTest::newRow("12") << QStringLiteral("770123456789") << QStringLiteral("770123456789");
        QTest::newRow("12 with 00")
            << QStringLiteral("007701234567") << QStringLiteral("7701234567");
        QTest::newRow("11") << QStringLiteral("77012345678") << QString();
        QTest::newRow("letters") << QStringLiteral("77012345AB") << QString();
        QTest::newRow("empty") << QString() << QString();
    }

    void normalizeInn()
    {
        QFETCH(QString, text);
        QFETCH(QString, inn);
        QCOMPARE(Orv::normalizeInn(text), inn);
    }

    void parseRsaRows_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("inn");
        QTest::addColumn<QString>("kpp");
        QTest::newRow("owner by Owner_ID")
            << rsaRows(R"({"Owner_ID":"030000999999","INN":"7700000000","KPP":"770001001"},)"
                       R"({"Owner_ID":"030000123456","INN":"7701234567","KPP":" 770101001 "})")
            << QStringLiteral("7701234567") << QStringLiteral("770101001");
        QTest::newRow("owner by pass_owner_id")
            << rsaRows(R"({"pass_owner_id":"030000123456","Owner_ID":"x","INN":"7701234567"})")
            << QStringLiteral("7701234567") << QString();
        QTest::newRow("INN as a number")
            << rsaRows(R"({"Owner_ID":"030000123456","INN":7701234567})")
            << QStringLiteral("7701234567") << QString();
        QTest::newRow("12 digits with 00")
            << rsaRows(R"({"Owner_ID":"030000123456","INN":"007701234567","KPP":"770101001"})")
            << QStringLiteral("7701234567") << QStringLiteral("770101001");
        QTest::newRow("KPP of 8 digits")
            << rsaRows(R"({"Owner_ID":"030000123456","INN":"7701234567","KPP":"77010100"})")
            << QStringLiteral("7701234567") << QString();
        QTest::newRow("bad INN keeps old")
            << rsaRows(R"({"Owner_ID":"030000123456","INN":"12345","KPP":"770101001"})")
            << QStringLiteral("5000000000") << QStringLiteral("500001001");
        QTest::newRow("no owner row keeps old")
            << rsaRows(R"({"Owner_ID":"030000999999","INN":"7701234567"},{"INN":"7701234567"})")
            << QStringLiteral("5000000000") << QStringLiteral("500001001");
        QTest::newRow("not JSON") << QByteArray("<rows/>") << QStringLiteral("5000000000")
                                  << QStringLiteral("500001001");
    }

    void parseRsaRows()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, inn);
        QFETCH(QString, kpp);
        UtmStatus status;
        status.fsrarId = QStringLiteral("030000123456");
        status.inn = QStringLiteral("5000000000");
        status.kpp = QStringLiteral("500001001");
        UtmProbe::parseRsaRows(json, &status);
        QCOMPARE(status.inn, inn);
        QCOMPARE(status.kpp, kpp);
    }

    void versionIsTrimmedAndCut()
    {
        FakeUtm fake;
        fake.serveIdentity();
        const QByteArray long100 = QByteArray(100, 'v');
        fake.answer("GET", "/info/version", 200, "  \t" + long100 + "  \n", "text/plain");
        UtmHttpClient client(fake.baseUrl());
        UtmProbe probe(&client);
        QCOMPARE(check(probe).version, QString::fromLatin1(long100.left(64)));
    }

    // "/diagnosis" failing tells why and keeps what the last good check learnt.
    void unreachable_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("detail"); // empty: the network layer's own text
        QTest::newRow("no answer") << 0 << QByteArray() << QString();
        QTest::newRow("404") << 404 << QByteArray("nope") << QStringLiteral("код 404");
        QTest::newRow("not a УТМ") << 200 << QByteArray("<html/>") << QStringLiteral("-");
    }

    void unreachable()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, detail);
        FakeUtm fake;
        fake.serveIdentity();
        const QString url = fake.baseUrl();
        UtmHttpClient client(url);
        UtmProbe probe(&client);
        const UtmStatus good = check(probe);
        QVERIFY(good.reachable);

        if (status == 0)
            fake.shutDown();
        else
            fake.answer("GET", "/diagnosis", status, body);
        const UtmStatus bad = check(probe);
        QVERIFY(!bad.reachable);
        QVERIFY(bad.checkedAt >= good.checkedAt);
        if (detail == QStringLiteral("-")) {
            QCOMPARE(
                bad.error,
                QStringLiteral("По адресу %1 отвечает не УТМ: в /diagnosis нет FSRAR_ID").arg(url));
        } else {
            const QString prefix = QStringLiteral("УТМ по адресу %1 не отвечает: ").arg(url);
            const QString suffix = QStringLiteral(". Проверьте, что УТМ запущен, а адрес этого "
                                                  "компьютера внесён в «Фильтр IP-адресов» УТМ");
            QVERIFY2(bad.error.startsWith(prefix) && bad.error.endsWith(suffix),
                     qPrintable(bad.error));
            const QString middle =
                bad.error.mid(prefix.size(), bad.error.size() - prefix.size() - suffix.size());
            if (detail.isEmpty())
                QVERIFY(!middle.isEmpty());
            else
                QCOMPARE(middle, detail);
        }
        QCOMPARE(bad.fsrarId, good.fsrarId);
        QCOMPARE(bad.version, good.version);
        QCOMPARE(bad.inn, good.inn);
        QCOMPARE(bad.rsaExpiresAt, good.rsaExpiresAt);
        QCOMPARE(fake.requestsTo("/info/version").size(), 1);
    }

    void laterPagesFailingKeepOldValues()
    {
        FakeUtm fake;
        fake.serveIdentity();
        UtmHttpClient client(fake.baseUrl());
        UtmProbe probe(&client);
        const UtmStatus good = check(probe);
        fake.answer("GET", "/info/version", 500, "");
        fake.answer("GET", "/api/info/list", 200, "not json");
        fake.answer("GET", "/api/rsa", 404, "");
        const UtmStatus again = check(probe);
        QVERIFY(again.reachable && again.error.isEmpty());
        QCOMPARE(again.version, good.version);
        QCOMPARE(again.gostExpiresAt, good.gostExpiresAt);
        QCOMPARE(again.kpp, good.kpp);
    }

    // Another УТМ at the same address: nothing known of the old one may stay attached to it.
    void changedFsrarIdDropsOldFacts()
    {
        Test::LogCapture log;
        FakeUtm fake;
        fake.serveIdentity();
        UtmHttpClient client(fake.baseUrl());
        UtmProbe probe(&client);
        QVERIFY(check(probe).reachable);

        fake.answer("GET", "/diagnosis", 200,
                    FakeUtm::diagnosisPage(QStringLiteral("030000654321")));
        fake.answer("GET", "/info/version", 503, "");
        fake.answer("GET", "/api/info/list", 503, "");
        fake.answer("GET", "/api/rsa", 503, "");
        const UtmStatus status = check(probe);
        QCOMPARE(status.fsrarId, QStringLiteral("030000654321"));
        QVERIFY(status.reachable);
        QVERIFY(status.version.isEmpty() && status.inn.isEmpty() && status.kpp.isEmpty());
        QVERIFY(!status.rsaExpiresAt.isValid() && !status.gostExpiresAt.isValid());
        const QStringList warned = log.matching(QStringLiteral("FSRAR_ID УТМ сменился"));
        QCOMPARE(warned.size(), 1);
        QVERIFY(warned[0].endsWith(
            QStringLiteral("[WARN] FSRAR_ID УТМ сменился: 030000123456 → 030000654321")));

        FakeUtmIdentity second;
        second.fsrarId = QStringLiteral("030000654321");
        second.inn = QStringLiteral("7800000000");
        fake.serveIdentity(second);
        QCOMPARE(check(probe).inn, QStringLiteral("7800000000"));
        QCOMPARE(log.matching(QStringLiteral("FSRAR_ID УТМ сменился")).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestUtmProbe)
#include "tst_utmprobe.moc"
