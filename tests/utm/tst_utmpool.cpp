#include "utm/utmpool.h"
#include "tests/support/fakeutm.h"

#include <QTest>

#include <memory>

using namespace Orv;
using Orv::Test::FakeAnswer;
using Orv::Test::FakeUtm;
using Orv::Test::FakeUtmIdentity;

namespace {

// One УТМ stand-in with its client.
struct Utm
{
    explicit Utm(const QString &fsrarId = QString())
    {
        if (!fsrarId.isEmpty()) {
            FakeUtmIdentity identity;
            identity.fsrarId = fsrarId;
            fake.serveIdentity(identity);
        }
    }
    FakeUtm fake;
    UtmHttpClient client{fake.baseUrl()};
};

// What one pool refresh reported.
struct Refresh
{
    QStringList progress; // endpoints, in the order the checks ended
    int done = 0;
    int progressAtDone = -1;

    void start(UtmPool &pool)
    {
        pool.refresh([this](const UtmStatus &status) { progress.append(status.endpoint); },
                     [this] {
                         ++done;
                         progressAtDone = progress.size();
                     });
    }
};

void silence(FakeUtm &fake, const char *path)
{
    fake.answer("GET", QLatin1String(path), FakeAnswer::never());
}

const QString kA = QStringLiteral("030000000001");
const QString kB = QStringLiteral("030000000002");

} // namespace

class TestUtmPool : public QObject
{
    Q_OBJECT

private slots:
    void emptyPoolIsDoneAtOnce()
    {
        UtmPool pool;
        QVERIFY(pool.isEmpty() && pool.allFsrarIdsKnown());
        Refresh refresh;
        refresh.start(pool);
        QCOMPARE(refresh.done, 1);
        QVERIFY(refresh.progress.isEmpty());
        pool.refresh({}, {});
    }

    void refreshReportsEachProbeThenDone()
    {
        Utm a(kA), b(kB), down;
        down.fake.shutDown();
        UtmPool pool;
        pool.setClients({&a.client, nullptr, &b.client, &down.client, &a.client});
        QCOMPARE(pool.clients(), (QList<IUtmClient *>{&a.client, &b.client, &down.client}));
        QVERIFY(!pool.allFsrarIdsKnown());
        Refresh refresh;
        refresh.start(pool);
        QTRY_COMPARE(refresh.done, 1);
        QCOMPARE(refresh.progressAtDone, 3);
        QCOMPARE(refresh.progress.size(), 3);
        QVERIFY(!pool.allFsrarIdsKnown());
        QCOMPARE(pool.probeFor(kB)->client(), &b.client);
        QVERIFY(!pool.probeFor(QString()));
        QVERIFY(!pool.probeFor(QStringLiteral("030000000009")));

        pool.setClients({&a.client, &b.client});
        QVERIFY(pool.allFsrarIdsKnown());
    }

    // Two addresses of one УТМ: the first serves it, the second says so and is not used.
    void repeatedFsrarIdIsMarked()
    {
        Utm first(kA), second(kA), other(kB);
        UtmPool pool;
        pool.setClients({&first.client, &other.client, &second.client});
        Refresh refresh;
        refresh.start(pool);
        QTRY_COMPARE(refresh.done, 1);
        const QList<UtmStatus> statuses = pool.statuses();
        QCOMPARE(statuses.size(), 3);
        QVERIFY(statuses[0].error.isEmpty() && statuses[1].error.isEmpty());
        QCOMPARE(statuses[2].error,
                 QStringLiteral("Это тот же УТМ, что по адресу %1: задачи идут туда, этот адрес "
                                "можно убрать")
                     .arg(first.fake.baseUrl()));
        QVERIFY(pool.probeFor(kA)->status().error.isEmpty());
        QCOMPARE(pool.probeFor(kA)->client(), &first.client);
    }

    void reorderKeepsProbes()
    {
        Utm a(kA), b(kB);
        UtmPool pool;
        pool.setClients({&a.client, &b.client});
        Refresh refresh;
        refresh.start(pool);
        QTRY_COMPARE(refresh.done, 1);
        const auto probeA = pool.probeFor(kA);
        pool.setClients({&b.client, &a.client});
        QCOMPARE(pool.probeFor(kA), probeA);
        QCOMPARE(pool.statuses().value(0).fsrarId, kB);
        QCOMPARE(pool.statuses().value(1).fsrarId, kA);
        QCOMPARE(a.fake.requests().size(), 4);
    }

    // A client leaving the pool mid-check: its check ends at once, its probe forgets it, and the
    // refresh still reaches its end.
    void droppedClientEndsItsCheck()
    {
        Utm kept(kB), dropped(kA);
        silence(dropped.fake, "/info/version");
        UtmPool pool;
        pool.setClients({&dropped.client, &kept.client});
        Refresh refresh;
        refresh.start(pool);
        QTRY_COMPARE(dropped.fake.requestsTo("/info/version").size(), 1);
        const auto droppedProbe = pool.probeFor(kA);
        QVERIFY(droppedProbe);
        pool.setClients({&kept.client});
        QVERIFY(!droppedProbe->client());
        QVERIFY(droppedProbe->status().fsrarId.isEmpty());
        QTRY_COMPARE(refresh.done, 1);
        QCOMPARE(refresh.progressAtDone, 2);
        QVERIFY(refresh.progress.contains(QString()));
        QCOMPARE(dropped.fake.requests().size(), 2);
        QCOMPARE(pool.clients(), QList<IUtmClient *>{&kept.client});
    }

    void abortAllEndsDiagnosisChecks()
    {
        Utm a;
        silence(a.fake, "/diagnosis");
        UtmPool pool;
        pool.setClients({&a.client});
        Refresh refresh;
        refresh.start(pool);
        QTRY_COMPARE(a.fake.requests().size(), 1);
        pool.abortAll();
        QCOMPARE(refresh.done, 1);
        const UtmStatus status = pool.statuses().value(0);
        QVERIFY(!status.reachable);
        QVERIFY(status.error.startsWith(
            QStringLiteral("УТМ по адресу %1 не отвечает: ").arg(a.fake.baseUrl())));
        QCOMPARE(pool.clients(), QList<IUtmClient *>{&a.client});
    }

    // Destroying the pool leaves no check running on a client it does not own.
    void destructionDetachesRunningChecks()
    {
        Utm a(kA);
        silence(a.fake, "/api/info/list");
        auto pool = std::make_unique<UtmPool>();
        pool->setClients({&a.client});
        Refresh refresh;
        refresh.start(*pool);
        QTRY_COMPARE(a.fake.requestsTo("/api/info/list").size(), 1);
        pool.reset();
        QCOMPARE(refresh.done, 1);
        QCOMPARE(a.fake.requests().size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestUtmPool)
#include "tst_utmpool.moc"
