#include "signing/certificatecheck.h"
#include "tests/support/fakesigner.h"

#include <QTest>

using namespace Orv;

Q_DECLARE_METATYPE(Orv::CertificateInfo)

namespace {

const QDateTime kNow(QDate(2025, 3, 10), QTime(12, 0), Qt::UTC);
const QString kInn = QStringLiteral("7712345678");
const QString kThumb = QStringLiteral("a1b2c3d4e5");

CertificateInfo certificate(const QDateTime &from, const QDateTime &to, const QString &inn = kInn,
                            const QString &thumbprint = kThumb)
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
        QTest::addColumn<CertificateInfo>("stored");
        QTest::addColumn<QString>("inn");
        QTest::addColumn<QString>("thumbprint");
        QTest::addColumn<QString>("failure"); // empty: the check passes

        const QDateTime yearAgo = kNow.addYears(-1);
        const QDateTime inYear = kNow.addYears(1);
        const CertificateInfo good = certificate(yearAgo, inYear);
        const QString expired = QStringLiteral("Срок действия сертификата истёк %1");
        const QString noInn =
            QStringLiteral("В сертификате нет ИНН — Честный знак такую подпись не примет");

        const auto row = [](const char *name, const CertificateInfo &stored, const QString &failure,
                            const QString &inn = kInn, const QString &thumbprint = kThumb) {
            QTest::newRow(name) << stored << inn << thumbprint << failure;
        };
        row("valid", good, QString());
        row("other thumbprint", good,
            QStringLiteral("Сертификат с отпечатком a1b2c3d4e6 не найден в хранилище этого "
                           "компьютера"),
            kInn, QStringLiteral("a1b2c3d4e6"));
        row("thumbprint in upper case", good, QString(), kInn, kThumb.toUpper());
        row("stored thumbprint in upper case", certificate(yearAgo, inYear, kInn, kThumb.toUpper()),
            QString());
        row("ends exactly now", certificate(yearAgo, kNow), expired.arg("10.03.2025"));
        row("begins exactly now", certificate(kNow, inYear), QString());
        row("begins tomorrow, shows its end", certificate(kNow.addDays(1), kNow.addDays(30)),
            expired.arg("09.04.2025"));
        row("no end date counts as expired", certificate(yearAgo, {}), expired.arg(QString()));
        row("no start date counts as begun", certificate({}, inYear), QString());
        row("expiry is judged before the INN", certificate(yearAgo, kNow.addDays(-2), QString()),
            expired.arg("08.03.2025"));
        row("no INN", certificate(yearAgo, inYear, QString()), noInn);
        row("no INN, none asked for", certificate(yearAgo, inYear, QString()), noInn, QString());
        row("other INN", good,
            QStringLiteral("Сертификат выдан организации с ИНН 7712345678, а подпись запрошена "
                           "за 5012345678"),
            QStringLiteral("5012345678"));
    }

    void check()
    {
        QFETCH(CertificateInfo, stored);
        QFETCH(QString, inn);
        QFETCH(QString, thumbprint);
        QFETCH(QString, failure);
        Test::FakeSigner signer;
        signer.setCertificates({stored});
        const TaskOutcome outcome = checkCertificate(&signer, inn, thumbprint, kNow);
        QCOMPARE(outcome.ok, failure.isEmpty());
        QCOMPARE(outcome.message, failure);
    }

    void readsTheStoreEveryTimeAtTheCurrentTime()
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        Test::FakeSigner signer;
        signer.setCertificates({certificate(now.addDays(-1), now.addDays(1))});
        QVERIFY(checkCertificate(&signer, kInn, kThumb).ok);
        signer.setCertificates({certificate(now.addDays(-2), now.addSecs(-60))});
        QVERIFY(!checkCertificate(&signer, kInn, kThumb).ok);
        QCOMPARE(signer.certificateReads(), 2);
    }

    // The signer's own reason reaches the user; without one, a generic text does.
    void signerFailure()
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        Test::FakeSigner signer;
        signer.setCertificates({certificate(now.addDays(-1), now.addDays(1))});
        const QString own = QStringLiteral("Не удалось подписать: носитель не вставлен");
        signer.setFailure(own);
        QCOMPARE(signWithCertificate(&signer, kInn, kThumb, "data", true).message, own);
        signer.setFailure(QString());
        const TaskOutcome outcome = signWithCertificate(&signer, kInn, kThumb, "data", true);
        QVERIFY(!outcome.ok && outcome.signedHash.isEmpty());
        QCOMPARE(outcome.message, QStringLiteral("КриптоПро не вернул подпись"));
    }
};

QTEST_GUILESS_MAIN(TestCertificateCheck)
#include "tst_certificatecheck.moc"
