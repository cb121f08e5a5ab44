#include "app/windowrows.h"
#include "core/agentclient.h"
#include "core/journal.h"
#include "utm/utmprobe.h"

#include <QTest>
#include <QTimeZone>

using namespace Orv;

namespace {

// Far enough east of UTC that a late evening in UTC is the next morning locally.
const QByteArray kZone = "Asia/Vladivostok";

CertificateInfo certificate(const QString &inn, const QDateTime &from, const QDateTime &to,
                            const QString &subject = QStringLiteral("CN=Иванов"))
{
    CertificateInfo info;
    info.thumbprint = QStringLiteral("th-") + inn + from.toString(QStringLiteral("yyMMdd"));
    info.subject = subject;
    info.inn = inn;
    info.validFrom = from;
    info.validTo = to;
    return info;
}

QVariantMap row(const QVariantList &rows, int index)
{
    return rows.value(index).toMap();
}

} // namespace

class TestWindowRows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("TZ", kZone);
        QVERIFY(QDateTime(QDate(2025, 1, 1), QTime(0, 0), Qt::LocalTime).offsetFromUtc() != 0);
    }

    void taskTitles_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("title");
        QTest::newRow("chz.auth") << "chz.auth"
                                  << "Вход в Честный знак";
        QTest::newRow("chz.document") << "chz.document"
                                      << "Документ Честного знака";
        QTest::newRow("edo.title") << "edo.title"
                                   << "Приёмка УПД";
        QTest::newRow("enroll") << "enroll"
                                << "Подключение организации";
        QTest::newRow("utm.request") << "utm.request"
                                     << "Запрос к УТМ";
        QTest::newRow("unknown stands for itself") << "x.other"
                                                   << "x.other";
        QTest::newRow("case matters") << "CHZ.AUTH"
                                      << "CHZ.AUTH";
    }
    void taskTitles()
    {
        QFETCH(QString, type);
        QFETCH(QString, title);
        QCOMPARE(taskTitle(type), title);
    }

    void stateTexts_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("name");
        QTest::newRow("idle") << 0 << "Не подключён"
                              << "idle";
        QTest::newRow("connecting") << 1 << "Подключение…"
                                    << "connecting";
        QTest::newRow("online") << 2 << "На связи"
                                << "online";
        QTest::newRow("offline") << 3 << "Нет связи с сервером"
                                 << "offline";
        QTest::newRow("outside") << 7 << ""
                                 << "idle";
        QTest::newRow("negative") << -1 << ""
                                  << "idle";
    }
    void stateTexts()
    {
        QFETCH(int, state);
        QFETCH(QString, status);
        QFETCH(QString, name);
        QCOMPARE(agentStatusText(state), status);
        QCOMPARE(agentStateName(state), name);
    }

    void certificateValidity_data()
    {
        QTest::addColumn<QDateTime>("from");
        QTest::addColumn<QDateTime>("to");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("soon");
        const QDateTime now(QDate(2025, 6, 1), QTime(12, 0), QTimeZone::utc());
        const QDateTime begun = now.addYears(-1);
        QTest::newRow("30 days left") << begun << now.addDays(30) << true << true;
        QTest::newRow("31 days left") << begun << now.addDays(31) << true << false;
        QTest::newRow("a year left") << begun << now.addYears(1) << true << false;
        QTest::newRow("ends now") << begun << now << false << false;
        QTest::newRow("expired") << begun << now.addDays(-1) << false << false;
        QTest::newRow("not yet valid") << now.addSecs(1) << now.addDays(5) << false << false;
        QTest::newRow("starts now") << now << now.addDays(5) << true << true;
        QTest::newRow("no end date") << begun << QDateTime() << false << false;
    }
    void certificateValidity()
    {
        QFETCH(QDateTime, from);
        QFETCH(QDateTime, to);
        QFETCH(bool, valid);
        QFETCH(bool, soon);
        const QDateTime now(QDate(2025, 6, 1), QTime(12, 0), QTimeZone::utc());
        const QVariantMap r = row(certificateRows({certificate("7712345678", from, to)}, now), 0);
        QCOMPARE(r.value("valid").toBool(), valid);
        QCOMPARE(r.value("expiresSoon").toBool(), soon);
    }

    void certificateRowsKeepEveryCertificate()
    {
        const QDateTime now(QDate(2025, 6, 1), QTime(12, 0), QTimeZone::utc());
        // Ends at 20:00 UTC on the 10th, which is the 11th in the local zone.
        const QDateTime end(QDate(2025, 7, 10), QTime(20, 0), QTimeZone::utc());
        const QVariantList rows =
            certificateRows({certificate("", now.addYears(-1), end, R"(CN="ООО ""Ромашка""", O=x)"),
                             certificate("7712345678", now.addYears(-2), now.addYears(-1))},
                            now);
        QCOMPARE(rows.size(), 2);
        const QVariantMap first = row(rows, 0);
        QCOMPARE(first.value("title").toString(), R"(ООО "Ромашка")");
        QCOMPARE(first.value("inn").toString(), "");
        QCOMPARE(first.value("validTo").toString(), "11.07.2025");
        QCOMPARE(row(rows, 1).value("inn").toString(), "7712345678");
    }

    void enrollCandidates()
    {
        const QDateTime now(QDate(2025, 6, 1), QTime(12, 0), QTimeZone::utc());
        const QDateTime from = now.addYears(-1);
        const QVariantList rows =
            enrollCandidateRows({certificate("123456789012", from, now.addDays(100)),
                                 certificate("7712345678", from, now.addDays(50)),
                                 certificate("7712345678", from.addDays(1), now.addDays(200)),
                                 certificate("", from, now.addDays(300)),
                                 certificate("5012345678", from, now.addDays(-1))},
                                now);
        QCOMPARE(rows.size(), 2);
        const QVariantMap organisation = row(rows, 0);
        QCOMPARE(organisation.value("inn").toString(), "7712345678");
        QCOMPARE(organisation.value("thumbprint").toString(),
                 "th-7712345678" + from.addDays(1).toString("yyMMdd"));
        QCOMPARE(organisation.value("title").toString(), "Иванов");
        QCOMPARE(organisation.value("validTo").toString(),
                 now.addDays(200).toLocalTime().toString("dd.MM.yyyy"));
        QCOMPARE(organisation.value("personal").toBool(), false);
        QCOMPARE(row(rows, 1).value("inn").toString(), "123456789012");
        QCOMPARE(row(rows, 1).value("personal").toBool(), true);
    }

    void organizations()
    {
        const QList<OrganizationLink> links{{"7712345678", "Ромашка", "PENDING", true},
                                            {"5012345678", "Лютик", "pending", false},
                                            {"123456789012", "ИП Петров", "ACTIVE", false}};
        const QVariantList rows = organizationRows(links);
        QCOMPARE(rows.size(), 3);
        QCOMPARE(row(rows, 0), (QVariantMap{{"inn", "7712345678"},
                                            {"name", "Ромашка"},
                                            {"status", "PENDING"},
                                            {"pending", true},
                                            {"signupPending", true}}));
        QCOMPARE(row(rows, 1).value("pending").toBool(), false);
        QCOMPARE(row(rows, 2).value("status").toString(), "ACTIVE");
    }

    void journalDatesAreLocal()
    {
        JournalEntry late;
        late.at = QDateTime(QDate(2024, 12, 31), QTime(22, 30, 5), QTimeZone::utc());
        late.type = "enroll";
        late.orgInn = "7712345678";
        late.ok = true;
        JournalEntry failed;
        failed.at = QDateTime(QDate(2025, 3, 8), QTime(1, 2, 3), QTimeZone::utc());
        failed.type = "utm.request";
        failed.message = "УТМ не ответил: x";
        const QVariantList rows = journalRows({late, failed});
        QCOMPARE(rows.size(), 2);
        const QVariantMap first = row(rows, 0);
        QCOMPARE(first.value("date").toString(), late.at.toLocalTime().toString("dd.MM"));
        QCOMPARE(first.value("date").toString(), "01.01");
        QCOMPARE(first.value("time").toString(), late.at.toLocalTime().toString("HH:mm:ss"));
        QCOMPARE(first.value("title").toString(), "Подключение организации");
        QCOMPARE(first.value("inn").toString(), "7712345678");
        QCOMPARE(first.value("ok").toBool(), true);
        QCOMPARE(first.value("message").toString(), "");
        const QVariantMap second = row(rows, 1);
        QCOMPARE(second.value("title").toString(), "Запрос к УТМ");
        QCOMPARE(second.value("ok").toBool(), false);
        QCOMPARE(second.value("message").toString(), "УТМ не ответил: x");
    }

    void utmRowsShowChecksInLocalTime()
    {
        UtmStatus never;
        never.endpoint = "http://a:8080";
        UtmStatus checked;
        checked.endpoint = "http://b:8080";
        checked.reachable = true;
        checked.fsrarId = "030000123456";
        checked.inn = "7701234567";
        checked.kpp = "770101001";
        checked.version = "4.2.0";
        checked.rsaExpiresAt = QDateTime(QDate(2027, 2, 28), QTime(23, 0), QTimeZone::utc());
        checked.gostExpiresAt = QDateTime(QDate(2026, 11, 14), QTime(21, 0), QTimeZone::utc());
        checked.checkedAt = QDateTime(QDate(2025, 6, 1), QTime(9, 15, 30), QTimeZone::utc());
        const QVariantList rows = utmRows({never, checked});
        QCOMPARE(rows.size(), 2);
        QCOMPARE(row(rows, 0), (QVariantMap{{"endpoint", "http://a:8080"},
                                            {"checked", false},
                                            {"reachable", false},
                                            {"fsrarId", ""},
                                            {"inn", ""},
                                            {"version", ""},
                                            {"error", ""},
                                            {"rsaExpires", ""},
                                            {"gostExpires", ""},
                                            {"checkedAt", ""}}));
        const QVariantMap second = row(rows, 1);
        QCOMPARE(second.value("checked").toBool(), true);
        QCOMPARE(second.value("reachable").toBool(), true);
        QCOMPARE(second.value("fsrarId").toString(), "030000123456");
        QCOMPARE(second.value("inn").toString(), "7701234567");
        QVERIFY(!second.contains("kpp"));
        QCOMPARE(second.value("rsaExpires").toString(), "01.03.2027");
        QCOMPARE(second.value("gostExpires").toString(), "15.11.2026");
        QCOMPARE(second.value("checkedAt").toString(),
                 checked.checkedAt.toLocalTime().toString("HH:mm:ss"));
    }
};

QTEST_GUILESS_MAIN(TestWindowRows)
#include "tst_windowrows.moc"
