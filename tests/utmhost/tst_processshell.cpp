#include "utmhost/processshell.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <signal.h>

using namespace Orv;

namespace {

// Every completion one request received.
struct Outcome
{
    QList<ShellResult> results;

    int count() const { return results.size(); }
    const ShellResult &result() const { return results.constFirst(); }
};

ShellCallback recordInto(const std::shared_ptr<Outcome> &outcome)
{
    return [outcome](const ShellResult &result) {
        outcome->results << result;
    };
}

ShellCommand shell(const QString &script, int timeoutMs = 60000)
{
    ShellCommand command;
    command.program = QStringLiteral("/bin/sh");
    command.arguments = QStringList{QStringLiteral("-c"), script};
    command.timeoutMs = timeoutMs;
    return command;
}

// A command that writes its process id to `pidFile` and then sleeps.
ShellCommand sleeper(const QString &pidFile)
{
    return shell(QStringLiteral("echo $$ > '%1'; exec sleep 30").arg(pidFile), 0);
}

qint64 pidIn(const QString &pidFile)
{
    QFile file(pidFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

// Lets whatever is already queued run: a second completion would be among it.
void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

bool alive(qint64 pid)
{
    return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
}

} // namespace

class TestProcessShell : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void runsAndCaptures_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("stdinData");
        QTest::addColumn<QByteArray>("stdinFileContent");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<int>("exitCode");

        QTest::newRow("both channels and the code")
            << "printf 'вывод\\n'; printf 'жалоба' >&2; exit 3" << QByteArray() << QByteArray()
            << QByteArray("вывод\n") << QByteArray("жалоба") << 3;
        QTest::newRow("input written and closed") << "cat" << QByteArray("скрипт\n") << QByteArray()
                                                  << QByteArray("скрипт\n") << QByteArray() << 0;
        QTest::newRow("no input: its end comes at once")
            << "cat; echo done" << QByteArray() << QByteArray() << QByteArray("done\n")
            << QByteArray() << 0;
        QTest::newRow("input file wins over data")
            << "cat" << QByteArray("ignored") << QByteArray("from file") << QByteArray("from file")
            << QByteArray() << 0;
        // wsl.exe writes UTF-8 only when asked; the test's own environment says otherwise.
        QTest::newRow("children are asked for UTF-8")
            << "printf %s \"$WSL_UTF8\"" << QByteArray() << QByteArray() << QByteArray("1")
            << QByteArray() << 0;
    }

    void runsAndCaptures()
    {
        QFETCH(QString, script);
        QFETCH(QByteArray, stdinData);
        QFETCH(QByteArray, stdinFileContent);
        qputenv("WSL_UTF8", "0");
        ShellCommand command = shell(script);
        command.stdinData = stdinData;
        if (!stdinFileContent.isEmpty()) {
            command.stdinFile = path("input.txt");
            QFile file(command.stdinFile);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(stdinFileContent);
        }

        ProcessShell processes;
        auto outcome = std::make_shared<Outcome>();
        processes.run(command, recordInto(outcome));
        QTRY_COMPARE(outcome->count(), 1);
        QVERIFY(outcome->result().started);
        QVERIFY(!outcome->result().timedOut);
        QTEST(outcome->result().out, "out");
        QTEST(outcome->result().err, "err");
        QTEST(outcome->result().exitCode, "exitCode");
        settle();
        QCOMPARE(outcome->count(), 1);
    }

    void timeLimitKillsAndKeepsEarlyOutput()
    {
        ProcessShell processes;
        auto outcome = std::make_shared<Outcome>();
        processes.run(shell("echo early; exec sleep 30", 200), recordInto(outcome));
        QTRY_COMPARE(outcome->count(), 1);
        QVERIFY(outcome->result().started);
        QVERIFY(outcome->result().timedOut);
        QCOMPARE(outcome->result().exitCode, -1);
        QCOMPARE(outcome->result().out, QByteArray("early\n"));
        QCOMPARE(outcome->result().failureText(), QString("программа не ответила вовремя"));
    }

    void killAllEndsEveryRunOnce()
    {
        ProcessShell processes;
        auto first = std::make_shared<Outcome>();
        auto second = std::make_shared<Outcome>();
        processes.run(sleeper(path("first.pid")), recordInto(first));
        processes.run(sleeper(path("second.pid")), recordInto(second));
        QTRY_VERIFY(pidIn(path("first.pid")) > 0 && pidIn(path("second.pid")) > 0);
        processes.killAll();
        QTRY_VERIFY(first->count() == 1 && second->count() == 1);
        for (const auto &outcome : {first, second}) {
            QVERIFY(outcome->result().started);
            QVERIFY(!outcome->result().timedOut);
            QCOMPARE(outcome->result().exitCode, -1);
        }
        processes.killAll();
        settle();
        QCOMPARE(first->count() + second->count(), 2);
    }

    // A start failure may be known inside the call: it still arrives later, like every end.
    void startFailureArrivesLater_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<bool>("background");
        QTest::newRow("missing program") << "/nonexistent/wsl" << false;
        QTest::newRow("no program at all") << "" << false;
        QTest::newRow("background, missing") << "/nonexistent/wsl" << true;
        QTest::newRow("background, none") << "" << true;
    }

    void startFailureArrivesLater()
    {
        QFETCH(QString, program);
        QFETCH(bool, background);
        ProcessShell processes;
        auto outcome = std::make_shared<Outcome>();
        ShellCommand command;
        command.program = program;
        if (background)
            processes.startBackground(command, recordInto(outcome));
        else
            processes.run(command, recordInto(outcome));
        QCOMPARE(outcome->count(), 0);
        QTRY_COMPARE(outcome->count(), 1);
        QVERIFY(!outcome->result().started);
        QCOMPARE(outcome->result().exitCode, -1);
        QVERIFY(!outcome->result().err.isEmpty());
        QVERIFY(!processes.isBackgroundRunning());
        settle();
        QCOMPARE(outcome->count(), 1);
    }

    void backgroundIsReplacedAndStoppedSilently()
    {
        ProcessShell processes;
        QVERIFY(!processes.isBackgroundRunning());
        processes.stopBackground();

        auto first = std::make_shared<Outcome>();
        processes.startBackground(sleeper(path("bg1.pid")), recordInto(first));
        QVERIFY(processes.isBackgroundRunning());
        QTRY_VERIFY(pidIn(path("bg1.pid")) > 0);

        auto second = std::make_shared<Outcome>();
        processes.startBackground(shell("echo second; exit 4"), recordInto(second));
        QVERIFY(!alive(pidIn(path("bg1.pid"))));
        QTRY_COMPARE(second->count(), 1);
        QCOMPARE(second->result().exitCode, 4);
        QCOMPARE(second->result().out, QByteArray("second\n"));
        QVERIFY(!processes.isBackgroundRunning());

        auto third = std::make_shared<Outcome>();
        processes.startBackground(sleeper(path("bg3.pid")), recordInto(third));
        QTRY_VERIFY(pidIn(path("bg3.pid")) > 0);
        processes.stopBackground();
        QVERIFY(!processes.isBackgroundRunning());
        QVERIFY(!alive(pidIn(path("bg3.pid"))));
        settle();
        QCOMPARE(first->count(), 0);
        QCOMPARE(third->count(), 0);
    }

    // Runs in flight die with the shell, and their callbacks never come.
    void destructionKillsQuietly()
    {
        auto run = std::make_shared<Outcome>();
        auto background = std::make_shared<Outcome>();
        {
            ProcessShell processes;
            processes.run(sleeper(path("run.pid")), recordInto(run));
            processes.startBackground(sleeper(path("keep.pid")), recordInto(background));
            QTRY_VERIFY(pidIn(path("run.pid")) > 0 && pidIn(path("keep.pid")) > 0);
        }
        QVERIFY(!alive(pidIn(path("run.pid"))));
        QVERIFY(!alive(pidIn(path("keep.pid"))));
        settle();
        QCOMPARE(run->count() + background->count(), 0);
    }

    void elevatedRun_data()
    {
        QTest::addColumn<QString>("consent");
        QTest::addColumn<QString>("program");
        QTest::addColumn<bool>("started");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("err");
        QTest::newRow("ends with its code") << ""
                                            << "/bin/sh" << true << 7 << QByteArray();
        QTest::newRow("declined") << "declined"
                                  << "/bin/sh" << false << -1
                                  << QByteArray("разрешение администратора не дано");
        QTest::newRow("cannot start")
            << ""
            << "/nonexistent/powershell" << false << -1 << QByteArray("не запустилось, код 2");
    }

    void elevatedRun()
    {
        QFETCH(QString, consent);
        QFETCH(QString, program);
        qputenv("ORV_ELEVATION_CONSENT", consent.toUtf8());
        ProcessShell processes;
        auto outcome = std::make_shared<Outcome>();
        processes.runElevated(program, R"(-c "exit 7")", recordInto(outcome));
        QCOMPARE(outcome->count(), 0);
        QTRY_COMPARE(outcome->count(), 1);
        qunsetenv("ORV_ELEVATION_CONSENT");
        QTEST(outcome->result().started, "started");
        QTEST(outcome->result().exitCode, "exitCode");
        QTEST(outcome->result().err, "err");
        QVERIFY(outcome->result().out.isEmpty());
    }

    void resolvesTools()
    {
        const QString programFiles = path("Program Files");
        const QString systemRoot = path("Windows");
        QVERIFY(QDir().mkpath(programFiles + "/usbipd-win"));
        QVERIFY(QDir().mkpath(systemRoot + "/System32"));
        for (const QString &file :
             {programFiles + "/usbipd-win/usbipd.exe", systemRoot + "/System32/usbipd.exe",
              systemRoot + "/System32/wslx.exe"}) {
            QFile tool(file);
            QVERIFY(tool.open(QIODevice::WriteOnly));
        }
        qputenv("ProgramFiles", programFiles.toUtf8());
        qputenv("SystemRoot", systemRoot.toUtf8());

        ProcessShell processes;
        QCOMPARE(processes.resolveTool("sh"), QStandardPaths::findExecutable("sh"));
        QCOMPARE(processes.resolveTool("usbipd"),
                 QDir::toNativeSeparators(programFiles + "/usbipd-win/usbipd.exe"));
        QCOMPARE(processes.resolveTool("wslx"),
                 QDir::toNativeSeparators(systemRoot + "/System32/wslx.exe"));
        QCOMPARE(processes.resolveTool("orv-no-such-tool"), QString());

        // An unset folder must not turn into a path at the root of the drive.
        qputenv("ProgramFiles", "");
        qunsetenv("SystemRoot");
        QCOMPARE(toolCandidates("usbipd"), QStringList());
        qputenv("SystemRoot", systemRoot.toUtf8());
        QCOMPARE(toolCandidates("usbipd"), QStringList{systemRoot + "/System32/usbipd.exe"});
        qunsetenv("ProgramFiles");
        qunsetenv("SystemRoot");
    }

    void failureText_data()
    {
        QTest::addColumn<bool>("started");
        QTest::addColumn<bool>("timedOut");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<QString>("text");
        const QByteArray tail = QByteArray(600, 'b');
        QTest::newRow("not started")
            << false << false << QByteArray() << QByteArray("x") << "программа не запустилась";
        QTest::newRow("timed out")
            << true << true << QByteArray() << QByteArray("x") << "программа не ответила вовремя";
        QTest::newRow("error trimmed")
            << true << false << QByteArray("out") << QByteArray("  сбой \r\n") << "сбой";
        QTest::newRow("output when no error")
            << true << false << QByteArray("\x00w\x00s\x00l\r\n", 8) << QByteArray(" \n") << "wsl";
        QTest::newRow("nothing: the code")
            << true << false << QByteArray() << QByteArray() << "код выхода 3";
        QTest::newRow("NULs only are still the error")
            << true << false << QByteArray("out") << QByteArray(4, '\0') << "код выхода 3";
        QTest::newRow("long: its end")
            << true << false << QByteArray() << QByteArray(100, 'a') + tail
            << QStringLiteral("…") + QString::fromLatin1(tail);
    }

    void failureText()
    {
        ShellResult result;
        QFETCH(bool, started);
        QFETCH(bool, timedOut);
        result.started = started;
        result.timedOut = timedOut;
        result.exitCode = 3;
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        result.out = out;
        result.err = err;
        QTEST(result.failureText(), "text");
        QVERIFY(!result.succeeded());
        result.exitCode = 0;
        QCOMPARE(result.succeeded(), started && !timedOut);
    }
};

QTEST_GUILESS_MAIN(TestProcessShell)
#include "tst_processshell.moc"
