#include "utm/utmrequesttask.h"
#include "core/util.h"
#include "tests/support/fakeutm.h"
#include "tests/support/logcapture.h"

#include <QJsonObject>
#include <QTest>

#include <memory>

using namespace Orv;
using Orv::Test::FakeAnswer;
using Orv::Test::FakeUtm;
using Orv::Test::FakeUtmIdentity;

Q_DECLARE_METATYPE(Orv::Test::FakeAnswer)

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

QJsonObject request(const char *method, const QString &path, const QJsonObject &more = {})
{
    QJsonObject payload{{"fsrarId", kOwn}, {"method", method}, {"path", path}};
    for (auto it = more.begin(); it != more.end(); ++it)
        payload.insert(it.key(), it.value());
    return payload;
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
    return request("GET", path, {{"fsrarId", fsrarId}});
}

// Line breaks inside the base64 and stray characters around it are ignored.
QJsonObject post(const QString &path, const QByteArray &body, const QJsonObject &more = {})
{
    const QString base64 = QString::fromLatin1(body.toBase64());
    QJsonObject payload = request("POST", path, more);
    payload.insert("bodyBase64", base64.left(10) + QStringLiteral("\r\n") + base64.mid(10) + u'\n');
    return payload;
}

void refreshAndWait(UtmPool &pool)
{
    bool done = false;
    pool.refresh({}, [&done] { done = true; });
    if (!QTest::qWaitFor([&done] { return done; }))
        QTest::qFail("no completion came", __FILE__, __LINE__);
}

// One scripted УТМ in a pool, already checked once unless asked otherwise.
struct Setup
{
    explicit Setup(bool checked = true, const QString &fsrarId = kOwn)
    {
        FakeUtmIdentity identity;
        identity.fsrarId = fsrarId;
        fake.serveIdentity(identity);
        pool.setClients({&client});
        if (checked)
            refreshAndWait(pool);
    }

    FakeUtm fake;
    UtmHttpClient client{fake.baseUrl()};
    UtmPool pool;
};

// Runs the handler and waits for its completion.
struct Run
{
    Run(UtmRequestTask &handler, const QJsonObject &payload)
    {
        handler.runAsync(task(payload), [this](const TaskOutcome &done) { outcomes.append(done); });
        atOnce = outcomes.size() == 1;
        if (!QTest::qWaitFor([this] { return !outcomes.isEmpty(); }))
            QTest::qFail("no completion came", __FILE__, __LINE__);
    }

    TaskOutcome outcome() const { return outcomes.value(0); }

    QList<TaskOutcome> outcomes;
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
        QCOMPARE(UtmRequestTask(&pool).execute(TaskDescriptor()).message,
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
        pool.setClients({&first.client, &same.client, &second.client});
        refreshAndWait(pool);
        UtmRequestTask handler(&pool);
        Run run(handler, get(QStringLiteral("/opt/out"), kOther));
        QVERIFY(run.atOnce);
        QCOMPARE(run.outcome().message,
                 QStringLiteral("Запрос адресован УТМ с FSRAR_ID 030000999999, а на этом "
                                "компьютере — 030000123456, 030000000002"));
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
        QList<TaskOutcome> outcomes;
        handler->runAsync(task(get(QStringLiteral("/opt/out"))),
                          [&outcomes](const TaskOutcome &outcome) { outcomes.append(outcome); });
        QTRY_COMPARE(utm.fake.requests().size(), 1);
        handler.reset();
        utm.pool.setClients({});
        QCOMPARE(outcomes.size(), 1);
        QVERIFY(!outcomes[0].ok);
    }

    // Refusals come in a fixed order; none of them sends anything.
    void refusals_data()
    {
        QTest::addColumn<QJsonObject>("payload");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("allow-list before owner")
            << post(QStringLiteral("/opt/in/WayBillAct_v4"), document(kOther))
            << QStringLiteral(
                   "Отправка WayBillAct_v4 меняет учёт в ЕГАИС, а запись для этого УТМ выключена");
        QTest::newRow("owner of another organisation")
            << post(QStringLiteral("/opt/in/QueryAP_v2"), document(kOther))
            << QStringLiteral("Документ составлен от имени FSRAR_ID 030000999999, а УТМ работает с "
                              "030000123456");
        QTest::newRow("no owner")
            << post(QStringLiteral("/opt/in/QueryAP_v2"), QByteArray("<Documents/>"))
            << QStringLiteral("В отправляемом документе не найден владелец Owner/FSRAR_ID");
        // Values of the wrong JSON type read as empty or false.
        QTest::newRow("method as a number")
            << request("GET", QStringLiteral("/opt/out"), {{"method", 1}})
            << QStringLiteral("Метод  не входит в разрешённое");
        QTest::newRow("path as an object") << request("GET", QString(), {{"path", QJsonObject()}})
                                           << QStringLiteral("Путь «» не похож на путь УТМ");
        QTest::newRow("allowWrite as text")
            << post(QStringLiteral("/xml?type=ChequeV4"), document(kOwn), {{"allowWrite", "true"}})
            << QStringLiteral("Чек меняет учёт в ЕГАИС, а запись для этого УТМ выключена");
        QTest::newRow("fsrarId as a number")
            << request("GET", QStringLiteral("/opt/out"), {{"fsrarId", 30000123456.0}})
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
        // A request sent after all would end here and complete the task a second time.
        utm.client.abortAll();
        QCOMPARE(run.outcomes.size(), 1);
    }

    // Whatever the УТМ answers in full is the outcome, whatever its status: the server judges.
    // Uploads go as one "xml_file" part and carry the hash of the bytes sent. An answer that
    // broke off after its headers is no answer.
    void forwards_data()
    {
        QTest::addColumn<QJsonObject>("payload");
        QTest::addColumn<FakeAnswer>("answer");
        QTest::addColumn<QByteArray>("fileName"); // empty: no upload
        const QByteArray xml = document(kOwn);
        const QByteArray body = "<?xml version=\"1.0\"?><A><url>…</url></A>";
        const FakeAnswer ok = FakeAnswer::raw(200, body, "application/xml;charset=UTF-8");
        QTest::newRow("GET with query")
            << get(QStringLiteral("/opt/out?refresh=true")) << ok << QByteArray();
        QTest::newRow("GET, not found")
            << get(QStringLiteral("/opt/out"))
            << FakeAnswer::raw(404, body, "application/xml;charset=UTF-8") << QByteArray();
        QTest::newRow("DELETE with its switch")
            << request("DELETE", QStringLiteral("/opt/out/WayBill_v4/17"), {{"allowDelete", true}})
            << ok << QByteArray();
        QTest::newRow("POST, given name")
            << post(QStringLiteral("/opt/in/QueryAP_v2"), xml, {{"fileName", "query-17.xml"}}) << ok
            << QByteArray("query-17.xml");
        QTest::newRow("POST, name not text, from the inbox type")
            << post(QStringLiteral("/opt/in/QueryRests_v3"), xml, {{"fileName", 5}}) << ok
            << QByteArray("QueryRests_v3.xml");
        QTest::newRow("cheque") << post(QStringLiteral("/xml?type=ChequeV4"), xml,
                                        {{"allowWrite", true}, {"allowDelete", true}})
                                << ok << QByteArray(".xml");
        QTest::newRow("connection lost")
            << get(QStringLiteral("/opt/out")) << FakeAnswer::cutOff(200, body) << QByteArray();
        QTest::newRow("stalls past the time-out")
            << get(QStringLiteral("/opt/out")) << FakeAnswer::stall(200, body) << QByteArray();
    }

    void forwards()
    {
        QFETCH(QJsonObject, payload);
        QFETCH(FakeAnswer, answer);
        QFETCH(QByteArray, fileName);
        const QByteArray method = payload.value("method").toString().toLatin1();
        const QString path = payload.value("path").toString();
        Setup utm;
        utm.fake.answer(method, path.section(u'?', 0, 0), answer);
        UtmRequestTask handler(&utm.pool, answer.mode == FakeAnswer::Mode::Stall ? 300 : 5000);
        const TaskOutcome outcome = Run(handler, payload).outcome();
        if (answer.mode != FakeAnswer::Mode::Complete) {
            const QString prefix = QStringLiteral("УТМ не ответил: ");
            QVERIFY2(!outcome.ok && outcome.message.startsWith(prefix),
                     qPrintable(outcome.message));
            QVERIFY(outcome.message.size() > prefix.size());
            return;
        }
        QVERIFY2(outcome.ok, qPrintable(outcome.message));
        QCOMPARE(outcome.data,
                 (QJsonObject{{"httpStatus", answer.status},
                              {"contentType", "application/xml;charset=UTF-8"},
                              {"bodyBase64", QString::fromLatin1(answer.body.toBase64())},
                              {"bodySha256", sha256Hex(answer.body)}}));
        const QByteArray xml = document(kOwn);
        QCOMPARE(outcome.signedHash, fileName.isEmpty() ? QString() : sha256Hex(xml));
        QCOMPARE(utm.fake.requests().size(), 5); // the four pages of the check, then this one
        const auto sent = utm.fake.requests().last();
        QCOMPARE(sent.method, method);
        QCOMPARE(sent.path, path);
        if (fileName.isEmpty())
            return;
        QCOMPARE(sent.parts.size(), 1);
        QCOMPARE(sent.parts[0].header("Content-Disposition"),
                 "form-data; name=\"xml_file\"; filename=\"" + fileName + '"');
        QCOMPARE(sent.parts[0].body, xml);
    }

    void ownerFsrarId_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("owner");
        QTest::newRow("one level deeper")
            << QByteArray("<D><Owner><X><FSRAR_ID>1</FSRAR_ID></X></Owner></D>") << QString();
        QTest::newRow("Owner is the root")
            << QByteArray("<Owner><FSRAR_ID>1</FSRAR_ID></Owner>") << QString();
        QTest::newRow("after a closed sibling")
            << QByteArray("<D><A><B/></A><Owner><FSRAR_ID>2</FSRAR_ID></Owner></D>")
            << QStringLiteral("2");
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
