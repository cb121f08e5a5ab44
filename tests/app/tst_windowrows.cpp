#include "app/windowrows.h"
#include "core/agentclient.h"
#include "core/journal.h"
#include "utm/utmprobe.h"

#include <QTest>
#include <QTimeZone>

using namespace Orv;

namespace {

QDateTime utc(int year, int month, int day, int hour, int minute = 0, int second = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), QTimeZone::utc());
}

const QDateTime kNow = utc(2025, 6, 1, 12);
// 20:00 UTC on the 10th is the 11th in the local zone.
const QDateTime kLateEvening = utc(2025, 7, 10, 20);

CertificateInfo certificate(const QString &inn, const QDateTime &from, const QDateTime &to,
                            const QString &subject = "CN=Иванов")
{
    CertificateInfo info;
    info.thumbprint = "th-" + inn;
    info.subject = subject;
    info.inn = inn;
    info.validFrom = from;
    info.validTo = to;
    return info;
}

// Each row as its "key=value" pairs in key order: whole rows compared, and shown when they differ.
QStringList texts(const QVariantList &rows)
{
    QStringList result;
    for (const QVariant &row : rows) {
        QStringList pairs;
        const QVariantMap map = row.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            pairs << it.key() + '=' + it.value().toString();
        result << pairs.join(' ');
    }
    return result;
}

} // namespace

class TestWindowRows : public QObject
{
    Q_OBJECT

private slots:
    // Far enough east of UTC that a late evening in UTC is the next morning locally.
    void initTestCase() { qputenv("TZ", "Asia/Vladivostok"); }

    void taskTitles_data()
    {
        QTest::addColumn<QString>("title"); // of the type in the row's name
        QTest::newRow("chz.auth") << QString("Вход в Честный знак");
        QTest::newRow("chz.document") << QString("Документ Честного знака");
        QTest::newRow("edo.title") << QString("Приёмка УПД");
        QTest::newRow("enroll") << QString("Подключение организации");
        QTest::newRow("utm.request") << QString("Запрос к УТМ");
        QTest::newRow("x.other") << QString("x.other");
        QTest::newRow("CHZ.AUTH") << QString("CHZ.AUTH");
    }

    void taskTitles()
    {
        QFETCH(QString, title);
        QCOMPARE(taskTitle(QTest::currentDataTag()), title);
    }

    void stateTexts_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("icon");
        QTest::newRow("idle") << 0 << QString("Не подключён") << "idle" << "idle";
        QTest::newRow("connecting") << 1 << QString("Подключение…") << "connecting" << "offline";
        QTest::newRow("online") << 2 << QString("На связи") << "online" << "online";
        QTest::newRow("offline") << 3 << QString("Нет связи с сервером") << "offline"
                                 << "offline";
        QTest::newRow("outside") << 7 << QString() << "idle" << "idle";
    }

    // The status line, the state's name and the tray's icon for it.
    void stateTexts()
    {
        QFETCH(int, state);
        QFETCH(QString, status);
        QFETCH(QString, name);
        QFETCH(QString, icon);
        QCOMPARE(agentStatusText(state), status);
        QCOMPARE(agentStateName(state), name);
        QCOMPARE(trayIconPath(name), ":/qt/qml/OrvAgentApp/icons/agent-" + icon + ".svg");
    }

    void certificateValidity_data()
    {
        QTest::addColumn<QDateTime>("from");
        QTest::addColumn<QDateTime>("to");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("soon");
        const QDateTime begun = kNow.addYears(-1);
        QTest::newRow("30 days left") << begun << kNow.addDays(30) << true << true;
        QTest::newRow("31 days left") << begun << kNow.addDays(31) << true << false;
        QTest::newRow("ends now") << begun << kNow << false << false;
        QTest::newRow("not yet valid") << kNow.addSecs(1) << kNow.addDays(5) << false << false;
        QTest::newRow("starts now") << kNow << kNow.addDays(5) << true << true;
        QTest::newRow("no end date") << begun << QDateTime() << false << false;
    }

    void certificateValidity()
    {
        QFETCH(QDateTime, from);
        QFETCH(QDateTime, to);
        QFETCH(bool, valid);
        QFETCH(bool, soon);
        const QVariantMap row =
            certificateRows({certificate("7712345678", from, to)}, kNow)[0].toMap();
        QCOMPARE(row.value("valid").toBool(), valid);
        QCOMPARE(row.value("expiresSoon").toBool(), soon);
    }

    void rows_data()
    {
        QTest::addColumn<QVariantList>("rows");
        QTest::addColumn<QStringList>("expected");
        const QDateTime from = kNow.addYears(-1);
        QTest::newRow("certificates: every one, local end date")
            << certificateRows({certificate("", from, kLateEvening, R"(CN="ООО ""Ромашка""", O=x)"),
                                certificate("7712345678", from.addYears(-1), from)},
                               kNow)
            << QStringList{
                   "expiresSoon=false inn= title=ООО \"Ромашка\" valid=true validTo=11.07.2025",
                   "expiresSoon=false inn=7712345678 title=Иванов valid=false validTo=01.06.2024"};
        // Which certificates are candidates is the signing module's choice, tested there.
        QTest::newRow("enrolment candidates")
            << enrollCandidateRows({certificate("123456789012", from, kNow.addDays(100)),
                                    certificate("7712345678", from, kLateEvening)},
                                   kNow)
            << QStringList{"inn=7712345678 personal=false thumbprint=th-7712345678 title=Иванов "
                           "validTo=11.07.2025",
                           "inn=123456789012 personal=true thumbprint=th-123456789012 title=Иванов "
                           "validTo=09.09.2025"};
        QTest::newRow("organisations")
            << organizationRows({{"7712345678", "Ромашка", "PENDING", true},
                                 {"5012345678", "Лютик", "pending", false}})
            << QStringList{
                   "inn=7712345678 name=Ромашка pending=true signupPending=true status=PENDING",
                   "inn=5012345678 name=Лютик pending=false signupPending=false status=pending"};
        JournalEntry enrolled, failed;
        enrolled.at = utc(2024, 12, 31, 22, 30, 5);
        enrolled.type = "enroll";
        enrolled.orgInn = "7712345678";
        enrolled.ok = true;
        failed.at = utc(2025, 3, 8, 1, 2, 3);
        failed.type = "utm.request";
        failed.message = "УТМ не ответил";
        QTest::newRow("journal in local time")
            << journalRows({enrolled, failed})
            << QStringList{"date=01.01 inn=7712345678 message= ok=true time=08:30:05 "
                           "title=Подключение организации",
                           "date=08.03 inn= message=УТМ не ответил ok=false time=11:02:03 "
                           "title=Запрос к УТМ"};
        UtmStatus never, checked;
        never.endpoint = "http://a:8080";
        checked.endpoint = "http://b:8080";
        checked.reachable = true;
        checked.fsrarId = "030000123456";
        checked.version = "4.2.0";
        checked.inn = "7701234567";
        checked.kpp = "770101001";
        checked.rsaExpiresAt = utc(2027, 2, 28, 23);
        checked.gostExpiresAt = utc(2026, 11, 14, 21);
        checked.checkedAt = utc(2025, 6, 1, 9, 15, 30);
        QTest::newRow("УТМ, never checked and checked")
            << utmRows({never, checked})
            << QStringList{"checked=false checkedAt= endpoint=http://a:8080 error= fsrarId= "
                           "gostExpires= inn= reachable=false rsaExpires= version=",
                           "checked=true checkedAt=19:15:30 endpoint=http://b:8080 error= "
                           "fsrarId=030000123456 gostExpires=15.11.2026 inn=7701234567 "
                           "reachable=true rsaExpires=01.03.2027 version=4.2.0"};
    }

    void rows()
    {
        QFETCH(QVariantList, rows);
        QFETCH(QStringList, expected);
        QCOMPARE(texts(rows), expected);
    }
};

QTEST_GUILESS_MAIN(TestWindowRows)
#include "tst_windowrows.moc"
