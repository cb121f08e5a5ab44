#include "utm/utmrequestallowlist.h"

#include <QTest>

using namespace Orv;

namespace {

const QString kOk;
const QString kQueue = QStringLiteral("Удаление из очереди УТМ выключено: пока ВЕСТРИК читает ту "
                                      "же очередь, документы не удаляются");

QString notAPath(const QString &path)
{
    return QStringLiteral("Путь «%1» не похож на путь УТМ").arg(path);
}

} // namespace

class TestUtmRequestAllowList : public QObject
{
    Q_OBJECT

private slots:
    void check_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("allowWrite");
        QTest::addColumn<bool>("allowDelete");
        QTest::addColumn<QString>("refusal");

        const auto row = [](const char *name, const char *method, const QString &path, bool write,
                            bool del, const QString &refusal) {
            QTest::newRow(name) << QString::fromLatin1(method) << path << write << del << refusal;
        };
        const auto s = [](const char *text) {
            return QString::fromUtf8(text);
        };

        row("read queue", "GET", s("/opt/out"), false, false, kOk);
        row("read queue query", "GET", s("/opt/out?refresh=true"), false, false, kOk);
        row("read document", "GET", s("/opt/out/WayBill_v4/17"), false, false, kOk);
        row("read diagnosis query", "GET", s("/diagnosis?x=1"), false, false, kOk);
        row("read rsa", "GET", s("/api/rsa"), false, false, kOk);
        row("read query escape", "GET", s("/opt/out?x=%41"), false, false, kOk);
        row("read outbox", "GET", s("/opt/outbox"), true, true,
            s("Чтение /opt/outbox не входит в разрешённое"));
        row("read other", "GET", s("/api/gost?x=1"), true, true,
            s("Чтение /api/gost не входит в разрешённое"));
        row("read lower-case page", "GET", s("/Diagnosis"), false, false,
            s("Чтение /Diagnosis не входит в разрешённое"));

        row("double slash", "GET", s("//opt/out"), false, false, notAPath(s("//opt/out")));
        row("dot dot", "GET", s("/opt/out/../api"), false, false, notAPath(s("/opt/out/../api")));
        row("dot dot in query", "GET", s("/opt/out?x=.."), false, false,
            notAPath(s("/opt/out?x=..")));
        row("no slash", "GET", s("opt/out"), false, false, notAPath(s("opt/out")));
        row("empty", "GET", QString(), false, false, notAPath(QString()));
        // What the network layer would rewrite before sending.
        row("encoded dots", "GET", s("/opt/out/%2e%2e/api"), false, false,
            notAPath(s("/opt/out/%2e%2e/api")));
        row("encoded slash", "GET", s("/opt/out%2F..%2Fapi"), false, false,
            notAPath(s("/opt/out%2F..%2Fapi")));
        row("dot segment", "GET", s("/opt/out/./x"), false, false, notAPath(s("/opt/out/./x")));
        row("trailing dot", "GET", s("/opt/out/."), false, false, notAPath(s("/opt/out/.")));
        row("backslash", "GET", s("/opt/out/\\api"), false, false, notAPath(s("/opt/out/\\api")));
        row("fragment", "GET", s("/opt/out#x"), false, false, notAPath(s("/opt/out#x")));
        row("blank", "GET", s("/opt/out/a b"), false, false, notAPath(s("/opt/out/a b")));
        row("tab", "GET", s("/opt/out/\tx"), false, false, notAPath(s("/opt/out/\tx")));
        row("line break", "DELETE", s("/opt/out/x\r\n"), true, true, notAPath(s("/opt/out/x\r\n")));
        row("C1 control", "GET", s("/opt/out/\u0085"), false, false,
            notAPath(s("/opt/out/\u0085")));
        row("dotted name", "GET", s("/opt/out/.x"), false, false, kOk);

        row("lower-case method", "get", s("/opt/out"), false, false,
            s("Метод get не входит в разрешённое"));
        row("PUT", "PUT", s("/opt/out"), true, true, s("Метод PUT не входит в разрешённое"));
        row("path before method", "PUT", s("//x"), true, true, notAPath(s("//x")));

        row("cheque without write", "POST", s("/xml?type=ChequeV4"), false, true,
            s("Чек меняет учёт в ЕГАИС, а запись для этого УТМ выключена"));
        row("cheque with write", "POST", s("/xml?type=ChequeV4"), true, false, kOk);
        row("other cheque", "POST", s("/xml?type=ChequeV3"), true, true,
            s("Чек ChequeV3 не входит в разрешённое"));
        row("query type", "POST", s("/opt/in/QueryAP_v2"), false, false, kOk);
        row("write type without write", "POST", s("/opt/in/WayBillAct_v4"), false, true,
            s("Отправка WayBillAct_v4 меняет учёт в ЕГАИС, а запись для этого УТМ выключена"));
        row("write type with write", "POST", s("/opt/in/WayBillAct_v4"), true, false, kOk);
        row("inbox with query", "POST", s("/opt/in/WayBillAct_v4?x=1"), true, true,
            s("Отправка на /opt/in/WayBillAct_v4?x=1 не входит в разрешённое"));
        row("inbox without type", "POST", s("/opt/in/"), true, true,
            s("Отправка на /opt/in/ не входит в разрешённое"));
        row("unknown type", "POST", s("/opt/in/WayBill_v4"), true, true,
            s("Тип документа WayBill_v4 не входит в разрешённое"));
        row("type case", "POST", s("/opt/in/queryap_v2"), true, true,
            s("Тип документа queryap_v2 не входит в разрешённое"));

        row("delete queue itself", "DELETE", s("/opt/out"), true, true,
            s("Удаление /opt/out не входит в разрешённое"));
        row("delete without switch", "DELETE", s("/opt/out/WayBill_v4/17"), true, false, kQueue);
        row("delete with switch", "DELETE", s("/opt/out/WayBill_v4/17"), false, true, kOk);
        row("delete elsewhere", "DELETE", s("/opt/in/QueryAP_v2"), true, true,
            s("Удаление /opt/in/QueryAP_v2 не входит в разрешённое"));
    }

    void check()
    {
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(bool, allowWrite);
        QFETCH(bool, allowDelete);
        QFETCH(QString, refusal);
        QCOMPARE(UtmRequestPolicy::check(method, path, {allowWrite, allowDelete}), refusal);
    }

    void inboxType()
    {
        QCOMPARE(UtmRequestPolicy::inboxType(QStringLiteral("/opt/in/QueryAP_v2")),
                 QStringLiteral("QueryAP_v2"));
        QVERIFY(UtmRequestPolicy::inboxType(QStringLiteral("/xml?type=ChequeV4")).isEmpty());
        QVERIFY(UtmRequestPolicy::inboxType(QStringLiteral("/opt/in/a/b")).isEmpty());
    }

    void listsAreDisjoint()
    {
        for (const QString &type : UtmRequestPolicy::queryTypes())
            QVERIFY(!UtmRequestPolicy::writeTypes().contains(type));
        for (const QString &path : UtmRequestPolicy::readOnlyPaths())
            QVERIFY(UtmRequestPolicy::checkRead(path).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestUtmRequestAllowList)
#include "tst_utmrequestallowlist.moc"
