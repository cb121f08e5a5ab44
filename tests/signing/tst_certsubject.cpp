#include "signing/certsubject.h"

#include <QTest>

using namespace Orv;

namespace {

CertificateInfo certificate(const QString &thumbprint, const QString &inn, const QDateTime &from,
                            const QDateTime &to)
{
    CertificateInfo info;
    info.thumbprint = thumbprint;
    info.inn = inn;
    info.validFrom = from;
    info.validTo = to;
    return info;
}

QStringList thumbprints(const QList<CertificateInfo> &list)
{
    QStringList out;
    for (const CertificateInfo &info : list)
        out << info.thumbprint;
    return out;
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
        QTest::newRow("no CN") << "O=Ромашка, C=RU"
                               << "O=Ромашка, C=RU"
                               << "O=Ромашка, C=RU";
        QTest::newRow("lower case, blanks") << "cn = Иванов, SN=Иванов, C=RU"
                                            << "Иванов"
                                            << "Иванов";
        QTest::newRow("after comma") << "E=a@b.ru, CN=Петров Пётр, C=RU"
                                     << "Петров Пётр"
                                     << "Петров Пётр";
        QTest::newRow("not a CN inside a value") << "OU=XCN=Ложный, CN=Настоящий"
                                                 << "Настоящий"
                                                 << "Настоящий";
        QTest::newRow("quoted with doubled inner marks") << "CN=\"ООО \"\"Ромашка\"\"\", O=x"
                                                         << "\"ООО \"\"Ромашка\"\"\""
                                                         << "ООО \"Ромашка\"";
        QTest::newRow("one quotation mark") << "CN=\", C=RU"
                                            << "\""
                                            << "\"";
        QTest::newRow("two quotation marks") << "CN=\"\""
                                             << "\"\""
                                             << "";
        QTest::newRow("quoted without inner marks") << "CN=\"ИП Сидоров\""
                                                    << "\"ИП Сидоров\""
                                                    << "ИП Сидоров";
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
        QTest::newRow("none") << "CN=Иванов, C=RU"
                              << "";
        QTest::newRow("organisation by name") << "CN=x, ИНН ЮЛ=7712345678"
                                              << "7712345678";
        QTest::newRow("organisation by oid") << "CN=x, 1.2.643.100.4=7712345678"
                                             << "7712345678";
        QTest::newRow("person by name") << "CN=x, ИНН=123456789012"
                                        << "123456789012";
        QTest::newRow("person by oid") << "CN=x, 1.2.643.3.131.1.1=123456789012"
                                       << "123456789012";
        QTest::newRow("INN") << "INN=123456789012, CN=x"
                             << "123456789012";
        QTest::newRow("INNLE") << "CN=x, INNLE=7712345678"
                               << "7712345678";
        QTest::newRow("lower-case names") << "CN=x, инн юл = 7712345678"
                                          << "7712345678";
        QTest::newRow("00 prefix dropped") << "CN=x, ИНН=007712345678"
                                           << "7712345678";
        QTest::newRow("00 prefix of a 10-digit value kept") << "CN=x, ИНН=0012345678"
                                                            << "0012345678";
        QTest::newRow("organisation wins by name") << "ИНН=123456789012, ИНН ЮЛ=7712345678"
                                                   << "7712345678";
        QTest::newRow("organisation oid wins over person name")
            << "ИНН=123456789012, 1.2.643.100.4=7712345678"
            << "7712345678";
        QTest::newRow("person name wins over person oid")
            << "1.2.643.3.131.1.1=111111111111, ИНН=123456789012"
            << "123456789012";
        QTest::newRow("person oid wins over INN")
            << "INN=111111111111, 1.2.643.3.131.1.1=123456789012"
            << "123456789012";
        QTest::newRow("prefixed by a dot") << "CN=x, OID.1.2.643.100.4=7712345678"
                                           << "";
        QTest::newRow("prefixed by a dot, person found")
            << "OID.1.2.643.100.4=7712345678, ИНН=123456789012"
            << "123456789012";
        QTest::newRow("part of another name") << "CN=x, XИНН=7712345678"
                                              << "";
        // A run of digits is an INN only when it is exactly 10 or 12 long.
        QTest::newRow("13 digits") << "CN=x, INN=1234567890123"
                                   << "";
        QTest::newRow("11 digits") << "CN=x, ИНН=12345678901"
                                   << "";
        QTest::newRow("9 digits") << "CN=x, ИНН=123456789"
                                  << "";
        QTest::newRow("13 digits, next form found") << "ИНН ЮЛ=1234567890123, ИНН=123456789012"
                                                    << "123456789012";
        QTest::newRow("12 digits then a letter") << "CN=x, ИНН=123456789012A"
                                                 << "123456789012";
    }

    void innFromSubject()
    {
        QFETCH(QString, subject);
        QFETCH(QString, inn);
        QCOMPARE(Orv::innFromSubject(subject), inn);
    }

    void personalInn()
    {
        QVERIFY(isPersonalInn(QStringLiteral("123456789012")));
        QVERIFY(isPersonalInn(QStringLiteral("abcdefghijkl")));
        QVERIFY(!isPersonalInn(QStringLiteral("7712345678")));
        QVERIFY(!isPersonalInn(QString()));
    }

    void selection_data()
    {
        const QDateTime now(QDate(2025, 6, 1), QTime(12, 0), Qt::UTC);
        const QDateTime past = now.addYears(-1);
        const QDateTime soon = now.addMonths(1);
        const QDateTime later = now.addYears(1);
        QTest::addColumn<QList<CertificateInfo>>("store");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QStringList>("selected");

        QTest::newRow("without INN, not yet valid, expired, ending now")
            << QList<CertificateInfo>{certificate("a", "", past, later),
                                      certificate("b", "7712345678", now.addSecs(1), later),
                                      certificate("c", "7712345679", past, now.addSecs(-1)),
                                      certificate("d", "7712345670", past, now),
                                      certificate("e", "7712345671", now, later)}
            << now << QStringList{"e"};
        QTest::newRow("invalid start counts as valid, invalid end never")
            << QList<CertificateInfo>{certificate("a", "7712345678", QDateTime(), later),
                                      certificate("b", "7712345679", past, QDateTime())}
            << now << QStringList{"a"};
        QTest::newRow("same INN: the later end wins, either way round")
            << QList<CertificateInfo>{certificate("a", "7712345678", past, soon),
                                      certificate("b", "7712345678", past, later),
                                      certificate("c", "7712345679", past, later),
                                      certificate("d", "7712345679", past, soon)}
            << now << QStringList{"b", "c"};
        QTest::newRow("same INN, same end: the earlier in the store")
            << QList<CertificateInfo>{certificate("a", "7712345678", past, later),
                                      certificate("b", "7712345678", past, later)}
            << now << QStringList{"a"};
        QTest::newRow("end compared as instants across zones")
            << QList<CertificateInfo>{certificate(
                                          "a", "7712345678", past,
                                          QDateTime(QDate(2026, 1, 1), QTime(12, 0), Qt::UTC)),
                                      certificate("b", "7712345678", past,
                                                  QDateTime(QDate(2026, 1, 1), QTime(14, 0),
                                                            Qt::OffsetFromUTC, 3 * 3600))}
            << now << QStringList{"a"};
        QTest::newRow("organisations first, then later end, then smaller INN")
            << QList<CertificateInfo>{certificate("p", "123456789012", past, later.addYears(1)),
                                      certificate("o1", "7712345678", past, soon),
                                      certificate("o2", "7712345678", past, later),
                                      certificate("o3", "5012345678", past, later),
                                      certificate("o4", "9912345678", past, later.addDays(1)),
                                      certificate("p2", "023456789012", past, later.addYears(1))}
            << now << QStringList{"o4", "o3", "o2", "p2", "p"};
        QTest::newRow("same end day")
            << QList<CertificateInfo>{certificate("p", "123456789012", past, later),
                                      certificate("a", "7712345678", past, later),
                                      certificate("b", "5012345678", past, later)}
            << now << QStringList{"b", "a", "p"};
    }

    void selection()
    {
        QFETCH(QList<CertificateInfo>, store);
        QFETCH(QDateTime, now);
        QFETCH(QStringList, selected);
        QCOMPARE(thumbprints(selectSigningCertificates(store, now)), selected);
    }

    void orderIsStrict()
    {
        const QDateTime end(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
        const CertificateInfo a = certificate("a", "7712345678", {}, end);
        const CertificateInfo b = certificate("b", "7712345678", {}, end);
        QVERIFY(!certificateOrder(a, b) && !certificateOrder(b, a));
        const CertificateInfo invalid = certificate("c", "7712345678", {}, {});
        QVERIFY(certificateOrder(a, invalid) && !certificateOrder(invalid, a));
    }
};

QTEST_GUILESS_MAIN(TestCertSubject)
#include "tst_certsubject.moc"
