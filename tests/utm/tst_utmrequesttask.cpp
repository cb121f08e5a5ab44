#include "utm/utmrequesttask.h"
#include "core/util.h"
#include "tests/support/fakeutm.h"
#include "tests/support/logcapture.h"

#include <QJsonObject>
#include <QTest>

#include <memory>
#include <optional>

using namespace Orv;
using Orv::Test::FakeAnswer;
using Orv::Test::FakeUtm;
using Orv::Test::FakeUtmIdentity;

namespace {

const QString kOwn = QStringLiteral("030000123456");
const QString kOther = QStringLiteral("030000999999");

QByteArray document(const QString &owner)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<ns:Documents xmlns:ns=\"http://fsrar.ru/WEGAIS/WB_DOC_SINGLE_01\">"
                          "<ns:Owner><ns:FSRAR_ID> %1 </ns:FSRAR_ID></ns:Owner>"
                          "<ns:Document>запрос</ns:Document></ns:Documents>")
        .arg(owner)
        .toUtf8();
}

TaskDescriptor task(const QJsonObject &payload)
{
    TaskDescriptor t;
    t.id = QStringLiteral("t-1");
    t.type = QStringLiteral("utm.request");
    t.payload = payload;
    return t;
}

QJsonObject get(const QString &path, const QString &fsrarId = kOwn)
{
    return {{"fsrarId", fsrarId}, {"method", "GET"}, {"path", path}};
}

QJsonObject post(const QString &path, const QByteArray &body, const QString &fsrarId = kOwn)
{
    return {{"fsrarId", fsrarId},
            {"method", "POST"},
            {"path", path},
            {"bodyBase64", QString::fromLatin1(body.toBase64())}};
}

// Counts what goes out through a client, so a refusal can be shown to send nothing.
struct CountingClient : IUtmClient
{
    explicit CountingClient(IUtmClient *inner)
        : inner(inner)
    {}
    QString baseUrl() const override { return inner->baseUrl(); }
    void get(const QString &path, int timeoutMs, UtmCallback callback) override
    {
        ++sent;
        inner->get(path, timeoutMs, std::move(callback));
    }
    void postXml(const QString &path, const QByteArray &xml, const QString &fileName, int timeoutMs,
                 UtmCallback callback) override
    {
        ++sent;
        inner->postXml(path, xml, fileName, timeoutMs, std::move(callback));
    }
    void deleteResource(const QString &path, int timeoutMs, UtmCallback callback) override
    {
        ++sent;
        inner->deleteResource(path, timeoutMs, std::move(callback));
    }
    void abortAll() override { inner->abortAll(); }

    IUtmClient *inner;
    int sent = 0;
};

// One scripted УТМ in a pool, already checked once unless asked otherwise.
struct Setup
{
    explicit Setup(bool checked = true, const QString &fsrarId = kOwn)
    {
        FakeUtmIdentity identity;
        identity.fsrarId = fsrarId;
        fake.serveIdentity(identity);
        pool.setClients({&counting});
        if (checked) {
            bool done = false;
            pool.refresh({}, [&done] { done = true; });
            [&] {
                QTRY_VERIFY(done);
            }();
            counting.sent = 0;
        }
    }

    // Requests sent after the first check.
    int forwarded() const { return counting.sent; }

    FakeUtm fake;
    UtmHttpClient client{fake.baseUrl()};
    CountingClient counting{&client};
    UtmPool pool;
};

// Runs the handler and waits for its one completion.
struct Run
{
    Run(UtmRequestTask &handler, const QJsonObject &payload)
    {
        handler.runAsync(task(payload), [this](const TaskOutcome &outcome) {
            result = outcome;
            ++calls;
        });
        atOnce = calls == 1;
        [&] {
            QTRY_COMPARE(calls, 1);
        }();
    }

    TaskOutcome outcome() const { return result.value_or(TaskOutcome()); }

    std::optional<TaskOutcome> result;
    int calls = 0;
    bool atOnce = false;
};

} // namespace

class TestUtmRequestTask : public QObject
{
    Q_OBJECT

private slots:
    void onlyAsynchronous()
    {
        UtmPool pool;
        UtmRequestTask handler(&pool);
        QCOMPARE(handler.type(), QStringLiteral("utm.request"));
        const TaskOutcome outcome = handler.execute(task(get(QStringLiteral("/opt/out"))));
        QVERIFY(!outcome.ok);
        QCOMPARE(outcome.message,
                 QStringLiteral("Запрос к УТМ выполняется только асинхронно — это ошибка агента"));
    }

    void noUtmConfigured()
    {
        UtmPool pool;
        UtmRequestTask handler(&pool);
        Run run(handler, get(QStringLiteral("/opt/out")));
        QVERIFY(run.atOnce);
        QCOMPARE(run.outcome().message, QStringLiteral("УТМ на этом компьютере не настроен"));
    }

    // Known FSRAR IDs are listed once each, in pool order, without asking the УТМ again.
    void otherFsrarIdIsRefusedAtOnce()
    {
        Setup first, same, second(true, QStringLiteral("030000000002"));
        UtmPool pool;
        pool.setClients({&first.counting, &same.counting, &second.counting});
        bool done = false;
        pool.refresh({}, [&done] { done = true; });
        QTRY_VERIFY(done);
        UtmRequestTask handler(&pool);
        Test::LogCapture log;
        Run run(handler, get(QStringLiteral("/opt/out"), kOther));
        QVERIFY(run.atOnce);
        const QString text = QStringLiteral("Запрос адресован УТМ с FSRAR_ID 030000999999, а на "
                                            "этом компьютере — 030000123456, 030000000002");
        QCOMPARE(run.outcome().message, text);
        QCOMPARE(
            log.matching(QStringLiteral("[WARN] запрос к УТМ отклонён агентом: ") + text).size(),
            1);
    }

    // The path comes from the server; it must not be able to forge a line of our log.
    void refusalIsLoggedOnOneLine()
    {
        Setup utm;
        UtmRequestTask handler(&utm.pool);
        Test::LogCapture log;
        Run run(handler, get(QStringLiteral("/opt/out\n2026-01-01T00:00:00.000Z [ERROR] чужая")));
        QCOMPARE(log.lines().size(), 1);
        QVERIFY2(log.lines()[0].endsWith(QStringLiteral(
                     "[WARN] запрос к УТМ отклонён агентом: Путь «/opt/out\\n2026-01-01T00:00:00."
                     "000Z [ERROR] чужая» не похож на путь УТМ")),
                 qPrintable(log.lines()[0]));
    }

    // A УТМ not yet asked for its FSRAR ID is asked first, then the task goes where it belongs.
    void unknownFsrarIdRefreshesThePool()
    {
        Setup utm(false);
        UtmRequestTask handler(&utm.pool);
        utm.fake.answer("GET", QStringLiteral("/opt/out"), 200, "<A/>");
        Run run(handler, get(QStringLiteral("/opt/out")));
        QVERIFY(!run.atOnce);
        QVERIFY2(run.outcome().ok, qPrintable(run.outcome().message));
        QCOMPARE(utm.fake.requestsTo(QStringLiteral("/diagnosis")).size(), 1);
        QCOMPARE(utm.fake.requestsTo(QStringLiteral("/opt/out")).size(), 1);
    }

    void neverAnsweringUtm()
    {
        Setup utm(false);
        utm.fake.shutDown();
        UtmRequestTask handler(&utm.pool);
        Run run(handler, get(QStringLiteral("/opt/out")));
        QCOMPARE(run.outcome().message,
                 QStringLiteral("FSRAR_ID УТМ пока неизвестен: УТМ ещё ни разу не ответил агенту"));
    }

    // The handler may go before the pool's check ends; its completion still runs once.
    void handlerGoneDuringRefresh()
    {
        Setup utm(false);
        utm.fake.answer("GET", QStringLiteral("/diagnosis"), FakeAnswer::never());
        auto handler = std::make_unique<UtmRequestTask>(&utm.pool);
        int calls = 0;
        handler->runAsync(task(get(QStringLiteral("/opt/out"))),
                          [&calls](const TaskOutcome &outcome) {
                              ++calls;
                              QVERIFY(!outcome.ok);
                          });
        QTRY_COMPARE(utm.fake.requests().size(), 1);
        handler.reset();
        utm.pool.setClients({});
        QCOMPARE(calls, 1);
    }

    // Refusals come in a fixed order; none of them sends anything.
    void refusals_data()
    {
        QTest::addColumn<QJsonObject>("payload");
        QTest::addColumn<QString>("refusal");
        const QByteArray own = document(kOwn);
        QJsonObject wrongEverything = post(QStringLiteral("//x"), document(kOther));
        wrongEverything.insert("method", "PUT");
        QTest::newRow("path before method")
            << wrongEverything << QStringLiteral("Путь «//x» не похож на путь УТМ");
        QTest::newRow("encoded dot segments")
            << get(QStringLiteral("/opt/out/%2e%2e/api"))
            << QStringLiteral("Путь «/opt/out/%2e%2e/api» не похож на путь УТМ");
        QTest::newRow("allow-list before owner")
            << post(QStringLiteral("/opt/in/WayBillAct_v4"), document(kOther))
            << QStringLiteral(
                   "Отправка WayBillAct_v4 меняет учёт в ЕГАИС, а запись для этого УТМ выключена");
        QTest::newRow("delete switched off")
            << QJsonObject{{"fsrarId", kOwn},
                           {"method", "DELETE"},
                           {"path", "/opt/out/x/1"},
                           {"allowWrite", true}}
            << QStringLiteral("Удаление из очереди УТМ выключено: пока ВЕСТРИК читает ту же "
                              "очередь, документы не удаляются");
        QTest::newRow("owner of another organisation")
            << post(QStringLiteral("/opt/in/QueryAP_v2"), document(kOther))
            << QStringLiteral("Документ составлен от имени FSRAR_ID 030000999999, а УТМ работает с "
                              "030000123456");
        QTest::newRow("no owner")
            << post(QStringLiteral("/opt/in/QueryAP_v2"), QByteArray("<Documents/>"))
            << QStringLiteral("В отправляемом документе не найден владелец Owner/FSRAR_ID");
        QTest::newRow("no body")
            << QJsonObject{{"fsrarId", kOwn}, {"method", "POST"}, {"path", "/opt/in/QueryAP_v2"}}
            << QStringLiteral("В отправляемом документе не найден владелец Owner/FSRAR_ID");
        // Values of the wrong JSON type read as empty or false.
        QTest::newRow("method as a number")
            << QJsonObject{{"fsrarId", kOwn}, {"method", 1}, {"path", "/opt/out"}}
            << QStringLiteral("Метод  не входит в разрешённое");
        QTest::newRow("path as an object")
            << QJsonObject{{"fsrarId", kOwn}, {"method", "GET"}, {"path", QJsonObject()}}
            << QStringLiteral("Путь «» не похож на путь УТМ");
        QJsonObject writeAsText = post(QStringLiteral("/xml?type=ChequeV4"), own);
        writeAsText.insert("allowWrite", "true");
        QTest::newRow("allowWrite as text")
            << writeAsText
            << QStringLiteral("Чек меняет учёт в ЕГАИС, а запись для этого УТМ выключена");
        QTest::newRow("fsrarId as a number")
            << QJsonObject{{"fsrarId", 30000123456.0}, {"method", "GET"}, {"path", "/opt/out"}}
            << QStringLiteral(
                   "Запрос адресован УТМ с FSRAR_ID , а на этом компьютере — 030000123456");
    }

    void refusals()
    {
        QFETCH(QJsonObject, payload);
        QFETCH(QString, refusal);
        Setup utm;
        UtmRequestTask handler(&utm.pool);
        Run run(handler, payload);
        QVERIFY(run.atOnce);
        QVERIFY(!run.outcome().ok);
        QCOMPARE(run.outcome().message, refusal);
        QVERIFY(run.outcome().signedHash.isEmpty());
        QCOMPARE(utm.forwarded(), 0);
    }

    // Whatever the УТМ answers in full is the outcome; the server judges the status.
    void getReturnsTheAnswer_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("ok") << 200;
        QTest::newRow("not found") << 404;
        QTest::newRow("redirect") << 302;
    }

    void getReturnsTheAnswer()
    {
        QFETCH(int, status);
        Setup utm;
        const QByteArray body = "<?xml version=\"1.0\"?><A><url>…</url></A>";
        utm.fake.answer("GET", QStringLiteral("/opt/out"), status, body,
                        "application/xml;charset=UTF-8");
        UtmRequestTask handler(&utm.pool);
        Run run(handler, get(QStringLiteral("/opt/out?refresh=true")));
        const TaskOutcome outcome = run.outcome();
        QVERIFY(outcome.ok);
        QCOMPARE(outcome.data, (QJsonObject{{"httpStatus", status},
                                            {"contentType", "application/xml;charset=UTF-8"},
                                            {"bodyBase64", QString::fromLatin1(body.toBase64())},
                                            {"bodySha256", sha256Hex(body)}}));
        QVERIFY(outcome.signedHash.isEmpty());
        QCOMPARE(utm.forwarded(), 1);
        QCOMPARE(utm.fake.requests().last().path, QStringLiteral("/opt/out?refresh=true"));
    }

    void postUploadsOneXmlFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QJsonValue>("fileName");
        QTest::addColumn<QByteArray>("sentName");
        QTest::addColumn<bool>("allowWrite");
        QTest::newRow("given name")
            << QStringLiteral("/opt/in/QueryAP_v2") << QJsonValue("query-17.xml")
            << QByteArray("query-17.xml") << false;
        QTest::newRow("inbox type") << QStringLiteral("/opt/in/QueryRests_v3") << QJsonValue()
                                    << QByteArray("QueryRests_v3.xml") << false;
        QTest::newRow("name not text") << QStringLiteral("/opt/in/QueryRests_v3") << QJsonValue(5)
                                       << QByteArray("QueryRests_v3.xml") << false;
        QTest::newRow("cheque") << QStringLiteral("/xml?type=ChequeV4") << QJsonValue()
                                << QByteArray(".xml") << true;
    }

    void postUploadsOneXmlFile()
    {
        QFETCH(QString, path);
        QFETCH(QJsonValue, fileName);
        QFETCH(QByteArray, sentName);
        QFETCH(bool, allowWrite);
        Setup utm;
        utm.fake.answer("POST", path.section(u'?', 0, 0), 200, "<A><url>ok</url></A>");
        UtmRequestTask handler(&utm.pool);
        const QByteArray xml = document(kOwn);
        QJsonObject payload = post(path, xml);
        // Line breaks inside the base64 and stray characters around it are ignored.
        const QString base64 = QString::fromLatin1(xml.toBase64());
        payload.insert("bodyBase64",
                       base64.left(10) + QStringLiteral("\r\n") + base64.mid(10) + u'\n');
        if (!fileName.isUndefined())
            payload.insert("fileName", fileName);
        payload.insert("allowWrite", allowWrite);
        payload.insert("allowDelete", true);
        Run run(handler, payload);
        QVERIFY2(run.outcome().ok, qPrintable(run.outcome().message));
        QCOMPARE(run.outcome().signedHash, sha256Hex(xml));
        QCOMPARE(utm.forwarded(), 1);
        const auto request = utm.fake.requests().last();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, path);
        QCOMPARE(request.parts.size(), 1);
        QCOMPARE(request.parts[0].header("Content-Disposition"),
                 "form-data; name=\"xml_file\"; filename=\"" + sentName + '"');
        QCOMPARE(request.parts[0].body, xml);
    }

    void deleteWithSwitch()
    {
        Setup utm;
        utm.fake.answer("DELETE", QStringLiteral("/opt/out/WayBill_v4/17"), 200, "");
        UtmRequestTask handler(&utm.pool);
        Run run(handler, {{"fsrarId", kOwn},
                          {"method", "DELETE"},
                          {"path", "/opt/out/WayBill_v4/17"},
                          {"allowDelete", true}});
        QVERIFY(run.outcome().ok);
        QCOMPARE(run.outcome().data.value("httpStatus").toInt(), 200);
        QCOMPARE(utm.fake.requests().last().method, QByteArray("DELETE"));
    }

    // An answer that broke off after its headers is no answer.
    void brokenAnswerFails_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("connection lost") << int(FakeAnswer::Mode::CutOff);
        QTest::newRow("stalls past the time-out") << int(FakeAnswer::Mode::Stall);
        QTest::newRow("silent past the time-out") << int(FakeAnswer::Mode::Never);
    }

    void brokenAnswerFails()
    {
        QFETCH(int, mode);
        Setup utm;
        FakeAnswer answer = FakeAnswer::raw(200, "<A><url>half</url></A>", "application/xml");
        answer.mode = FakeAnswer::Mode(mode);
        utm.fake.answer("GET", QStringLiteral("/opt/out"), answer);
        UtmRequestTask handler(&utm.pool, 300);
        Run run(handler, get(QStringLiteral("/opt/out")));
        QVERIFY(!run.outcome().ok);
        QVERIFY2(run.outcome().message.startsWith(QStringLiteral("УТМ не ответил: ")),
                 qPrintable(run.outcome().message));
        QVERIFY(run.outcome().message.size() > QStringLiteral("УТМ не ответил: ").size());
    }

    void ownerFsrarId_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("owner");
        QTest::newRow("prefixed") << document(kOwn) << kOwn;
        QTest::newRow("plain") << QByteArray("<D><Owner><FSRAR_ID>1</FSRAR_ID></Owner></D>")
                               << QStringLiteral("1");
        QTest::newRow("windows-1251")
            << QByteArray("<?xml version=\"1.0\" encoding=\"windows-1251\"?><D><Note>\xcf\xf0\xe8"
                          "</Note><Owner><FSRAR_ID>030000123456</FSRAR_ID></Owner></D>")
            << kOwn;
        QTest::newRow("one level deeper")
            << QByteArray("<D><Owner><X><FSRAR_ID>1</FSRAR_ID></X></Owner></D>") << QString();
        QTest::newRow("not under Owner")
            << QByteArray("<D><Sender><FSRAR_ID>1</FSRAR_ID></Sender></D>") << QString();
        QTest::newRow("Owner is the root")
            << QByteArray("<Owner><FSRAR_ID>1</FSRAR_ID></Owner>") << QString();
        QTest::newRow("after a closed sibling")
            << QByteArray("<D><A><B/></A><Owner><FSRAR_ID>2</FSRAR_ID></Owner></D>")
            << QStringLiteral("2");
        QTest::newRow("malformed") << QByteArray("<D><Owner><FSRAR_") << QString();
        QTest::newRow("empty") << QByteArray() << QString();
    }

    void ownerFsrarId()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QString, owner);
        QCOMPARE(UtmRequestTask::ownerFsrarId(xml), owner);
    }
};

QTEST_GUILESS_MAIN(TestUtmRequestTask)
#include "tst_utmrequesttask.moc"
