#include "utm/utmprobe.h"
#include "tests/support/fakeutm.h"
#include "tests/support/logcapture.h"

#include <QTest>

using namespace Orv;
using Orv::Test::FakeUtm;
using Orv::Test::FakeUtmIdentity;

namespace {

// One check, to its one completion.
UtmStatus check(UtmProbe &probe)
{
    QList<UtmStatus> done;
    probe.refresh([&done](const UtmStatus &status) { done.append(status); });
    if (!QTest::qWaitFor([&done] { return !done.isEmpty(); }))
        QTest::qFail("no completion came", __FILE__, __LINE__);
    return done.value(0);
}

QDateTime utc(const char *iso)
{
    return QDateTime::fromString(QLatin1String(iso), Qt::ISODateWithMs);
}

// A scripted УТМ with its client and probe, checked once.
struct Checked
{
    explicit Checked(const FakeUtmIdentity &identity = {})
    {
        fake.serveIdentity(identity);
        first = check(probe);
    }
    FakeUtm fake;
    UtmHttpClient client{fake.baseUrl()};
    UtmProbe probe{&client};
    UtmStatus first;
};

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
        FakeUtmIdentity identity;
        identity.version = QStringLiteral("  \t") + QString(100, u'v') + QStringLiteral("  \n");
        identity.inn = QStringLiteral("007701234567");
        const QDateTime before = QDateTime::currentDateTimeUtc();
        Checked utm(identity);
        const UtmStatus &status = utm.first;
        QCOMPARE(status.endpoint, utm.fake.baseUrl());
        QVERIFY(status.reachable && status.error.isEmpty());
        QCOMPARE(status.fsrarId, QStringLiteral("030000123456"));
        QCOMPARE(status.version, QString(64, u'v'));
        QCOMPARE(status.inn, QStringLiteral("7701234567"));
        QCOMPARE(status.kpp, QStringLiteral("770101001"));
        QCOMPARE(status.rsaExpiresAt, utc("2027-03-01T07:00:00Z"));
        QCOMPARE(status.gostExpiresAt, utc("2026-11-14T21:00:00Z"));
        QVERIFY(status.checkedAt >= before.addMSecs(-1000) &&
                status.checkedAt.timeSpec() == Qt::UTC);
        QList<QByteArray> order;
        for (const auto &request : utm.fake.requests())
            order.append(request.method + ' ' + request.path.toUtf8());
        QCOMPARE(order, (QList<QByteArray>{"GET /diagnosis", "GET /info/version",
                                           "GET /api/info/list", "GET /api/rsa"}));
    }

    void parseDiagnosis_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<bool>("found"); // the FSRAR ID 030000123456
        const auto certificate = [](const char *inner) {
            return "<A><CERTIFICATE>" + QByteArray(inner) + "</CERTIFICATE></A>";
        };
        QTest::newRow("blanks") << certificate("<CN> 030000123456\n</CN>") << true;
        QTest::newRow("first CN decides")
            << certificate("<CN>RSA</CN><CN>030000123456</CN>") << false;
        QTest::newRow("CN before CERTIFICATE ignored")
            << "<A><CN>030000654321</CN>" + certificate("<CN>030000123456</CN>") + "</A>" << true;
        QTest::newRow("11 digits") << certificate("<CN>03000012345</CN>") << false;
        QTest::newRow("arabic-indic digits") << certificate("<CN>٠٣٠٠٠٠١٢٣٤٥٦</CN>") << false;
        QTest::newRow("broken XML") << QByteArray("<A><CERTIFICATE><C") << false;
    }

    // A probe without an address to ask answers, once, that there is nothing to reach.
    void withoutClient()
    {
        UtmProbe probe(nullptr);
        QList<UtmStatus> answers;
        probe.refresh([&answers](const UtmStatus &status) { answers.append(status); });
        QCoreApplication::processEvents();
        QCOMPARE(answers.size(), 1);
        QVERIFY(!answers[0].reachable);
        QVERIFY(answers[0].endpoint.isEmpty());
    }

    void parseDiagnosis()
    {
        QFETCH(QByteArray, xml);
        QFETCH(bool, found);
        QCOMPARE(UtmProbe::parseDiagnosis(xml), found ? QStringLiteral("030000123456") : QString());
    }

    void parseUtmDate_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QDateTime>("at");
        QTest::newRow("ms and offset")
            << QJsonValue("2026-05-01 12:00:00.250 +0300") << utc("2026-05-01T09:00:00.250Z");
        QTest::newRow("zone name, blanks")
            << QJsonValue(" 2026-05-01 12:00:00 UTC ") << utc("2026-05-01T12:00:00Z");
        QTest::newRow("local time")
            << QJsonValue("2026-05-01 12:00:00") << utc("2026-05-01T02:00:00Z");
        QTest::newRow("ISO ms offset")
            << QJsonValue("2026-05-01T12:00:00.5+03:00") << utc("2026-05-01T09:00:00.500Z");
        QTest::newRow("date only") << QJsonValue("01.05.2026") << QDateTime();
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

    // The owner row gives INN and KPP; anything unusable keeps the values known before.
    void parseRsaRows_data()
    {
        QTest::addColumn<QByteArray>("rows");
        QTest::addColumn<QString>("inn");
        QTest::addColumn<QString>("kpp");
        const QString oldInn = QStringLiteral("5000000000");
        const QString oldKpp = QStringLiteral("500001001");
        QTest::newRow("owner by Owner_ID")
            << QByteArray(R"({"Owner_ID":"030000999999","INN":"7700000000","KPP":"770001001"},)"
                          R"({"Owner_ID":"030000123456","INN":" 7701234567","KPP":" 770101001 "})")
            << QStringLiteral("7701234567") << QStringLiteral("770101001");
        QTest::newRow("owner by pass_owner_id, INN as a number")
            << QByteArray(R"({"pass_owner_id":"030000123456","Owner_ID":"x","INN":7701234567})")
            << QStringLiteral("7701234567") << QString();
        QTest::newRow("12 digits, KPP of 8")
            << QByteArray(R"({"Owner_ID":"030000123456","INN":"770123456789","KPP":"77010100"})")
            << QStringLiteral("770123456789") << QString();
        QTest::newRow("11 digits keep old")
            << QByteArray(R"({"Owner_ID":"030000123456","INN":"77012345678","KPP":"770101001"})")
            << oldInn << oldKpp;
        QTest::newRow("no owner row keeps old")
            << QByteArray(R"({"Owner_ID":"030000999999","INN":"7701234567"},{"INN":"7701234567"})")
            << oldInn << oldKpp;
    }

    void parseRsaRows()
    {
        QFETCH(QByteArray, rows);
        QFETCH(QString, inn);
        QFETCH(QString, kpp);
        UtmStatus status;
        status.fsrarId = QStringLiteral("030000123456");
        status.inn = QStringLiteral("5000000000");
        status.kpp = QStringLiteral("500001001");
        UtmProbe::parseRsaRows("{\"rows\":[" + rows + "]}", &status);
        QCOMPARE(status.inn, inn);
        QCOMPARE(status.kpp, kpp);
    }

    // A second check: "/diagnosis" failing tells why, later pages failing change nothing, and
    // what was learnt stays, unless another УТМ answers at the address now.
    void recheck_data()
    {
        QTest::addColumn<int>("status"); // of "/diagnosis"; 0: nobody listens any more
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error"); // %1: the address; "*": the network layer's text
        QTest::addColumn<QString>("fsrarId");
        const QString first = QStringLiteral("030000123456");
        const QString other = QStringLiteral("030000654321");
        QTest::newRow("no answer") << 0 << QByteArray() << QStringLiteral("*") << first;
        QTest::newRow("404") << 404 << QByteArray("nope")
                             << QStringLiteral("УТМ по адресу %1 не отвечает: код 404. Проверьте, "
                                               "что УТМ запущен, а адрес этого компьютера внесён "
                                               "в «Фильтр IP-адресов» УТМ")
                             << first;
        QTest::newRow("not a УТМ")
            << 200 << QByteArray("<html/>")
            << QStringLiteral("По адресу %1 отвечает не УТМ: в /diagnosis нет FSRAR_ID") << first;
        QTest::newRow("later pages fail")
            << 200 << FakeUtm::diagnosisPage(first) << QString() << first;
        QTest::newRow("another УТМ") << 200 << FakeUtm::diagnosisPage(other) << QString() << other;
    }

    void recheck()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        QFETCH(QString, fsrarId);
        Test::LogCapture log;
        Checked utm;
        const QString url = utm.fake.baseUrl();
        utm.fake.answer("GET", "/info/version", 500, "");
        utm.fake.answer("GET", "/api/info/list", 200, R"({"rsa":{"expireDate":"never"}})");
        utm.fake.answer("GET", "/api/rsa", 404, "");
        if (status == 0)
            utm.fake.shutDown();
        else
            utm.fake.answer("GET", "/diagnosis", status, body);
        const UtmStatus again = check(utm.probe);
        QCOMPARE(again.reachable, error.isEmpty());
        QVERIFY(again.checkedAt >= utm.first.checkedAt);
        if (error == QLatin1String("*")) {
            QVERIFY2(
                again.error.startsWith(QStringLiteral("УТМ по адресу %1 не отвечает: ").arg(url)),
                qPrintable(again.error));
            QVERIFY(again.error.size() > UtmProbe::unreachableText(url, {}).size());
        } else {
            QCOMPARE(again.error, error.isEmpty() ? error : error.arg(url));
        }
        QCOMPARE(utm.fake.requestsTo("/info/version").size(), again.reachable ? 2 : 1);
        QCOMPARE(again.fsrarId, fsrarId);
        const UtmStatus kept = fsrarId == utm.first.fsrarId ? utm.first : UtmStatus();
        QCOMPARE(again.version, kept.version);
        QCOMPARE(again.inn, kept.inn);
        QCOMPARE(again.kpp, kept.kpp);
        QCOMPARE(again.rsaExpiresAt, kept.rsaExpiresAt);
        QCOMPARE(again.gostExpiresAt, kept.gostExpiresAt);
        const QStringList warned = log.matching(QStringLiteral("FSRAR_ID УТМ сменился"));
        QCOMPARE(warned.size(), fsrarId == utm.first.fsrarId ? 0 : 1);
        if (!warned.isEmpty())
            QVERIFY(warned[0].endsWith(
                QStringLiteral("[WARN] FSRAR_ID УТМ сменился: 030000123456 → 030000654321")));
    }
};

QTEST_GUILESS_MAIN(TestUtmProbe)
#include "tst_utmprobe.moc"
