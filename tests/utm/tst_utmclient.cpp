#include "utm/utmclient.h"
#include "tests/support/fakeutm.h"
#include "tests/support/logcapture.h"

#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Orv;
using Orv::Test::FakeAnswer;
using Orv::Test::FakeUtm;

namespace {

// Collects what the callbacks of one test receive.
struct Answers
{
    QList<UtmResponse> got;

    UtmCallback collect()
    {
        return [this](const UtmResponse &response) {
            got.append(response);
        };
    }
};

const QString kSizeText = QStringLiteral("Ответ УТМ больше 15 МБ — агент его не передаёт");

} // namespace

class TestUtmClient : public QObject
{
    Q_OBJECT

private slots:
    void getJoinsBaseAndPathWithoutOwnHeaders()
    {
        FakeUtm utm;
        utm.answer("GET", "/diagnosis", 200, "<A/>", "text/xml; charset=utf-8");
        UtmHttpClient client(utm.baseUrl() + QStringLiteral("//"));
        QCOMPARE(client.baseUrl(), utm.baseUrl());
        Answers answers;
        client.get(QStringLiteral("/diagnosis"), 5000, answers.collect());
        QTRY_COMPARE(answers.got.size(), 1);
        QCOMPARE(answers.got[0].status, 200);
        QCOMPARE(answers.got[0].body, QByteArray("<A/>"));
        QCOMPARE(answers.got[0].contentType, QStringLiteral("text/xml; charset=utf-8"));
        QVERIFY(answers.got[0].error.isEmpty());
        const auto request = utm.requests().value(0);
        QCOMPARE(request.path, QStringLiteral("/diagnosis"));
        for (const char *header : {"Accept", "Authorization", "Content-Type"})
            QVERIFY2(request.header(header).isEmpty(), header);
    }

    void queryAndDeleteGoOutAsGiven()
    {
        FakeUtm utm;
        utm.answer("DELETE", "/opt/out/WayBill_v4/17", 200, "");
        UtmHttpClient client(utm.baseUrl());
        Answers answers;
        client.get(QStringLiteral("/opt/out?refresh=true"), 5000, answers.collect());
        client.deleteResource(QStringLiteral("/opt/out/WayBill_v4/17"), 5000, answers.collect());
        QTRY_COMPARE(answers.got.size(), 2);
        QCOMPARE(utm.requests().size(), 2);
        QCOMPARE(utm.requestsTo("/opt/out").value(0).path, QStringLiteral("/opt/out?refresh=true"));
        QCOMPARE(utm.requestsTo("/opt/out/WayBill_v4/17").value(0).method, QByteArray("DELETE"));
    }

    // Whatever the УТМ answered in full reaches the caller as it came: redirects are not
    // followed, error statuses are not failures.
    void answersPassThrough_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("redirect") << 302;
        QTest::newRow("bad request") << 400;
        QTest::newRow("not found") << 404;
        QTest::newRow("teapot") << 418;
        QTest::newRow("server error") << 500;
        QTest::newRow("unknown 5xx") << 599;
    }

    void answersPassThrough()
    {
        QFETCH(int, status);
        FakeUtm utm;
        FakeAnswer answer = FakeAnswer::raw(status, "<error>нет</error>", "application/xml");
        answer.headers = {{"Location", utm.baseUrl().toUtf8() + "/elsewhere"}};
        utm.answer("GET", "/opt/out", answer);
        UtmHttpClient client(utm.baseUrl());
        Answers answers;
        client.get(QStringLiteral("/opt/out"), 5000, answers.collect());
        QTRY_COMPARE(answers.got.size(), 1);
        QCOMPARE(answers.got[0].status, status);
        QCOMPARE(answers.got[0].body, answer.body);
        QCOMPARE(answers.got[0].contentType, QStringLiteral("application/xml"));
        QVERIFY(answers.got[0].error.isEmpty());
        QCOMPARE(utm.requests().size(), 1);
    }

    void sizeCap_data()
    {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<bool>("delivered");
        QTest::newRow("exactly 15 MiB") << qsizetype(15728640) << true;
        QTest::newRow("one byte more") << qsizetype(15728641) << false;
        QTest::newRow("20 MiB") << qsizetype(20 * 1024 * 1024) << false;
    }

    void sizeCap()
    {
        QFETCH(qsizetype, size);
        QFETCH(bool, delivered);
        FakeUtm utm;
        utm.answer("GET", "/opt/out/big", 200, QByteArray(size, 'x'), "application/xml");
        UtmHttpClient client(utm.baseUrl());
        Answers answers;
        client.get(QStringLiteral("/opt/out/big"), 30000, answers.collect());
        QTRY_COMPARE_WITH_TIMEOUT(answers.got.size(), 1, 30000);
        const UtmResponse &got = answers.got[0];
        QCOMPARE(got.status, delivered ? 200 : 0);
        QCOMPARE(got.body.size(), delivered ? size : 0);
        QCOMPARE(got.error, delivered ? QString() : kSizeText);
        QCOMPARE(got.contentType, QStringLiteral("application/xml"));
        QCoreApplication::processEvents();
        QCOMPARE(answers.got.size(), 1);
    }

    // An answer that did not arrive whole is no answer, whatever status line came first.
    void cutOffAnswerFails_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("timesOut");
        QTest::newRow("200, connection lost") << 200 << int(FakeAnswer::Mode::CutOff) << false;
        QTest::newRow("404, connection lost") << 404 << int(FakeAnswer::Mode::CutOff) << false;
        QTest::newRow("200, stalls") << 200 << int(FakeAnswer::Mode::Stall) << true;
        QTest::newRow("nothing at all") << 200 << int(FakeAnswer::Mode::Never) << true;
    }

    void cutOffAnswerFails()
    {
        QFETCH(int, status);
        QFETCH(int, mode);
        QFETCH(bool, timesOut);
        Test::LogCapture log;
        FakeUtm utm;
        FakeAnswer answer = FakeAnswer::raw(status, "<partial answer/>", "application/xml");
        answer.mode = FakeAnswer::Mode(mode);
        utm.answer("GET", "/opt/out/x", answer);
        UtmHttpClient client(utm.baseUrl());
        Answers answers;
        client.get(QStringLiteral("/opt/out/x?a=1"), timesOut ? 300 : 30000, answers.collect());
        QTRY_COMPARE(answers.got.size(), 1);
        QCOMPARE(answers.got[0].status, 0);
        QVERIFY(answers.got[0].body.isEmpty());
        QVERIFY(!answers.got[0].error.isEmpty());
        const QStringList warned = log.matching(QStringLiteral("УТМ не ответил вовремя"));
        QCOMPARE(warned.size(), timesOut ? 1 : 0);
        if (timesOut)
            QVERIFY(warned[0].endsWith(
                QStringLiteral("[WARN] УТМ не ответил вовремя, обрываем: /opt/out/x")));
    }

    void unreachableAddressFails()
    {
        auto gone = std::make_unique<FakeUtm>();
        const QString url = gone->baseUrl();
        gone.reset();
        UtmHttpClient client(url);
        Answers answers;
        client.get(QStringLiteral("/diagnosis"), 5000, answers.collect());
        QTRY_COMPARE(answers.got.size(), 1);
        QCOMPARE(answers.got[0].status, 0);
        QVERIFY(!answers.got[0].error.isEmpty());
    }

    void uploadIsOneXmlFilePart_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("disposition");
        QTest::newRow("plain") << QStringLiteral("QueryAP_v2.xml")
                               << QByteArray(
                                      R"(form-data; name="xml_file"; filename="QueryAP_v2.xml")");
        QTest::newRow("quote and line break")
            << QStringLiteral("a\".xml\r\nX-Injected: 1")
            << QByteArray(R"(form-data; name="xml_file"; filename="a%22.xml%0D%0AX-Injected: 1")");
        QTest::newRow("cyrillic")
            << QStringLiteral("накладная.xml")
            << QStringLiteral(R"(form-data; name="xml_file"; filename="накладная.xml")").toUtf8();
    }

    void uploadIsOneXmlFilePart()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, disposition);
        FakeUtm utm;
        utm.answer("POST", "/opt/in/QueryAP_v2", 200, "<ok/>");
        UtmHttpClient client(utm.baseUrl());
        const QByteArray xml("<?xml version=\"1.0\"?>\r\n<Documents>\x01\xff</Documents>\n");
        Answers answers;
        client.postXml(QStringLiteral("/opt/in/QueryAP_v2"), xml, fileName, 5000,
                       answers.collect());
        QTRY_COMPARE(answers.got.size(), 1);
        QCOMPARE(answers.got[0].status, 200);
        const auto request = utm.requests().value(0);
        QCOMPARE(request.method, QByteArray("POST"));
        QVERIFY(request.header("Content-Type").startsWith("multipart/form-data; boundary="));
        QCOMPARE(request.parts.size(), 1);
        QCOMPARE(request.parts[0].headers.size(), 2);
        QCOMPARE(request.parts[0].header("Content-Disposition"), disposition);
        QCOMPARE(request.parts[0].header("Content-Type"), QByteArray("application/xml"));
        QCOMPARE(request.parts[0].body, xml);
    }

    void abortAllEndsEveryRequestOnce()
    {
        FakeUtm utm;
        utm.answer("GET", "/opt/out", FakeAnswer::never());
        UtmHttpClient client(utm.baseUrl());
        Answers answers;
        for (int i = 0; i < 3; ++i)
            client.get(QStringLiteral("/opt/out"), 30000, answers.collect());
        QTRY_COMPARE(utm.requests().size(), 3);
        client.abortAll();
        QCOMPARE(answers.got.size(), 3);
        for (const UtmResponse &got : answers.got) {
            QCOMPARE(got.status, 0);
            QVERIFY(!got.error.isEmpty());
        }
        client.abortAll();
        QCoreApplication::processEvents();
        QCOMPARE(answers.got.size(), 3);
    }

    // A callback run by the destructor may ask for more; nothing is sent by a dying client.
    void destructionEndsRequestsAndSendsNothingMore()
    {
        FakeUtm utm;
        utm.answer("GET", "/diagnosis", FakeAnswer::never());
        auto client = std::make_unique<UtmHttpClient>(utm.baseUrl());
        Answers answers;
        UtmHttpClient *raw = client.get();
        client->get(QStringLiteral("/diagnosis"), 30000, [&](const UtmResponse &response) {
            answers.got.append(response);
            raw->get(QStringLiteral("/info/version"), 30000, answers.collect());
        });
        client->get(QStringLiteral("/diagnosis"), 30000,
                    [&](const UtmResponse &response) { answers.got.append(response); });
        QTRY_COMPARE(utm.requests().size(), 2);
        client.reset();
        QCOMPARE(answers.got.size(), 3);
        for (const UtmResponse &got : answers.got)
            QCOMPARE(got.status, 0);
        QCOMPARE(answers.got[1].error,
                 QStringLiteral("Запрос к УТМ не отправлен: адрес УТМ убирается из списка"));
        QCOMPARE(utm.requests().size(), 2);
    }

    // The reply outlives its callback until the event loop deletes it; a time-out that falls due
    // in between (here: while the callback itself runs events) must not strike at it.
    void timerStopsWithItsReply()
    {
        Test::LogCapture log;
        FakeUtm utm;
        utm.answer("GET", "/info/version", 200, "4.2.0");
        UtmHttpClient client(utm.baseUrl());
        Answers answers;
        client.get(QStringLiteral("/info/version"), 30, [&](const UtmResponse &response) {
            answers.got.append(response);
            const QDeadlineTimer due(60);
            while (!due.hasExpired()) {
            }
            QCoreApplication::processEvents();
        });
        QTRY_COMPARE(answers.got.size(), 1);
        QCOMPARE(answers.got[0].status, 200);
        QVERIFY(log.matching(QStringLiteral("УТМ не ответил вовремя")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestUtmClient)
#include "tst_utmclient.moc"
