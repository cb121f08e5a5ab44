#include "utmhost/processshell.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <signal.h>

using namespace Orv;

namespace {

// Every completion of one request.
using Results = std::shared_ptr<QList<ShellResult>>;

ShellCallback into(const Results &results)
{
    return [results](const ShellResult &result) {
        results->append(result);
    };
}

ShellCommand sh(const QString &script, int timeoutMs = 60000)
{
    return {"/bin/sh", {"-c", script}, {}, {}, timeoutMs};
}

// Writes its process id to `pidFile`, then sleeps.
ShellCommand sleeper(const QString &pidFile)
{
    return sh(QString("echo $$ > '%1'; exec sleep 30").arg(pidFile), 0);
}

qint64 pidIn(const QString &pidFile)
{
    QFile file(pidFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

bool alive(const QString &pidFile)
{
    return ::kill(static_cast<pid_t>(pidIn(pidFile)), 0) == 0;
}

// Lets whatever is already queued run: a second completion would be among it.
void settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
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

    // Runs side by side, each with both channels whole, its input (closed after it, or a file
    // instead) and WSL's request for UTF-8.
    void runsAndCaptures()
    {
        qputenv("WSL_UTF8", "0");
        QFile input(path("input"));
        QVERIFY(input.open(QIODevice::WriteOnly) && input.write("file") == 4);
        input.close();
        QList<ShellCommand> commands{sh("echo вывод; printf жалоба >&2; exit 3"), sh("cat"),
                                     sh("cat; echo end"), sh("cat"), sh("printf %s \"$WSL_UTF8\"")};
        commands[1].stdinData = "скрипт";
        commands[3].stdinData = "no";
        commands[3].stdinFile = input.fileName();
        ProcessShell processes;
        auto results = std::make_shared<QList<ShellResult>>();
        for (const ShellCommand &command : commands)
            processes.run(command, into(results));
        QTRY_COMPARE(results->size(), commands.size());
        QSet<QByteArray> outs;
        for (const ShellResult &result : *results) {
            QVERIFY(result.started && !result.timedOut);
            QCOMPARE(result.exitCode, result.err.isEmpty() ? 0 : 3);
            outs << result.out + result.err;
        }
        QCOMPARE(outs, (QSet<QByteArray>{"вывод\nжалоба", "скрипт", "end\n", "file", "1"}));
    }

    // A time limit, killAll and the shell's end each end a run once; the background process
    // is left to stopBackground.
    void killedRunsEndOnce()
    {
        auto timed = std::make_shared<QList<ShellResult>>();
        auto killed = std::make_shared<QList<ShellResult>>();
        auto late = std::make_shared<QList<ShellResult>>();
        {
            ProcessShell processes;
            processes.run(sh("echo early; exec sleep 30", 100), into(timed));
            processes.run(sleeper(path("killed")), into(killed));
            processes.startBackground(sleeper(path("background")), into(late));
            QTRY_COMPARE(timed->size(), 1);
            QVERIFY(timed->at(0).started && timed->at(0).timedOut);
            QCOMPARE(timed->at(0).exitCode, -1);
            QCOMPARE(timed->at(0).out, QByteArray("early\n"));

            QTRY_VERIFY(pidIn(path("killed")) && pidIn(path("background")));
            processes.killAll();
            QTRY_COMPARE(killed->size(), 1);
            QVERIFY(killed->at(0).started && !killed->at(0).timedOut);
            QCOMPARE(killed->at(0).exitCode, -1);
            QVERIFY(alive(path("background")));
            processes.run(sleeper(path("late")), into(late));
            QTRY_VERIFY(pidIn(path("late")));
        }
        QVERIFY(!alive(path("background")) && !alive(path("late")));
        settle();
        QCOMPARE(timed->size() + killed->size() + late->size(), 2);
    }

    // Failures to start (even those QProcess knows inside start()) and elevated runs arrive
    // from the event loop, once.
    void completesLaterOnce_data()
    {
        QTest::addColumn<int>("kind"); // run, background, elevated
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("consent");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("err"); // empty: any reason
        QTest::newRow("missing") << 0 << "/nonexistent/wsl" << QByteArray() << -1 << QByteArray();
        QTest::newRow("no program") << 0 << "" << QByteArray() << -1 << QByteArray();
        QTest::newRow("background, missing")
            << 1 << "/nonexistent/wsl" << QByteArray() << -1 << QByteArray();
        QTest::newRow("background, no program") << 1 << "" << QByteArray() << -1 << QByteArray();
        QTest::newRow("elevated") << 2 << "/bin/sh" << QByteArray() << 7 << QByteArray();
        QTest::newRow("elevation declined") << 2 << "/bin/sh" << QByteArray("declined") << -1
                                            << QByteArray("разрешение администратора не дано");
        QTest::newRow("elevated, cannot start") << 2 << "/nonexistent/powershell" << QByteArray()
                                                << -1 << QByteArray("не запустилось, код 2");
    }

    void completesLaterOnce()
    {
        QFETCH(int, kind);
        QFETCH(QString, program);
        QFETCH(QByteArray, consent);
        QFETCH(QByteArray, err);
        qputenv("ORV_ELEVATION_CONSENT", consent);
        ProcessShell processes;
        auto results = std::make_shared<QList<ShellResult>>();
        const ShellCommand command{program, {}, {}, {}, 60000};
        if (kind == 0)
            processes.run(command, into(results));
        else if (kind == 1)
            processes.startBackground(command, into(results));
        else
            processes.runElevated(program, R"(-c "exit 7")", into(results));
        QVERIFY(results->isEmpty());
        QTRY_COMPARE(results->size(), 1);
        settle();
        QCOMPARE(results->size(), 1);
        const ShellResult result = results->at(0);
        QTEST(result.exitCode, "exitCode");
        QCOMPARE(result.started, result.exitCode == 7);
        QVERIFY(err.isEmpty() ? result.started != !result.err.isEmpty() : result.err == err);
        QVERIFY(!processes.isBackgroundRunning());
    }

    void backgroundIsReplacedAndStopped()
    {
        ProcessShell processes;
        processes.stopBackground();
        QVERIFY(!processes.isBackgroundRunning());
        auto first = std::make_shared<QList<ShellResult>>();
        auto second = std::make_shared<QList<ShellResult>>();
        processes.startBackground(sleeper(path("first")), into(first));
        QVERIFY(processes.isBackgroundRunning());
        QTRY_VERIFY(pidIn(path("first")));
        processes.startBackground(sh("exit 4"), into(second));
        QVERIFY(!alive(path("first")));
        QTRY_COMPARE(second->size(), 1);
        QCOMPARE(second->at(0).exitCode, 4);
        QVERIFY(!processes.isBackgroundRunning());

        processes.startBackground(sleeper(path("third")), into(first));
        QTRY_VERIFY(pidIn(path("third")));
        processes.stopBackground();
        QVERIFY(!processes.isBackgroundRunning() && !alive(path("third")));
        settle();
        QVERIFY(first->isEmpty());
    }

    // A background program that cannot start says so from the event loop; a stop or a new
    // background in the meantime silences it, and the new one keeps running.
    void failedBackgroundSilencedByStopOrReplacement()
    {
        ProcessShell processes;
        auto failed = std::make_shared<QList<ShellResult>>();
        auto kept = std::make_shared<QList<ShellResult>>();
        const ShellCommand missing{"/nonexistent/wsl", {}, {}, {}, 60000};
        processes.startBackground(missing, into(failed));
        processes.stopBackground();
        processes.startBackground(missing, into(failed));
        processes.startBackground(sleeper(path("kept")), into(kept));
        QTRY_VERIFY(pidIn(path("kept")));
        settle();
        QVERIFY(failed->isEmpty());
        QVERIFY(processes.isBackgroundRunning());
        processes.stopBackground();
        settle();
        QVERIFY(kept->isEmpty());
    }

    void resolvesTools()
    {
        const QString programFiles = path("Program Files");
        const QString systemRoot = path("Windows");
        for (const QString &file :
             {programFiles + "/usbipd-win/usbipd.exe", systemRoot + "/System32/usbipd.exe",
              systemRoot + "/System32/wslx.exe"}) {
            QVERIFY(QDir().mkpath(QFileInfo(file).path()));
            QVERIFY(QFile(file).open(QIODevice::WriteOnly));
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
        // An unset folder must not become a path at the root of the drive.
        qputenv("ProgramFiles", " ");
        QCOMPARE(toolCandidates("usbipd"), QStringList{systemRoot + "/System32/usbipd.exe"});
        qunsetenv("SystemRoot");
        QCOMPARE(toolCandidates("usbipd"), QStringList());
    }

    // Each channel is kept up to 16 MiB: a program that prints more, in a run or in the
    // background, is ended and fails so; the other channel stays whole.
    void boundsOutput()
    {
        ProcessShell processes;
        auto results = std::make_shared<QList<ShellResult>>();
        const QString more = "printf note >&2; head -c 16777217 /dev/zero; exec sleep 30";
        const QString tooMuch = "программа вывела больше 16 МБ и была остановлена";
        processes.run(sh("head -c 16777216 /dev/zero"), into(results));
        processes.run(sh(more, 20000), into(results));
        processes.startBackground(sh(more), into(results));
        QTRY_COMPARE_WITH_TIMEOUT(results->size(), 3, 30000);
        for (const ShellResult &result : *results) {
            QCOMPARE(result.out.size(), 16777216);
            QCOMPARE(result.overflowed, result.err == "note");
            QCOMPARE(result.succeeded(), !result.overflowed);
            QCOMPARE(result.failureText(), result.overflowed ? tooMuch : "код выхода 0");
        }
    }

    void failureText_data()
    {
        QTest::addColumn<bool>("started");
        QTest::addColumn<bool>("timedOut");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<QString>("text");
        const QByteArray tail(600, 'b');
        QTest::newRow("not started")
            << false << false << QByteArray() << QByteArray("x") << "программа не запустилась";
        QTest::newRow("timed out")
            << true << true << QByteArray() << QByteArray("x") << "программа не ответила вовремя";
        QTest::newRow("error") << true << false << QByteArray("o") << QByteArray(" сбой \r\n")
                               << "сбой";
        QTest::newRow("else output")
            << true << false << QByteArray("\0w\0s\0l\r\n", 8) << QByteArray(" \n") << "wsl";
        QTest::newRow("else the code")
            << true << false << QByteArray() << QByteArray() << "код выхода 3";
        QTest::newRow("NULs are an error")
            << true << false << QByteArray("o") << QByteArray(4, '\0') << "код выхода 3";
        QTest::newRow("its end") << true << false << QByteArray() << QByteArray(100, 'a') + tail
                                 << "…" + QString::fromLatin1(tail);
    }

    void failureText()
    {
        QFETCH(bool, started);
        QFETCH(bool, timedOut);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        ShellResult result{started, timedOut, 3, out, err};
        QTEST(result.failureText(), "text");
        QVERIFY(!result.succeeded());
        result.exitCode = 0;
        QCOMPARE(result.succeeded(), started && !timedOut);
    }
};

QTEST_GUILESS_MAIN(TestProcessShell)
#include "tst_processshell.moc"
