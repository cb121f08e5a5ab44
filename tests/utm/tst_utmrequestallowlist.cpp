#include "utm/utmrequestallowlist.h"

#include <QTest>

using namespace Orv;

namespace {

const QString kOk;
// Stands for "Путь «<the row's path>» не похож на путь УТМ".
const QString kNotAPath = QStringLiteral("-");

void row(const char *name, const char *method, const char *path, bool write, bool del,
         const QString &refusal)
{
    QTest::newRow(name) << QString::fromLatin1(method) << QString::fromUtf8(path) << write << del
                        << refusal;
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

        row("read queue", "GET", "/opt/out", false, false, kOk);
        row("read document", "GET", "/opt/out/WayBill_v4/17", false, false, kOk);
        row("read diagnosis query", "GET", "/diagnosis?x=1", false, false, kOk);
        row("read query escape", "GET", "/opt/out?x=%41", false, false, kOk);
        row("read outbox", "GET", "/opt/outbox", true, true,
            QStringLiteral("Чтение /opt/outbox не входит в разрешённое"));
        row("read other", "GET", "/api/gost?x=1", true, true,
            QStringLiteral("Чтение /api/gost не входит в разрешённое"));

        // Paths the network layer would rewrite before sending, or that are no paths at all.
        row("double slash", "GET", "//opt/out", false, false, kNotAPath);
        row("no slash", "GET", "opt/out", false, false, kNotAPath);
        row("dot dot", "GET", "/opt/out/../api", false, false, kNotAPath);
        row("dot segment", "GET", "/opt/out/./x", false, false, kNotAPath);
        row("encoded dots", "GET", "/opt/out/%2e%2e/api", false, false, kNotAPath);
        row("backslash", "GET", "/opt/out/\\api", false, false, kNotAPath);
        row("fragment", "GET", "/opt/out#x", false, false, kNotAPath);
        row("blank", "GET", "/opt/out/a b", false, false, kNotAPath);
        row("line break", "DELETE", "/opt/out/x\r\n", true, true, kNotAPath);
        row("C1 control", "GET", "/opt/out/\u0085", false, false, kNotAPath);
        row("dotted name", "GET", "/opt/out/.x", false, false, kOk);

        row("lower-case method", "get", "/opt/out", false, false,
            QStringLiteral("Метод get не входит в разрешённое"));
        row("PUT", "PUT", "/opt/out", true, true,
            QStringLiteral("Метод PUT не входит в разрешённое"));
        row("path before method", "PUT", "//x", true, true, kNotAPath);

        row("cheque without write", "POST", "/xml?type=ChequeV4", false, true,
            QStringLiteral("Чек меняет учёт в ЕГАИС, а запись для этого УТМ выключена"));
        row("cheque with write", "POST", "/xml?type=ChequeV4", true, false, kOk);
        row("cheque with a line feed", "POST", "/xml?type=ChequeV4\n", true, true,
            QStringLiteral("Отправка на /xml?type=ChequeV4\n не входит в разрешённое"));
        row("other cheque", "POST", "/xml?type=ChequeV3", true, true,
            QStringLiteral("Чек ChequeV3 не входит в разрешённое"));
        row("query type", "POST", "/opt/in/QueryAP_v2", false, false, kOk);
        row("write type without write", "POST", "/opt/in/WayBillAct_v4", false, true,
            QStringLiteral(
                "Отправка WayBillAct_v4 меняет учёт в ЕГАИС, а запись для этого УТМ выключена"));
        row("write type with write", "POST", "/opt/in/WayBillAct_v4", true, false, kOk);
        row("inbox with query", "POST", "/opt/in/WayBillAct_v4?x=1", true, true,
            QStringLiteral("Отправка на /opt/in/WayBillAct_v4?x=1 не входит в разрешённое"));
        row("unknown type", "POST", "/opt/in/WayBill_v4", true, true,
            QStringLiteral("Тип документа WayBill_v4 не входит в разрешённое"));

        row("delete queue itself", "DELETE", "/opt/out", true, true,
            QStringLiteral("Удаление /opt/out не входит в разрешённое"));
        row("delete without switch", "DELETE", "/opt/out/WayBill_v4/17", true, false,
            QStringLiteral("Удаление из очереди УТМ выключено: пока ВЕСТРИК читает ту же очередь, "
                           "документы не удаляются"));
        row("delete with switch", "DELETE", "/opt/out/WayBill_v4/17", false, true, kOk);
        row("delete elsewhere", "DELETE", "/opt/in/QueryAP_v2", true, true,
            QStringLiteral("Удаление /opt/in/QueryAP_v2 не входит в разрешённое"));
    }

    void check()
    {
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(bool, allowWrite);
        QFETCH(bool, allowDelete);
        QFETCH(QString, refusal);
        if (refusal == kNotAPath)
            refusal = QStringLiteral("Путь «%1» не похож на путь УТМ").arg(path);
        QCOMPARE(UtmRequestPolicy::check(method, path, {allowWrite, allowDelete}), refusal);
    }
};

QTEST_GUILESS_MAIN(TestUtmRequestAllowList)
#include "tst_utmrequestallowlist.moc"
