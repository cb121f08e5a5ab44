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

QJsonObject payload()
{
    return QJsonObject{{QStringLiteral("b"), 1}, {QStringLiteral("a"), QStringLiteral("x")}};
}

// Synchronous handler: answers with its own name so the test sees which one ran.
class EchoHandler : public ITaskHandler
{
public:
    EchoHandler(const QString &type, const QString &name, bool *deleted = nullptr)
        : m_type(type)
        , m_name(name)
        , m_deleted(deleted)
    {}
    ~EchoHandler() override
    {
        if (m_deleted)
            *m_deleted = true;
    }
    QString type() const override { return m_type; }
    TaskOutcome execute(const TaskDescriptor &) override
    {
        ++executed;
        return TaskOutcome::success(QJsonObject{{QStringLiteral("by"), m_name}}, m_name);
    }
    int executed = 0;

private:
    QString m_type;
    QString m_name;
    bool *m_deleted;
};

// Completes later, from the event loop, as a network-bound handler does.
class LaterHandler : public ITaskHandler
{
public:
    QString type() const override { return QStringLiteral("utm.request"); }
    TaskOutcome execute(const TaskDescriptor &) override
    {
        return TaskOutcome::failure(QStringLiteral("only asynchronous"));
    }
    void runAsync(const TaskDescriptor &task, TaskCompletion done) override
    {
        QTimer::singleShot(0, [task, done] {
            done(TaskOutcome::success(QJsonObject{{QStringLiteral("id"), task.id}}, {}));
        });
    }
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

        const QString typeRefused = QStringLiteral("Тип задачи «chz.Auth» не поддерживается этой "
                                                   "версией агента. Обновите приложение агента");
        const QString expired =
            QStringLiteral("Срок задачи истёк до того, как её успели выполнить");
        const QString mismatch =
            QStringLiteral("Содержимое задачи не совпало с её хэшем: подписывать такое нельзя");
        const QString wrongHash = QString(64, u'0');

        QTest::newRow("type is case-sensitive")
            << "chz.Auth" << 0 << kPayloadHash << typeRefused << "неизвестный тип задачи: chz.Auth";
        QTest::newRow("type before expiry and hash")
            << "chz.Auth" << -1 << wrongHash << typeRefused << "неизвестный тип задачи: chz.Auth";
        QTest::newRow("expired a second ago, before the hash")
            << "chz.auth" << -1 << wrongHash << expired
            << "задача просрочена, подписывать не будем: t-7";
        QTest::newRow("hash differs")
            << "chz.auth" << 60 << wrongHash << mismatch
            << "хэш задачи не сошёлся: t-7 сервер " + wrongHash + " мы " + kPayloadHash;
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
        auto owned =
            std::make_unique<EchoHandler>(QStringLiteral("chz.auth"), QStringLiteral("auth"));
        EchoHandler *handler = owned.get();
        registry.add(std::move(owned));

        TaskDescriptor task;
        task.id = QStringLiteral("t-7");
        task.type = type;
        task.payload = payload();
        task.payloadHash = payloadHash;
        if (expiresInSeconds != 0)
            task.expiresAt = QDateTime::currentDateTimeUtc().addSecs(expiresInSeconds);
        // The same task with a payload the hash cannot match: only a task without a hash runs.
        TaskDescriptor altered = task;
        altered.payload.insert(QStringLiteral("c"), true);

        Test::LogCapture log;
        EchoHandler stale(QStringLiteral("stale"), QStringLiteral("stale"));
        ITaskHandler *chosen = &stale; // a refusal must not leave an old value in the place
        const TaskOutcome prepared = registry.prepare(task, &chosen);
        int completions = 0;
        TaskOutcome completed;
        registry.runAsync(task, [&](const TaskOutcome &outcome) {
            ++completions;
            completed = outcome;
        });
        const TaskOutcome executed = registry.execute(task);

        QCOMPARE(completions, 1); // synchronously, in both cases
        if (message.isEmpty()) {
            QCOMPARE(chosen, handler);
            QVERIFY(prepared.ok);
            QVERIFY(prepared.message.isEmpty() && prepared.data.isEmpty());
            QCOMPARE(handler->executed, 2);
            QCOMPARE(completed.signedHash, QStringLiteral("auth"));
            QCOMPARE(executed.signedHash, QStringLiteral("auth"));
            QVERIFY(log.matching(QStringLiteral("[WARN]")).isEmpty());
            QCOMPARE(registry.execute(altered).ok, payloadHash.isEmpty());
            return;
        }
        QCOMPARE(chosen, nullptr);
        QCOMPARE(handler->executed, 0);
        for (const TaskOutcome &outcome : {prepared, completed, executed}) {
            QVERIFY(!outcome.ok);
            QCOMPARE(outcome.message, message);
            QVERIFY(outcome.data.isEmpty() && outcome.signedHash.isEmpty());
        }
        const QStringList warnings = log.matching(QStringLiteral("[WARN]"));
        QCOMPARE(warnings.size(), 3); // one per call
        for (const QString &line : warnings)
            QVERIFY2(line.endsWith(QStringLiteral("[WARN] ") + warning), qPrintable(line));
    }

    void firstRegisteredWins()
    {
        TaskHandlerRegistry registry;
        registry.add(
            std::make_unique<EchoHandler>(QStringLiteral("edo.title"), QStringLiteral("first")));
        registry.add(
            std::make_unique<EchoHandler>(QStringLiteral("edo.title"), QStringLiteral("second")));
        registry.add(
            std::make_unique<EchoHandler>(QStringLiteral("chz.document"), QStringLiteral("doc")));
        QVERIFY(registry.supports(QStringLiteral("chz.document")));
        QVERIFY(!registry.supports(QStringLiteral("chz.auth")));
        QVERIFY(!registry.supports(QString()));
        TaskDescriptor task;
        task.type = QStringLiteral("edo.title");
        QCOMPARE(registry.execute(task).signedHash, QStringLiteral("first"));
    }

    void handlersDieWithRegistry()
    {
        bool deleted = false;
        {
            TaskHandlerRegistry registry;
            registry.add(
                std::make_unique<EchoHandler>(QStringLiteral("x"), QStringLiteral("x"), &deleted));
            QVERIFY(!deleted);
        }
        QVERIFY(deleted);
    }

    void asynchronousHandlerCompletesOnceLater()
    {
        TaskHandlerRegistry registry;
        registry.add(std::make_unique<LaterHandler>());
        TaskDescriptor task;
        task.id = QStringLiteral("u-1");
        task.type = QStringLiteral("utm.request");
        task.payload = payload();
        task.payloadHash = kPayloadHash;
        int completions = 0;
        QString id;
        registry.runAsync(task, [&](const TaskOutcome &outcome) {
            ++completions;
            id = outcome.data.value(QStringLiteral("id")).toString();
        });
        QCOMPARE(completions, 0);
        QTRY_COMPARE(completions, 1);
        QCOMPARE(id, QStringLiteral("u-1"));
        QCoreApplication::processEvents();
        QCOMPARE(completions, 1);
    }
};

QTEST_GUILESS_MAIN(TestTaskHandlerRegistry)
#include "tst_taskhandlerregistry.moc"
