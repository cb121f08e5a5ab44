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
    explicit Utm(const QString &fsrarId)
    {
        FakeUtmIdentity identity;
        identity.fsrarId = fsrarId;
        fake.serveIdentity(identity);
    }
    FakeUtm fake;
    UtmHttpClient client{fake.baseUrl()};
};

// What one pool refresh reported.
struct Refresh
{
    explicit Refresh(UtmPool &pool)
    {
        pool.refresh([this](const UtmStatus &status) { progress.append(status.endpoint); },
                     [this] {
                         ++done;
                         progressAtDone = progress.size();
                     });
    }

    QStringList progress; // endpoints, in the order the checks ended
    int done = 0;
    int progressAtDone = -1;
};

const QString kA = QStringLiteral("030000000001");
const QString kB = QStringLiteral("030000000002");

} // namespace

class TestUtmPool : public QObject
{
    Q_OBJECT

private slots:
    void refreshReportsEachProbeThenDone()
    {
        Utm a(kA), b(kB), down(kB);
        down.fake.shutDown();
        UtmPool pool;
        pool.setClients({&a.client, nullptr, &b.client, &down.client, &a.client});
        QCOMPARE(pool.clients(), (QList<IUtmClient *>{&a.client, &b.client, &down.client}));
        Refresh refresh(pool);
        QTRY_COMPARE(refresh.done, 1);
        QCOMPARE(refresh.progressAtDone, 3);
        QVERIFY(!pool.allFsrarIdsKnown());
        QCOMPARE(pool.probeFor(kB)->client(), &b.client);
        QVERIFY(!pool.probeFor(QString()));
        QVERIFY(!pool.probeFor(QStringLiteral("030000000009")));

        // A new order keeps each client's probe and what it learnt.
        const auto probeA = pool.probeFor(kA);
        pool.setClients({&b.client, &a.client});
        QVERIFY(pool.allFsrarIdsKnown());
        QCOMPARE(pool.probeFor(kA), probeA);
        QCOMPARE(pool.statuses().value(0).fsrarId, kB);
        QCOMPARE(a.fake.requests().size(), 4);

        pool.setClients({});
        QCOMPARE(Refresh(pool).done, 1);
    }

    // Two addresses of one УТМ: the first serves it, the second says so and is not used.
    void repeatedFsrarIdIsMarked()
    {
        Utm first(kA), second(kA), other(kB);
        UtmPool pool;
        pool.setClients({&first.client, &other.client, &second.client});
        Refresh refresh(pool);
        QTRY_COMPARE(refresh.done, 1);
        const QList<UtmStatus> statuses = pool.statuses();
        QVERIFY(statuses[0].error.isEmpty() && statuses[1].error.isEmpty());
        QCOMPARE(statuses[2].error,
                 QStringLiteral("Это тот же УТМ, что по адресу %1: задачи идут туда, этот адрес "
                                "можно убрать")
                     .arg(first.fake.baseUrl()));
        QCOMPARE(pool.probeFor(kA)->client(), &first.client);
    }

    // A check cut short, by the client leaving the pool, by an abort or by the pool going away,
    // ends at once, and the refresh still reaches its end.
    void interruptedCheckEnds_data()
    {
        QTest::addColumn<QString>("cut");
        QTest::addColumn<QString>("silentPage");
        QTest::newRow("client dropped")
            << QStringLiteral("drop") << QStringLiteral("/info/version");
        QTest::newRow("aborted") << QStringLiteral("abort") << QStringLiteral("/diagnosis");
        QTest::newRow("pool destroyed")
            << QStringLiteral("destroy") << QStringLiteral("/api/info/list");
    }

    void interruptedCheckEnds()
    {
        QFETCH(QString, cut);
        QFETCH(QString, silentPage);
        Utm kept(kB), stuck(kA);
        stuck.fake.answer("GET", silentPage, FakeAnswer::never());
        auto pool = std::make_unique<UtmPool>();
        pool->setClients({&stuck.client, &kept.client});
        Refresh refresh(*pool);
        QTRY_COMPARE(stuck.fake.requestsTo(silentPage).size(), 1);
        QTRY_COMPARE(refresh.progress.size(), 1);
        const auto stuckProbe = pool->probeFor(kA); // null while "/diagnosis" is pending
        if (cut == QLatin1String("drop"))
            pool->setClients({&kept.client});
        else if (cut == QLatin1String("abort"))
            pool->abortAll();
        else
            pool.reset();
        QCOMPARE(refresh.done, 1);
        QCOMPARE(refresh.progressAtDone, 2);
        if (cut == QLatin1String("drop")) {
            // The probe forgets its client and what it was checking.
            QVERIFY(stuckProbe && !stuckProbe->client());
            QVERIFY(stuckProbe->status().fsrarId.isEmpty());
        } else if (cut == QLatin1String("abort")) {
            QVERIFY(!pool->statuses().value(0).reachable);
            QCOMPARE(pool->clients().size(), 2);
        }
    }
};

QTEST_GUILESS_MAIN(TestUtmPool)
#include "tst_utmpool.moc"
