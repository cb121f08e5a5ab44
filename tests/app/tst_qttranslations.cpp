#include "app/qttranslations.h"
#include "core/httpclient.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QtTest>

class TestQtTranslations : public QObject
{
    Q_OBJECT

private slots:
    // What Qt says of a failed connection ends up inside the agent's Russian sentences.
    void refusedConnectionIsToldInRussian()
    {
        QVERIFY(Orv::installQtTranslations());
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();

        Orv::HttpClient client(QStringLiteral("http://127.0.0.1:%1").arg(port));
        Orv::HttpResponse answer;
        bool done = false;
        client.get(QStringLiteral("/agent/v1/heartbeat"), {}, 5000,
                   [&](const Orv::HttpResponse &response) {
                       answer = response;
                       done = true;
                   });
        QTRY_VERIFY(done);
        QCOMPARE(answer.status, 0);
        QVERIFY2(answer.error.contains(QRegularExpression(QStringLiteral("[А-Яа-я]{4}"))),
                 qPrintable(answer.error));
        QVERIFY2(!answer.error.contains(QStringLiteral("refused"), Qt::CaseInsensitive),
                 qPrintable(answer.error));
    }
};

QTEST_GUILESS_MAIN(TestQtTranslations)
#include "tst_qttranslations.moc"
