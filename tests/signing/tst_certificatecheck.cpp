#include "signing/certificatecheck.h"
#include "tests/support/fakesigner.h"

#include <QTest>

using namespace Orv;

Q_DECLARE_METATYPE(QList<Orv::CertificateInfo>)

namespace {

const QDateTime kNow(QDate(2025, 3, 10), QTime(12, 0), Qt::UTC);

CertificateInfo certificate(const QString &thumbprint, const QString &inn, const QDateTime &from,
                            const QDateTime &to)
{
    return {thumbprint, QStringLiteral("CN=Тест"), inn, from, to};
}

} // namespace

class TestCertificateCheck : public QObject
{
    Q_OBJECT

private slots:
    void check_data()
    {
        QTest::addColumn<QList<CertificateInfo>>("store");
        QTest::addColumn<QString>("inn");
        QTest::addColumn<QString>("thumbprint");
        QTest::addColumn<QString>("failure"); // empty: the check passes

        const QString inn = QStringLiteral("7712345678");
        const QString thumb = QStringLiteral("a1b2c3d4e5");
        const QDateTime yearAgo = kNow.addYears(-1);
        const QDateTime inYear = kNow.addYears(1);
        const CertificateInfo good = certificate(thumb, inn, yearAgo, inYear);
        const QString expired = QStringLiteral("Срок действия сертификата истёк %1");

        QTest::newRow("valid") << QList{good} << inn << thumb << QString();
        QTest::newRow("empty store")
            << QList<CertificateInfo>() << inn << QStringLiteral("A1B2C3D4E5")
            << QStringLiteral("Сертификат с отпечатком A1B2C3D4E5 не найден в хранилище этого "
                              "компьютера");
        QTest::newRow("other thumbprint")
            << QList{good} << inn << QStringLiteral("a1b2c3d4e6")
            << QStringLiteral("Сертификат с отпечатком a1b2c3d4e6 не найден в хранилище этого "
                              "компьютера");
        QTest::newRow("thumbprint in upper case")
            << QList{good} << inn << QStringLiteral("A1B2C3D4E5") << QString();
        QTest::newRow("stored thumbprint in upper case")
            << QList{certificate(QStringLiteral("A1B2C3D4E5"), inn, yearAgo, inYear)} << inn
            << thumb << QString();
        QTest::newRow("first of two with the same thumbprint decides")
            << QList{certificate(thumb, inn, yearAgo, kNow.addDays(-2)), good} << inn << thumb
            << expired.arg(QStringLiteral("08.03.2025"));
        QTest::newRow("ends exactly now") << QList{certificate(thumb, inn, yearAgo, kNow)} << inn
                                          << thumb << expired.arg(QStringLiteral("10.03.2025"));
        QTest::newRow("ends a millisecond from now")
            << QList{certificate(thumb, inn, yearAgo, kNow.addMSecs(1))} << inn << thumb
            << QString();
        QTest::newRow("begins exactly now")
            << QList{certificate(thumb, inn, kNow, inYear)} << inn << thumb << QString();
        QTest::newRow("begins tomorrow, shows its end")
            << QList{certificate(thumb, inn, kNow.addDays(1), kNow.addDays(30))} << inn << thumb
            << expired.arg(QStringLiteral("09.04.2025"));
        QTest::newRow("no end date counts as expired")
            << QList{certificate(thumb, inn, yearAgo, QDateTime())} << inn << thumb
            << expired.arg(QString());
        QTest::newRow("no start date counts as begun")
            << QList{certificate(thumb, inn, QDateTime(), inYear)} << inn << thumb << QString();
        QTest::newRow("expiry is judged before the INN")
            << QList{certificate(thumb, QString(), yearAgo, kNow.addDays(-2))} << inn << thumb
            << expired.arg(QStringLiteral("08.03.2025"));
        QTest::newRow("no INN")
            << QList{certificate(thumb, QString(), yearAgo, inYear)} << inn << thumb
            << QStringLiteral("В сертификате нет ИНН — Честный знак такую подпись не примет");
        QTest::newRow("no INN, none asked for")
            << QList{certificate(thumb, QString(), yearAgo, inYear)} << QString() << thumb
            << QStringLiteral("В сертификате нет ИНН — Честный знак такую подпись не примет");
        QTest::newRow("other INN")
            << QList{good} << QStringLiteral("5012345678") << thumb
            << QStringLiteral("Сертификат выдан организации с ИНН 7712345678, а подпись "
                              "запрошена за 5012345678");
        QTest::newRow("INN with a leading space")
            << QList{good} << QStringLiteral(" 7712345678") << thumb
            << QStringLiteral("Сертификат выдан организации с ИНН 7712345678, а подпись "
                              "запрошена за  7712345678");
    }

    void check()
    {
        QFETCH(QList<CertificateInfo>, store);
        QFETCH(QString, inn);
        QFETCH(QString, thumbprint);
        QFETCH(QString, failure);

        Test::FakeSigner signer;
        signer.setCertificates(store);
        const TaskOutcome outcome = checkCertificate(&signer, inn, thumbprint, kNow);
        QCOMPARE(outcome.ok, failure.isEmpty());
        QCOMPARE(outcome.message, failure);
        QVERIFY(outcome.data.isEmpty());
        QVERIFY(outcome.signedHash.isEmpty());
        QVERIFY(signer.signCalls().isEmpty());
    }

    void readsTheStoreEveryTimeAtTheCurrentTime()
    {
        const QString inn = QStringLiteral("7712345678");
        const QString thumb = QStringLiteral("a1");
        const QDateTime now = QDateTime::currentDateTimeUtc();
        Test::FakeSigner signer;
        signer.setCertificates({certificate(thumb, inn, now.addDays(-1), now.addDays(1))});
        QVERIFY(checkCertificate(&signer, inn, thumb).ok);

        signer.setCertificates({certificate(thumb, inn, now.addDays(-2), now.addSecs(-60))});
        QVERIFY(!checkCertificate(&signer, inn, thumb).ok);
        QCOMPARE(signer.certificateReads(), 2);
    }
};

QTEST_GUILESS_MAIN(TestCertificateCheck)
#include "tst_certificatecheck.moc"
