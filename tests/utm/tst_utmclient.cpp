#include "utm/utmclient.h"
#include "tests/support/fakeutm.h"
#include "tests/support/logcapture.h"

#include <QDeadlineTimer>
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

constexpr int kNobodyListens = -1;

} // namespace

class TestUtmClient : public QObject
{
    Q_OBJECT

private slots:
    // Whatever the УТМ answered in full reaches the caller as it came: redirects are not
    // followed, error statuses are no failure. An answer that did not arrive whole is no answer,
    // whatever status line came first; one above 15 MiB is refused.
    void answers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("mode");       // FakeAnswer::Mode, or kNobodyListens
        QTest::addColumn<qsizetype>("size"); // of the body; 0: a short one
        const int whole = int(FakeAnswer::Mode::Complete);
        QTest::newRow("200") << 200 << whole << qsizetype(0);
        QTest::newRow("redirect") << 302 << whole << qsizetype(0);
        QTest::newRow("not found") << 404 << whole << qsizetype(0);
        QTest::newRow("exactly 15 MiB") << 200 << whole << qsizetype(15728640);
        QTest::newRow("one byte more") << 200 << whole << qsizetype(15728641);
        QTest::newRow("200, connection lost")
            << 200 << int(FakeAnswer::Mode::CutOff) << qsizetype(0);
        QTest::newRow("404, connection lost")
            << 404 << int(FakeAnswer::Mode::CutOff) << qsizetype(0);
        QTest::newRow("200, stalls") << 200 << int(FakeAnswer::Mode::Stall) << qsizetype(0);
        QTest::newRow("nobody listens") << 0 << kNobodyListens << qsizetype(0);
    }

    void answers()
    {
        QFETCH(int, status);
        QFETCH(int, mode);
        QFETCH(qsizetype, size);
        const bool oversized = size > UtmHttpClient::kMaxAnswerBytes;
        const bool complete = mode == int(FakeAnswer::Mode::Complete) && !oversized;
        const bool timesOut = mode == int(FakeAnswer::Mode::Stall);
        Test::LogCapture log;
        FakeUtm utm;
        FakeAnswer answer = FakeAnswer::raw(
            status, size ? QByteArray(size, 'x') : "<error>нет</error>", "text/xml; charset=utf-8");
        answer.headers = {{"Location", utm.baseUrl().toUtf8() + "/elsewhere"}};
        answer.mode = FakeAnswer::Mode(qMax(mode, 0));
        utm.answer("GET", "/opt/out/x", answer);
        if (mode == kNobodyListens)
            utm.shutDown();
        UtmHttpClient client(utm.baseUrl() + QStringLiteral("//"));
        QCOMPARE(client.baseUrl(), utm.baseUrl());
        Answers answers;
        client.get(QStringLiteral("/opt/out/x?a=1"), timesOut ? 300 : 30000, answers.collect());
        QTRY_COMPARE_WITH_TIMEOUT(answers.got.size(), 1, 30000);
        const UtmResponse &got = answers.got[0];
        QCOMPARE(got.status, complete ? status : 0);
        QVERIFY(got.body == (complete ? answer.body : QByteArray()));
        QCOMPARE(got.error.isEmpty(), complete);
        if (oversized)
            QCOMPARE(got.error, QStringLiteral("Ответ УТМ больше 15 МБ — агент его не передаёт"));
        if (complete) {
            QCOMPARE(got.contentType, QStringLiteral("text/xml; charset=utf-8"));
            const auto request = utm.requests().value(0);
            QCOMPARE(utm.requests().size(), 1);
            QCOMPARE(request.path, QStringLiteral("/opt/out/x?a=1"));
            for (const char *header : {"Accept", "Authorization", "Content-Type"})
                QVERIFY2(request.header(header).isEmpty(), header);
        }
        const QStringList warned = log.matching(QStringLiteral("УТМ не ответил вовремя"));
        QCOMPARE(warned.size(), timesOut ? 1 : 0);
        if (timesOut)
            QVERIFY(warned[0].endsWith(
                QStringLiteral("[WARN] УТМ не ответил вовремя, обрываем: /opt/out/x")));
        QCoreApplication::processEvents();
        QCOMPARE(answers.got.size(), 1);
    }

    // The cap is hard: an answer that announces more is not read at all.
    void oversizedAnswerIsNotRead()
    {
        FakeUtm utm;
        utm.answer("GET", "/opt/out", FakeAnswer::flood(4 * UtmHttpClient::kMaxAnswerBytes));
        UtmHttpClient client(utm.baseUrl());
        Answers answers;
        client.get(QStringLiteral("/opt/out"), 30000, answers.collect());
        QTRY_COMPARE(answers.got.size(), 1);
        QCOMPARE(answers.got[0].error,
                 QStringLiteral("Ответ УТМ больше 15 МБ — агент его не передаёт"));
        QVERIFY(utm.floodedBytes() < UtmHttpClient::kMaxAnswerBytes);
    }

    void uploadIsOneXmlFilePart_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("disposition");
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
        QVERIFY(request.header("Content-Type").startsWith("multipart/form-data; boundary="));
        QCOMPARE(request.parts.size(), 1);
        QCOMPARE(request.parts[0].headers.size(), 2);
        QCOMPARE(request.parts[0].header("Content-Disposition"), disposition);
        QCOMPARE(request.parts[0].header("Content-Type"), QByteArray("application/xml"));
        QCOMPARE(request.parts[0].body, xml);
    }

    // Abort and destruction end every request at once, each exactly once. A callback run by the
    // destructor may ask for more; nothing is sent by a dying client.
    void abortAndDestructionEndEachRequestOnce()
    {
        FakeUtm utm;
        utm.answer("GET", "/opt/out", FakeAnswer::never());
        auto client = std::make_unique<UtmHttpClient>(utm.baseUrl());
        UtmHttpClient *raw = client.get();
        Answers answers;
        for (int i = 0; i < 2; ++i)
            client->get(QStringLiteral("/opt/out"), 30000, answers.collect());
        QTRY_COMPARE(utm.requests().size(), 2);
        client->abortAll();
        QCOMPARE(answers.got.size(), 2);
        client->abortAll();

        client->get(QStringLiteral("/opt/out"), 30000, [&](const UtmResponse &response) {
            answers.got.append(response);
            raw->get(QStringLiteral("/opt/out"), 30000, answers.collect());
        });
        QTRY_COMPARE(utm.requests().size(), 3);
        client.reset();
        QCOMPARE(answers.got.size(), 4);
        for (const UtmResponse &got : answers.got)
            QVERIFY(got.status == 0 && !got.error.isEmpty());
        QCOMPARE(answers.got[3].error,
                 QStringLiteral("Запрос к УТМ не отправлен: адрес УТМ убирается из списка"));
        QCoreApplication::processEvents();
        QCOMPARE(answers.got.size(), 4);
        QCOMPARE(utm.requests().size(), 3);
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
