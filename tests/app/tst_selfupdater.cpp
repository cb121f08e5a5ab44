#include "app/appconstants.h"
#include "app/appcontroller.h"
#include "app/selfupdater.h"
#include "core/devicetokenstore.h"
#include "core/util.h"
#include "tests/support/fakeutm.h"
#include "tests/support/logcapture.h"

#include <QDateTime>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <memory>

using namespace Orv;

namespace {

const QByteArray kNoise = "[0] Предупреждение: репозиторий отвечает медленно\n"
                          "[1] Ищем обновления...\n";

QByteArray updatesXml(const QByteArray &elements)
{
    return "<updates>\n" + elements + "</updates>\n";
}

QByteArray ourUpdate(const QByteArray &version)
{
    return "  <update name=\"TELLVANE FERROW\" id=\"" + kOrganizationDomain.toUtf8() +
           "\" version=\"" + version + "\" size=\"52428800\"/>\n";
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeScript(const QString &path, const QByteArray &body)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("#!/bin/sh\n" + body);
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

// The root window as the updater sees it: a window with "pendingUpdate" and
// "updateNowRequested()".
class FakeRootWindow : public QWindow
{
    Q_OBJECT
    Q_PROPERTY(QString pendingUpdate MEMBER m_pendingUpdate)

public:
    QString pendingUpdate() const { return m_pendingUpdate; }

signals:
    void updateNowRequested();

private:
    QString m_pendingUpdate;
};

} // namespace

class TestSelfUpdater : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    QTemporaryDir *m_dir = nullptr; // per test: the tool, its records and the restarted agent
    AppController *m_controller = nullptr;
    FakeRootWindow *m_window = nullptr;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    // A maintenance tool that records its calls, answers "check-updates" with `output` and
    // `code` (or never, when it hangs) and fails every update at once.
    void installTool(const QByteArray &output, int code = 0, bool hangs = false)
    {
        QFile answer(path(QStringLiteral("answer")));
        QVERIFY(answer.open(QIODevice::WriteOnly));
        answer.write(output);
        answer.close();
        const QByteArray dir = QFile::encodeName(m_dir->path());
        writeScript(path(QStringLiteral("maintenancetool")),
                    "echo \"$*\" >> '" + dir +
                        "/calls'\n"
                        "if [ \"$1\" = check-updates ]; then\n"
                        "  cat '" +
                        dir + "/answer'\n" + (hangs ? "  exec sleep 600\n" : "") + "  exit " +
                        QByteArray::number(code) +
                        "\n"
                        "fi\n"
                        "echo 'обновление не встало'\n"
                        "exit 1\n");
    }

    SelfUpdaterOptions options() const
    {
        SelfUpdaterOptions o;
        o.toolDir = m_dir->path();
        o.executable = path(QStringLiteral("agent"));
        o.firstCheckMs = 0;
        o.checkLimitMs = 20000;
        return o;
    }

    QStringList calls() const
    {
        const QString text = QString::fromUtf8(readAll(path(QStringLiteral("calls"))));
        return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    bool restarted() const { return QFile::exists(path(QStringLiteral("restarted"))); }

    // An updater whose tool offers 0.13.0 while the window is on screen, once that version
    // waits on the window; null when it does not come to that.
    std::unique_ptr<SelfUpdater> pendingOnShownWindow(const SelfUpdaterOptions &o)
    {
        installTool(updatesXml(ourUpdate("0.13.0")));
        auto updater = std::make_unique<SelfUpdater>(m_controller, m_window, nullptr, o);
        m_window->show();
        if (!QTest::qWaitForWindowExposed(m_window))
            return {};
        updater->start();
        if (!QTest::qWaitFor([this] { return m_window->pendingUpdate() == u"0.13.0"; }))
            return {};
        return updater;
    }

    void rememberAttempt(const QString &version, const QDateTime &at)
    {
        QSettings settings;
        settings.setValue(kUpdateLastVersionKey, version);
        settings.setValue(kUpdateLastAttemptAtKey, at.toString(Qt::ISODate));
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void parseUpdateVersion_data();
    void parseUpdateVersion();
    void lastOutputLine_data();
    void lastOutputLine();
    void shouldAttempt_data();
    void shouldAttempt();
    void deferReason_data();
    void deferReason();

    void offWithoutTool();
    void checkWithoutUpdate_data();
    void checkWithoutUpdate();
    void hangingCheckIsKilled();
    void toolThatDoesNotStart();
    void sameVersionWaitsADay();
    void launchRestartsTheAgent();
    void shownWindowDefersUntilHidden();
    void minimisedWindowDoesNotDefer();
    void updateButton();
    void runningTaskComesFirst();
    void failedLaunchDropsTheVersion();
};

void TestSelfUpdater::initTestCase()
{
    QVERIFY(m_home.isValid());
    // Before the first settings object: the settings store keeps the folder it first found.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("config"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("data"))));
    QCoreApplication::setOrganizationName(QStringLiteral("Tellvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Tellvane Orv Agent"));
}

void TestSelfUpdater::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    QSettings().clear();
    QFile::remove(dataDir() + QStringLiteral("/update.log"));
    QFile::remove(deviceTokenPath());
    m_controller = new AppController;
    m_window = new FakeRootWindow;
    const QByteArray dir = QFile::encodeName(m_dir->path());
    writeScript(path(QStringLiteral("agent")),
                "{ echo \"args=$*\"; echo \"first=$1\"; echo \"tool=$FERROW_TOOL\";"
                " echo \"exe=$FERROW_EXE\"; echo \"log=$FERROW_LOG\"; echo \"pwd=$(pwd)\"; }"
                " > '" +
                    dir +
                    "/restarting'\n"
                    "mv '" +
                    dir + "/restarting' '" + dir + "/restarted'\n");
}

void TestSelfUpdater::cleanup()
{
    delete m_window;
    m_window = nullptr;
    delete m_controller;
    m_controller = nullptr;
    delete m_dir;
    m_dir = nullptr;
}

void TestSelfUpdater::parseUpdateVersion_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("version");
    const QByteArray other = "  <update id=\"ru.tellvane.maintenance\" version=\"9.0\"/>\n";
    QTest::newRow("ours after the tool's messages")
        << kNoise + updatesXml(other + ourUpdate("0.13.0-2")) << "0.13.0-2";
    QTest::newRow("another component only") << kNoise + updatesXml(other) << "";
    QTest::newRow("nothing but messages") << kNoise + "Нет обновлений\n"
                                          << "";
    QTest::newRow("id compared exactly")
        << updatesXml("<update id=\"" + kOrganizationDomain.toUpper().toUtf8() +
                      "\" version=\"1.0\"/>")
        << "";
    QTest::newRow("ours without a version")
        << updatesXml("<update id=\"" + kOrganizationDomain.toUtf8() + "\"/>") << "";
    QTest::newRow("ours with an empty version") << updatesXml(ourUpdate("")) << "";
    QTest::newRow("broken after ours") << "<updates>" + ourUpdate("2.0") + "<update id=<<"
                                       << "2.0";
    QTest::newRow("broken before ours") << "<updates><update id=<<" + ourUpdate("2.0") << "";
    QTest::newRow("nested deeper") << "<updates><group>" + ourUpdate("3.1") + "</group></updates>"
                                   << "3.1";
    QTest::newRow("element name exact")
        << updatesXml("<updateinfo id=\"" + kOrganizationDomain.toUtf8() + "\" version=\"4\"/>")
        << "";
}

void TestSelfUpdater::parseUpdateVersion()
{
    QFETCH(QByteArray, output);
    QFETCH(QString, version);
    QCOMPARE(SelfUpdater::parseUpdateVersion(output, kOrganizationDomain), version);
}

void TestSelfUpdater::lastOutputLine_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("line");
    QTest::newRow("counter and blank lines after")
        << QByteArray("[0] начало\n[17]   Сеть недоступна\n\n  \n") << "Сеть недоступна";
    QTest::newRow("plain line") << QByteArray("a\n  b c  ") << "b c";
    QTest::newRow("bracket not at the start") << QByteArray("x [3] y\n") << "x [3] y";
    QTest::newRow("bracket without digits") << QByteArray("[a] y\n") << "[a] y";
    QTest::newRow("nothing") << QByteArray(" \n\n") << "";
}

void TestSelfUpdater::lastOutputLine()
{
    QFETCH(QByteArray, output);
    QFETCH(QString, line);
    QCOMPARE(SelfUpdater::lastOutputLine(output), line);
}

void TestSelfUpdater::shouldAttempt_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("lastVersion");
    QTest::addColumn<qint64>("secondsAgo"); // < -1000000: never attempted
    QTest::addColumn<bool>("attempt");
    constexpr qint64 never = -9999999;
    QTest::newRow("no version") << ""
                                << "" << never << false;
    QTest::newRow("never attempted") << "1.0"
                                     << "" << never << true;
    QTest::newRow("other version, just now") << "1.1"
                                             << "1.0" << qint64(0) << true;
    QTest::newRow("same version, time unreadable") << "1.0"
                                                   << "1.0" << never << true;
    QTest::newRow("same version, a second short of a day") << "1.0"
                                                           << "1.0" << qint64(86399) << false;
    QTest::newRow("same version, a day ago") << "1.0"
                                             << "1.0" << qint64(86400) << true;
    QTest::newRow("same version, attempt in the future") << "1.0"
                                                         << "1.0" << qint64(-10) << false;
}

void TestSelfUpdater::shouldAttempt()
{
    QFETCH(QString, version);
    QFETCH(QString, lastVersion);
    QFETCH(qint64, secondsAgo);
    QFETCH(bool, attempt);
    const QDateTime now =
        QDateTime::fromString(QStringLiteral("2025-03-01T10:00:00Z"), Qt::ISODate);
    const QDateTime at = secondsAgo < -1000000 ? QDateTime() : now.addSecs(-secondsAgo);
    QCOMPARE(SelfUpdater::shouldAttempt(version, lastVersion, at, now), attempt);
}

void TestSelfUpdater::deferReason_data()
{
    QTest::addColumn<bool>("task");
    QTest::addColumn<bool>("visible");
    QTest::addColumn<int>("visibility");
    QTest::addColumn<bool>("forced");
    QTest::addColumn<int>("reason");
    const int shown = QWindow::Windowed;
    QTest::newRow("task, even when forced") << true << true << shown << true << 1;
    QTest::newRow("task, no window") << true << false << int(QWindow::Hidden) << false << 1;
    QTest::newRow("no window") << false << false << int(QWindow::Hidden) << false << 0;
    QTest::newRow("visible flag but hidden") << false << true << int(QWindow::Hidden) << false << 0;
    QTest::newRow("minimised") << false << true << int(QWindow::Minimized) << false << 0;
    QTest::newRow("on screen") << false << true << shown << false << 2;
    QTest::newRow("maximised") << false << true << int(QWindow::Maximized) << false << 2;
    QTest::newRow("on screen, forced") << false << true << shown << true << 0;
}

void TestSelfUpdater::deferReason()
{
    QFETCH(bool, task);
    QFETCH(bool, visible);
    QFETCH(int, visibility);
    QFETCH(bool, forced);
    QFETCH(int, reason);
    QCOMPARE(int(SelfUpdater::deferReason(task, visible, QWindow::Visibility(visibility), forced)),
             reason);
}

void TestSelfUpdater::offWithoutTool()
{
    Test::LogCapture log;
    SelfUpdater updater(m_controller, nullptr, nullptr, options());
    updater.start();
    QCOMPARE(log.matching(QStringLiteral("[INFO] самообновление выключено: рядом с exe нет "
                                         "maintenancetool, это не установленная копия"))
                 .size(),
             1);
}

void TestSelfUpdater::checkWithoutUpdate_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("logged");
    QTest::newRow("another component's update")
        << kNoise + updatesXml("<update id=\"x.y\" version=\"2\"/>") << 0
        << "[DEBUG] обновлений нет";
    QTest::newRow("our element without a version")
        << updatesXml("<update id=\"" + kOrganizationDomain.toUtf8() + "\"/>") << 0
        << "[DEBUG] обновлений нет";
    QTest::newRow("tool failed")
        << QByteArray("[3] Сеть недоступна\n\n") << 3
        << "[WARN] проверка обновлений не удалась, код 3 : Сеть недоступна";
}

void TestSelfUpdater::checkWithoutUpdate()
{
    QFETCH(QByteArray, output);
    QFETCH(int, code);
    QFETCH(QString, logged);
    Test::LogCapture log;
    installTool(output, code);
    SelfUpdaterOptions o = options();
    o.recheckMs = 30;
    SelfUpdater updater(m_controller, nullptr, nullptr, o);
    updater.start();
    // The next check follows after the re-check interval.
    QTRY_VERIFY(calls().size() >= 2);
    QCOMPARE(calls().first(), QStringLiteral("check-updates"));
    QVERIFY(log.matching(logged).size() >= 1);
    QVERIFY(log.matching(QStringLiteral("доступно обновление")).isEmpty());
    QVERIFY(log.matching(QStringLiteral("уже пробовали")).isEmpty());
    QVERIFY(!restarted());
}

void TestSelfUpdater::hangingCheckIsKilled()
{
    Test::LogCapture log;
    installTool("[5] Соединяемся с репозиторием\n", 0, true);
    SelfUpdaterOptions o = options();
    o.checkLimitMs = 100;
    SelfUpdater updater(m_controller, nullptr, nullptr, o);
    updater.start();
    QTRY_COMPARE(log.matching(QStringLiteral("[WARN] проверка обновлений не удалась, код -1 : "
                                             "Соединяемся с репозиторием"))
                     .size(),
                 1);
}

void TestSelfUpdater::toolThatDoesNotStart()
{
    Test::LogCapture log;
    installTool(updatesXml(ourUpdate("1.0")));
    QVERIFY(QFile::setPermissions(path(QStringLiteral("maintenancetool")), QFile::ReadOwner));
    SelfUpdaterOptions o = options();
    o.recheckMs = 30;
    SelfUpdater updater(m_controller, nullptr, nullptr, o);
    updater.start();
    QTRY_VERIFY(log.matching(QStringLiteral("[WARN] maintenancetool не запустился: ")).size() >= 2);
}

void TestSelfUpdater::sameVersionWaitsADay()
{
    const QDateTime at = QDateTime::currentDateTimeUtc().addSecs(-3600);
    rememberAttempt(QStringLiteral("0.13.0"), at);
    Test::LogCapture log;
    installTool(kNoise + updatesXml(ourUpdate("0.13.0")));
    SelfUpdaterOptions o = options();
    o.recheckMs = 30;
    SelfUpdater updater(m_controller, nullptr, nullptr, o);
    updater.start();
    QTRY_VERIFY(calls().size() >= 2);
    const QString expected =
        QStringLiteral("[WARN] обновление до 0.13.0 уже пробовали %1 и оно не встало; следующая "
                       "попытка — через сутки. Журнал: %2/update.log")
            .arg(at.toString(Qt::ISODate), dataDir());
    QVERIFY2(!log.matching(expected).isEmpty(), qPrintable(log.lines().join(QLatin1Char('\n'))));
    QVERIFY(!calls().contains(QStringLiteral("update --confirm-command --accept-licenses "
                                             "--accept-messages")));
    QVERIFY(!restarted());
}

void TestSelfUpdater::launchRestartsTheAgent()
{
    // An attempt at another version a minute ago does not hold a new one back.
    rememberAttempt(QStringLiteral("0.12.9"), QDateTime::currentDateTimeUtc().addSecs(-60));
    m_controller->setAutostartArgs({QStringLiteral("--utm-host")});
    Test::LogCapture log;
    installTool(kNoise + updatesXml(ourUpdate("0.13.0-1")));
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    SelfUpdater updater(m_controller, nullptr, nullptr, options());
    updater.start();
    QTRY_VERIFY(restarted());

    QVERIFY(!log.matching(QStringLiteral("[INFO] доступно обновление 0.13.0-1")).isEmpty());
    QVERIFY(!log.matching(QStringLiteral("[INFO] ставим обновление 0.13.0-1 — агент выходит и "
                                         "поднимется после установки"))
                 .isEmpty());
    QCOMPARE(calls(), QStringList({QStringLiteral("check-updates"),
                                   QStringLiteral("update --confirm-command --accept-licenses "
                                                  "--accept-messages")}));
    // The tool's output went to the update log; the agent came back with its start options.
    const QString logPath = dataDir() + QStringLiteral("/update.log");
    QCOMPARE(readAll(logPath), QByteArray("обновление не встало\n"));
    const QStringList env = QString::fromUtf8(readAll(path(QStringLiteral("restarted"))))
                                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(
        env,
        QStringList({QStringLiteral("args=--tray --utm-host"), QStringLiteral("first=--tray"),
                     QStringLiteral("tool=") + path(QStringLiteral("maintenancetool")),
                     QStringLiteral("exe=") + path(QStringLiteral("agent")),
                     QStringLiteral("log=") + logPath, QStringLiteral("pwd=") + QDir::tempPath()}));

    QSettings settings;
    QCOMPARE(settings.value(kUpdateLastVersionKey).toString(), QStringLiteral("0.13.0-1"));
    const QString stamp = settings.value(kUpdateLastAttemptAtKey).toString();
    QVERIFY2(stamp.endsWith(QLatin1Char('Z')) && stamp.size() == 20, qPrintable(stamp));
    const QDateTime at = QDateTime::fromString(stamp, Qt::ISODate);
    QVERIFY(at >= before && at <= QDateTime::currentDateTimeUtc());
}

void TestSelfUpdater::shownWindowDefersUntilHidden()
{
    Test::LogCapture log;
    SelfUpdaterOptions o = options();
    o.retryMs = 10;
    const auto updater = pendingOnShownWindow(o);
    QVERIFY(updater);
    // Every visibility change looks again; the reason is logged once while it lasts.
    m_window->showMaximized();
    m_window->showNormal();
    QVERIFY(!restarted());
    QCOMPARE(log.matching(QStringLiteral("[INFO] обновление до 0.13.0 ждёт: окно агента на экране. "
                                         "Встанет, когда окно закроют или свернут, или по кнопке "
                                         "«Обновить сейчас»"))
                 .size(),
             1);

    // Hiding the window launches at once, and the program is asked to quit.
    m_window->hide();
    QCOMPARE(log.matching(QStringLiteral("ставим обновление 0.13.0")).size(), 1);
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(3); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QTRY_VERIFY(restarted());
}

void TestSelfUpdater::minimisedWindowDoesNotDefer()
{
    Test::LogCapture log;
    installTool(updatesXml(ourUpdate("0.13.0")));
    m_window->showMinimized();
    QTRY_COMPARE(m_window->visibility(), QWindow::Minimized);
    SelfUpdater updater(m_controller, m_window, nullptr, options());
    updater.start();
    QTRY_VERIFY(restarted());
    QVERIFY(log.matching(QStringLiteral("ждёт")).isEmpty());
}

void TestSelfUpdater::updateButton()
{
    Test::LogCapture log;
    {
        // Nothing waits: the button does nothing.
        SelfUpdater idle(m_controller, m_window, nullptr, options());
        idle.start();
        emit m_window->updateNowRequested();
        QVERIFY(log.matching(QStringLiteral("по кнопке")).isEmpty());
    }

    const auto updater = pendingOnShownWindow(options());
    QVERIFY(updater);
    QVERIFY(!restarted());
    emit m_window->updateNowRequested();
    QCOMPARE(log.matching(QStringLiteral("[INFO] обновление до 0.13.0 — по кнопке «Обновить "
                                         "сейчас»"))
                 .size(),
             1);
    QTRY_VERIFY(restarted());
}

void TestSelfUpdater::runningTaskComesFirst()
{
    // A paired agent forwarding a request to a УТМ that takes its time: a task is running.
    Test::FakeParvisServer server;
    server.setAnswer("POST", QStringLiteral("/agent/v1/heartbeat"),
                     Test::FakeAnswer::json(200, {}));
    server.enqueue("GET", QStringLiteral("/agent/v1/tasks"),
                   Test::FakeAnswer::json(
                       200, {{"id", "t1"},
                             {"type", "utm.request"},
                             {"payload", QJsonObject{{"fsrarId", Test::FakeUtmIdentity().fsrarId},
                                                     {"method", "GET"},
                                                     {"path", "/opt/out"}}}}));
    server.setAnswer("GET", QStringLiteral("/agent/v1/tasks"), Test::FakeAnswer::never());
    server.setAnswer("POST", QStringLiteral("/agent/v1/tasks/t1/result"),
                     Test::FakeAnswer::json(200, {}));
    Test::FakeUtm utm;
    utm.serveIdentity();
    utm.answer("GET", QStringLiteral("/opt/out"), Test::FakeAnswer::never());
    QSettings().setValue(kUtmEndpointsKey, QStringList{utm.baseUrl()});
    QVERIFY(DeviceTokenStore(deviceTokenPath()).save(QStringLiteral("device-token-0123456789")));
    delete m_controller;
    m_controller = new AppController(server.baseUrl());
    QTRY_COMPARE_WITH_TIMEOUT(utm.requestsTo(QStringLiteral("/opt/out")).size(), 1, 15000);
    QVERIFY(m_controller->isCoreBusy());

    Test::LogCapture log;
    SelfUpdaterOptions o = options();
    o.retryMs = 20;
    const auto updater = pendingOnShownWindow(o);
    QVERIFY(updater);
    // Not even the button goes before the task; the reason is logged once.
    emit m_window->updateNowRequested();
    m_window->showMaximized();
    QVERIFY(!restarted());
    const QString waiting = QStringLiteral("[DEBUG] обновление до 0.13.0 ждёт конца задачи");
    QCOMPARE(log.matching(waiting).size(), 1);
    QVERIFY(log.matching(QStringLiteral("окно агента на экране")).isEmpty());

    // The УТМ goes away, the task ends, and the update asked for goes ahead.
    utm.shutDown();
    QTRY_VERIFY_WITH_TIMEOUT(restarted(), 15000);
    QVERIFY(!m_controller->isCoreBusy());
    QCOMPARE(log.matching(waiting).size(), 1);
}

void TestSelfUpdater::failedLaunchDropsTheVersion()
{
    Test::LogCapture log;
    SelfUpdaterOptions o = options();
    o.recheckMs = 30;
    const auto updater = pendingOnShownWindow(o);
    QVERIFY(updater);

    // The command interpreter does not start: the environment handed to it is too large.
    qputenv("FERROW_TEST_BALLAST", QByteArray(200000, 'x'));
    m_window->hide();
    qunsetenv("FERROW_TEST_BALLAST");

    QCOMPARE(
        log.matching(QStringLiteral("[ERROR] не удалось запустить обновление до 0.13.0 : ")).size(),
        1);
    QCOMPARE(m_window->pendingUpdate(), QString());
    // Checking goes on; the attempt is remembered, so the same version now waits a day.
    QTRY_VERIFY(!log.matching(QStringLiteral("обновление до 0.13.0 уже пробовали")).isEmpty());
    QVERIFY(!restarted());
}

QTEST_MAIN(TestSelfUpdater)
#include "tst_selfupdater.moc"
