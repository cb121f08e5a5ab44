#include "core/agentclient.h"
#include "core/taskhandlerregistry.h"
#include "tests/support/logcapture.h"

#include <QJsonObject>
#include <QTest>
#include <QTimer>

using namespace Orv;

namespace {

// sha256 of the canonical text {"a":"x","b":1}, computed outside this code.
const QString kPayloadHash =
    QStringLiteral("cdab067e9f3beb32d1252cfd63e492592fecbf591b0d08cadb24bb17f3864246");

TaskDescriptor task(const QString &type)
{
    TaskDescriptor task;
    task.id = QStringLiteral("t-7");
    task.type = type;
    task.payload =
        QJsonObject{{QStringLiteral("b"), 1}, {QStringLiteral("a"), QStringLiteral("x")}};
    task.payloadHash = kPayloadHash;
    return task;
}

// Answers with its own name so the test sees which one ran; a "later" one completes from the
// event loop, as a network-bound handler does, and never through execute.
class EchoHandler : public ITaskHandler
{
public:
    EchoHandler(const QString &type, const QString &name, bool later = false)
        : m_type(type)
        , m_name(name)
        , m_later(later)
    {}
    QString type() const override { return m_type; }
    TaskOutcome execute(const TaskDescriptor &) override
    {
        ++executed;
        return m_later ? TaskOutcome::failure({}) : TaskOutcome::success({}, m_name);
    }
    void runAsync(const TaskDescriptor &task, TaskCompletion done) override
    {
        if (!m_later)
            return ITaskHandler::runAsync(task, std::move(done));
        QTimer::singleShot(0, [this, done] { done(TaskOutcome::success({}, m_name)); });
    }
    int executed = 0;

private:
    QString m_type;
    QString m_name;
    bool m_later;
};

} // namespace

class TestTaskHandlerRegistry : public QObject
{
    Q_OBJECT

private slots:
    void gate_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("expiresInSeconds"); // 0: no expiry
        QTest::addColumn<QString>("payloadHash");
        QTest::addColumn<QString>("message"); // empty: the handler runs
        QTest::addColumn<QString>("warning");

        const QString unknown = QStringLiteral("Тип задачи «chz.Auth» не поддерживается этой "
                                               "версией агента. Обновите приложение агента");
        const QString expired =
            QStringLiteral("Срок задачи истёк до того, как её успели выполнить");
        const QString mismatch =
            QStringLiteral("Содержимое задачи не совпало с её хэшем: подписывать такое нельзя");
        const QString wrong = QString(64, u'0');
        const QString unknownLog = QStringLiteral("неизвестный тип задачи: chz.Auth");
        const QString expiredLog = QStringLiteral("задача просрочена, подписывать не будем: t-7");

        QTest::newRow("type is case-sensitive")
            << "chz.Auth" << 0 << kPayloadHash << unknown << unknownLog;
        QTest::newRow("type before expiry and hash")
            << "chz.Auth" << -1 << wrong << unknown << unknownLog;
        QTest::newRow("expired a second ago, before the hash")
            << "chz.auth" << -1 << wrong << expired << expiredLog;
        QTest::newRow("hash differs")
            << "chz.auth" << 60 << wrong << mismatch
            << "хэш задачи не сошёлся: t-7 сервер " + wrong + " мы " + kPayloadHash;
        QTest::newRow("no expiry, right hash") << "chz.auth" << 0 << kPayloadHash << ""
                                               << "";
        QTest::newRow("hash in upper case") << "chz.auth" << 60 << kPayloadHash.toUpper() << ""
                                            << "";
        QTest::newRow("no hash, no check") << "chz.auth" << 0 << ""
                                           << ""
                                           << "";
    }

    void gate()
    {
        QFETCH(QString, type);
        QFETCH(int, expiresInSeconds);
        QFETCH(QString, payloadHash);
        QFETCH(QString, message);
        QFETCH(QString, warning);

        TaskHandlerRegistry registry;
        auto owned = std::make_unique<EchoHandler>(QStringLiteral("chz.auth"), "auth");
        EchoHandler *handler = owned.get();
        registry.add(std::move(owned));
        TaskDescriptor t = task(type);
        t.payloadHash = payloadHash;
        if (expiresInSeconds != 0)
            t.expiresAt = QDateTime::currentDateTimeUtc().addSecs(expiresInSeconds);

        Test::LogCapture log;
        EchoHandler stale(QStringLiteral("stale"), QStringLiteral("stale"));
        ITaskHandler *chosen = &stale; // a refusal must not leave an old value in the place
        const TaskOutcome prepared = registry.prepare(t, &chosen);
        QList<TaskOutcome> completed;
        registry.runAsync(t, [&](const TaskOutcome &outcome) { completed.append(outcome); });
        QCOMPARE(completed.size(), 1); // synchronously, in both cases
        const TaskOutcome executed = registry.execute(t);

        const QStringList warnings = log.matching(QStringLiteral("[WARN]"));
        if (message.isEmpty()) {
            QCOMPARE(chosen, handler);
            QVERIFY(prepared.ok);
            QCOMPARE(handler->executed, 2);
            QCOMPARE(completed[0].signedHash, QStringLiteral("auth"));
            QCOMPARE(executed.signedHash, QStringLiteral("auth"));
            QVERIFY(warnings.isEmpty());
            // A payload the hash cannot match: only a task without a hash runs.
            t.payload.insert(QStringLiteral("c"), true);
            QCOMPARE(registry.execute(t).ok, payloadHash.isEmpty());
            return;
        }
        QCOMPARE(chosen, nullptr);
        QCOMPARE(handler->executed, 0);
        for (const TaskOutcome &outcome : {prepared, completed[0], executed}) {
            QVERIFY(!outcome.ok && outcome.signedHash.isEmpty());
            QCOMPARE(outcome.message, message);
        }
        QCOMPARE(warnings.size(), 3); // one per call
        for (const QString &line : warnings)
            QVERIFY2(line.endsWith(QStringLiteral("[WARN] ") + warning), qPrintable(line));
    }

    // The hash is made from the server's own text where it can be, and from the parsed payload
    // where the text holds what Qt reads its own way: a key given twice is its last value.
    void hashOfTheServersText()
    {
        TaskHandlerRegistry registry;
        registry.add(std::make_unique<EchoHandler>(QStringLiteral("chz.auth"), "auth"));
        const auto run = [&registry](const QByteArray &payload) {
            TaskDescriptor task;
            QString error;
            const QByteArray json = "{\"id\":\"t-7\",\"type\":\"chz.auth\",\"payloadHash\":\"" +
                                    kPayloadHash.toLatin1() + "\",\"payload\":" + payload + '}';
            return AgentClient::parseTask(json, &task, &error) && registry.execute(task).ok;
        };
        QVERIFY(run(R"( { "b" : 1.0 ,"a":"\u0078" } )"));
        QVERIFY(run(R"({"b":2,"a":"x","b":1})"));
        QVERIFY(!run(R"({"b":1,"a":"x","b":2})"));
        QVERIFY(!run(R"({"a":"x","b":1,"c":null})"));
    }

    void firstRegisteredWins()
    {
        TaskHandlerRegistry registry;
        for (const char *name : {"first", "second"})
            registry.add(std::make_unique<EchoHandler>(QStringLiteral("edo.title"), name));
        QVERIFY(registry.supports(QStringLiteral("edo.title")));
        QVERIFY(!registry.supports(QStringLiteral("chz.auth")));
        QCOMPARE(registry.execute(task(QStringLiteral("edo.title"))).signedHash,
                 QStringLiteral("first"));
    }

    // A network-bound handler answers through its own runAsync, once and later.
    void asynchronousHandlerCompletesOnceLater()
    {
        TaskHandlerRegistry registry;
        registry.add(std::make_unique<EchoHandler>(QStringLiteral("utm.request"), "later", true));
        QList<TaskOutcome> completed;
        registry.runAsync(task(QStringLiteral("utm.request")),
                          [&](const TaskOutcome &outcome) { completed.append(outcome); });
        QVERIFY(completed.isEmpty());
        QTRY_COMPARE(completed.size(), 1);
        QCOMPARE(completed[0].signedHash, QStringLiteral("later"));
        QCoreApplication::processEvents();
        QCOMPARE(completed.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestTaskHandlerRegistry)
#include "tst_taskhandlerregistry.moc"
