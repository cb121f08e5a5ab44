#include "app/filelog.h"
#include "core/util.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

using namespace Orv;

namespace {

constexpr qint64 kLimit = 0x500000;

QByteArray readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly | QIODevice::Text) ? file.readAll() : QByteArray();
}

void makeFileOfSize(const QString &path, qint64 size)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QVERIFY(file.resize(size));
}

} // namespace

class TestFileLog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    QString m_log;
    QString m_previous;
    QtMessageHandler m_saved = nullptr;

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.path()));
        QCoreApplication::setOrganizationName("Tellvane");
        QCoreApplication::setApplicationName("Tellvane Orv Agent");
        m_log = logFilePath();
        m_previous = m_log + ".1";
    }

    void init()
    {
        QFile::remove(m_log);
        QDir(m_previous).removeRecursively();
        QFile::remove(m_previous);
        m_saved = qInstallMessageHandler(messageHandler);
    }

    void cleanup() { qInstallMessageHandler(m_saved); }

    void linesAsTheyCome()
    {
        logMessage(Info, "запуск агента 0.12.2");
        qWarning("framework says %d", 42);
        qInfo().noquote() << "first\nsecond";
        qInfo("%s", "");
        const QList<QByteArray> lines = readText(m_log).split('\n');
        static const QRegularExpression own(
            R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[INFO\] запуск агента 0\.12\.2$)");
        QVERIFY2(own.match(QString::fromUtf8(lines[0])).hasMatch(), lines[0].constData());
        QCOMPARE(lines.mid(1), QList<QByteArray>({"framework says 42", "first", "second", "", ""}));
    }

    void rotation_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("held"); // the old generation can be neither deleted nor replaced
        QTest::addColumn<bool>("rotated");
        QTest::newRow("at the limit") << kLimit << false << false;
        QTest::newRow("one byte past") << kLimit + 1 << false << true;
        QTest::newRow("one byte past, rename fails") << kLimit + 1 << true << false;
    }

    void rotation()
    {
        QFETCH(qint64, size);
        QFETCH(bool, held);
        QFETCH(bool, rotated);
        makeFileOfSize(m_log, size);
        // A directory in its place stands for a file held open by another program.
        if (held)
            QVERIFY(QDir().mkpath(m_previous + "/held"));
        else
            makeFileOfSize(m_previous, 7);

        qInfo("после");
        const QByteArray line = "после\n";
        if (rotated) {
            QCOMPARE(QFileInfo(m_previous).size(), size);
            QCOMPARE(readText(m_log), line);
            QVERIFY(!(QFileInfo(m_log).permissions() & QFile::ReadOther));
        } else {
            QCOMPARE(QFileInfo(m_log).size(), size + line.size());
            QVERIFY(readText(m_log).endsWith(line));
        }
    }

    // The file stays open between lines; one removed or replaced meanwhile is not written into
    // blindly: the next line goes to the file at the path.
    void removedOrReplacedBetweenLines_data()
    {
        QTest::addColumn<QByteArray>("replacement"); // empty: removed
        QTest::newRow("removed") << QByteArray();
        QTest::newRow("replaced") << QByteArray("чужая строка\n");
    }

    void removedOrReplacedBetweenLines()
    {
        QFETCH(QByteArray, replacement);
        qInfo("до");
        QVERIFY(QFile::remove(m_log));
        if (!replacement.isEmpty()) {
            QFile file(m_log);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(replacement) > 0);
        }
        qInfo("после");
        QCOMPARE(readText(m_log), replacement + "после\n");
    }

    void warningInsideTheHandlerNeitherHangsNorStopsTheLog()
    {
        // A name with a NUL character makes every file call in the handler warn about a broken
        // file name; the warning comes back into the handler on the same thread.
        const QString name = QCoreApplication::applicationName();
        QCoreApplication::setApplicationName(QString::fromUtf8("Tellvane\0Broken", 15));
        std::unique_ptr<QThread> thread(QThread::create([] { qWarning("не дойдёт"); }));
        thread->start();
        const bool finished = thread->wait(10000);
        QCoreApplication::setApplicationName(name);
        if (!finished)
            qFatal("the log handler deadlocked on a nested message");

        qInfo("снова пишется");
        QCOMPARE(readText(m_log), QByteArray("снова пишется\n"));
    }
};

QTEST_GUILESS_MAIN(TestFileLog)
#include "tst_filelog.moc"
