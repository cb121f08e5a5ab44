#include "signing/certsubject.h"

#include <QTest>

using namespace Orv;

namespace {

template<typename... Values> void row(const char *name, const Values &...values)
{
    (QTest::newRow(name) << ... << values);
}

const QDateTime kNow(QDate(2025, 6, 1), QTime(12, 0), Qt::UTC);

CertificateInfo certificate(const QString &thumbprint, const QString &inn, const QDateTime &from,
                            const QDateTime &to)
{
    return {thumbprint, {}, inn, from, to};
}

} // namespace

class TestCertSubject : public QObject
{
    Q_OBJECT

private slots:
    void commonNameAndTitle_data()
    {
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("title");
        row("no CN", "O=Ромашка, C=RU", "O=Ромашка, C=RU", "O=Ромашка, C=RU");
        row("lower case, blanks", "cn = Иванов, SN=Иванов, C=RU", "Иванов", "Иванов");
        row("after comma", "E=a@b.ru, CN=Петров Пётр, C=RU", "Петров Пётр", "Петров Пётр");
        row("not a CN inside a value", "OU=XCN=Ложный, CN=Настоящий", "Настоящий", "Настоящий");
        row("quoted, doubled inner marks", "CN=\"ООО \"\"Ромашка\"\"\", O=x",
            "\"ООО \"\"Ромашка\"\"\"", "ООО \"Ромашка\"");
        row("one quotation mark", "CN=\", C=RU", "\"", "\"");
        row("two quotation marks", "CN=\"\"", "\"\"", "");
        row("comma inside the quotation marks", "CN=\"ООО \"\"Ромашка, Лютик\"\"\", O=x",
            "\"ООО \"\"Ромашка, Лютик\"\"\"", "ООО \"Ромашка, Лютик\"");
    }

    void commonNameAndTitle()
    {
        QFETCH(QString, subject);
        QFETCH(QString, name);
        QFETCH(QString, title);
        QCOMPARE(commonName(subject), name);
        CertificateInfo info;
        info.subject = subject;
        QCOMPARE(certificateTitle(info), title);
    }

    void innFromSubject_data()
    {
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("inn");
        row("none", "CN=Иванов, C=RU", "");
        row("organisation by oid", "CN=x, 1.2.643.100.4=7712345678", "7712345678");
        row("person by oid", "CN=x, 1.2.643.3.131.1.1=123456789012", "123456789012");
        row("INN", "INN=123456789012, CN=x", "123456789012");
        row("INNLE", "CN=x, INNLE=7712345678", "7712345678");
        row("lower-case names", "CN=x, инн юл = 7712345678", "7712345678");
        row("00 prefix dropped", "CN=x, ИНН=007712345678", "7712345678");
        row("00 prefix of a 10-digit value kept", "CN=x, ИНН=0012345678", "0012345678");
        // The forms are tried in a fixed order, whatever their order in the subject.
        row("organisation by name first", "ИНН=123456789012, ИНН ЮЛ=7712345678", "7712345678");
        row("organisation oid before person name", "ИНН=123456789012, 1.2.643.100.4=7712345678",
            "7712345678");
        row("person name before person oid", "1.2.643.3.131.1.1=111111111111, ИНН=123456789012",
            "123456789012");
        row("person oid before INN", "INN=111111111111, 1.2.643.3.131.1.1=123456789012",
            "123456789012");
        row("prefixed by a dot", "OID.1.2.643.100.4=7712345678, ИНН=123456789012", "123456789012");
        row("part of another name", "CN=x, XИНН=7712345678", "");
        row("inside a quoted value", "CN=\"Ромашка ИНН=123456789012\", O=x", "");
        // A run of digits is an INN only when it is exactly 10 or 12 long.
        row("13 digits", "CN=x, INN=1234567890123", "");
        row("11 digits", "CN=x, ИНН=12345678901", "");
        row("9 digits", "CN=x, ИНН=123456789", "");
        row("13 digits, next form found", "ИНН ЮЛ=1234567890123, ИНН=123456789012", "123456789012");
        row("12 digits then a letter", "CN=x, ИНН=123456789012A", "123456789012");
    }

    void innFromSubject()
    {
        QFETCH(QString, subject);
        QFETCH(QString, inn);
        QCOMPARE(Orv::innFromSubject(subject), inn);
    }

    void selection_data()
    {
        const QDateTime past = kNow.addYears(-1);
        const QDateTime soon = kNow.addMonths(1);
        const QDateTime later = kNow.addYears(1);
        QTest::addColumn<QList<CertificateInfo>>("store");
        QTest::addColumn<QStringList>("selected");

        QTest::newRow("without INN, not yet valid, expired, ending kNow; no start, no end")
            << QList<CertificateInfo>{certificate("a", "", past, later),
                                      certificate("b", "7712345678", kNow.addSecs(1), later),
                                      certificate("c", "7712345679", past, kNow.addSecs(-1)),
                                      certificate("d", "7712345670", past, kNow),
                                      certificate("e", "7712345671", kNow, later),
                                      certificate("f", "7712345672", QDateTime(), later),
                                      certificate("g", "7712345673", past, QDateTime())}
            << QStringList{"e", "f"};
        QTest::newRow("same INN: the later end wins, either way round; on a tie the first")
            << QList<CertificateInfo>{certificate("a", "7712345678", past, soon),
                                      certificate("b", "7712345678", past, later),
                                      certificate("c", "7712345679", past, later),
                                      certificate("d", "7712345679", past, soon),
                                      certificate("e", "7712345670", past, later),
                                      certificate("f", "7712345670", past, later)}
            << QStringList{"e", "b", "c"};
        QTest::newRow("end compared as instants across zones")
            << QList<CertificateInfo>{certificate(
                                          "a", "7712345678", past,
                                          QDateTime(QDate(2026, 1, 1), QTime(12, 0), Qt::UTC)),
                                      certificate("b", "7712345678", past,
                                                  QDateTime(QDate(2026, 1, 1), QTime(14, 0),
                                                            Qt::OffsetFromUTC, 3 * 3600))}
            << QStringList{"a"};
        QTest::newRow("organisations first, then later end, then smaller INN")
            << QList<CertificateInfo>{certificate("p", "123456789012", past, later.addYears(1)),
                                      certificate("o1", "7712345678", past, soon),
                                      certificate("o2", "7712345678", past, later),
                                      certificate("o3", "5012345678", past, later),
                                      certificate("o4", "9912345678", past, later.addDays(1)),
                                      certificate("p2", "023456789012", past, later.addYears(1))}
            << QStringList{"o4", "o3", "o2", "p2", "p"};
    }

    void selection()
    {
        QFETCH(QList<CertificateInfo>, store);
        QFETCH(QStringList, selected);
        QStringList thumbprints;
        for (const CertificateInfo &info : selectSigningCertificates(store, kNow))
            thumbprints << info.thumbprint;
        QCOMPARE(thumbprints, selected);
    }

    // std::sort needs a strict order: equal certificates are not before each other.
    void orderIsStrict()
    {
        const QDateTime end(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
        const CertificateInfo a = certificate("a", "7712345678", {}, end);
        const CertificateInfo b = certificate("b", "7712345678", {}, end);
        QVERIFY(!certificateOrder(a, b) && !certificateOrder(b, a));
        // A missing end counts as the earliest: after every end, level with another missing one.
        const CertificateInfo c = certificate("c", "7712345678", {}, {});
        const CertificateInfo d = certificate("d", "7712345678", {}, {});
        QVERIFY(!certificateOrder(c, d) && !certificateOrder(d, c));
        QVERIFY(certificateOrder(a, c) && !certificateOrder(c, a));
    }
};

QTEST_GUILESS_MAIN(TestCertSubject)
#include "tst_certsubject.moc"