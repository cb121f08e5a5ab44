#include "app/appconstants.h"
#include "app/appcontroller.h"
#include "app/selfupdater.h"
#include "core/devicetokenstore.h"
#include "core/util.h"
#include "tests/support/fakeutm.h"
#include "tests/support/logcapture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <memory>

using namespace Orv;

namespace {

const QByteArray kSh = "#!/bin/sh\n";
const QByteArray kNoise =
    "[0] Предупреждение: репозиторий отвечает медленно\n[1] Ищем обновления\n";

QByteArray updates(const QByteArray &elements)
{
    return "<updates>\n" + elements + "</updates>\n";
}

QByteArray ours(const QByteArray &version)
{
    return "<update name=\"TELLVANE FERROW\" id=\"" + kOrganizationDomain.toUtf8() +
           "\" version=\"" + version + "\"/>\n";
}

// Script lines that print `output` and end with `code`.
QByteArray answering(const QByteArray &output, int code = 0)
{
    return "cat <<'END'\n" + output + "\nEND\nexit " + QByteArray::number(code) + "\n";
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeScript(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

// The root window as the updater sees it.
class FakeRootWindow : public QWindow
{
    Q_OBJECT
    Q_PROPERTY(QString pendingUpdate MEMBER pendingUpdate)

public:
    QString pendingUpdate;

signals:
    void updateNowRequested();
};

} // namespace

Q_DECLARE_METATYPE(SelfUpdater::DeferReason)

class TestSelfUpdater : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    std::unique_ptr<QTemporaryDir> m_dir; // per test: the tool, its records, the restarted agent
    std::unique_ptr<AppController> m_controller;
    std::unique_ptr<FakeRootWindow> m_window;
    std::unique_ptr<Test::LogCapture> m_log;

    QString path(const char *name) const { return m_dir->filePath(QLatin1String(name)); }
    qsizetype logged(const QString &text) const { return m_log->matching(text).size(); }
    bool restarted() const { return QFile::exists(path("restarted")); }

    SelfUpdaterOptions options() const
    {
        SelfUpdaterOptions o;
        o.toolDir = m_dir->path();
        o.executable = path("agent");
        o.firstCheckMs = 0;
        o.checkLimitMs = 20000;
        o.recheckMs = 30;
        return o;
    }

    // A tool that records its calls, answers "check-updates" with `output` and fails every update.
    void installTool(const QByteArray &output)
    {
        writeScript(
            path("maintenancetool"),
            kSh + "echo \"$*\" >> '" + QFile::encodeName(path("calls")) +
                "'\n[ \"$1\" = check-updates ] || { echo 'обновление не встало'; exit 1; }\n" +
                answering(output));
    }

    // Starts an updater whose tool offers 0.13.0, on `window` shown when there is one.
    std::unique_ptr<SelfUpdater> startUpdater(QWindow *window, const SelfUpdaterOptions &o)
    {
        installTool(kNoise + updates(ours("0.13.0")));
        auto updater = std::make_unique<SelfUpdater>(m_controller.get(), window, nullptr, o);
        if (window)
            window->show();
        updater->start();
        return updater;
    }

    static void rememberAttempt(const QString &version, const QDateTime &at)
    {
        QSettings settings;
        settings.setValue(kUpdateLastVersionKey, version);
        settings.setValue(kUpdateLastAttemptAtKey, at.toString(Qt::ISODate));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        // Before the first settings object: the settings store keeps the folder it first found.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("config"))));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("data"))));
        QCoreApplication::setOrganizationName(QStringLiteral("Tellvane"));
        QCoreApplication::setApplicationName(QStringLiteral("Tellvane Orv Agent"));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QSettings().clear();
        QFile::remove(dataDir() + QStringLiteral("/update.log"));
        QFile::remove(deviceTokenPath());
        m_controller = std::make_unique<AppController>();
        m_window = std::make_unique<FakeRootWindow>();
        m_log = std::make_unique<Test::LogCapture>();
        // The restarted agent writes down how it was started.
        const QByteArray done = QFile::encodeName(path("restarted"));
        writeScript(
            path("agent"),
            kSh +
                "printf '%s\\n' \"args=$*\" \"first=$1\" \"tool=$FERROW_TOOL\" \"exe=$FERROW_EXE\" "
                "\"log=$FERROW_LOG\" \"pwd=$(pwd)\" > '" +
                done + ".part'\nmv '" + done + ".part' '" + done + "'\n");
    }

    void cleanup()
    {
        m_log.reset();
        m_window.reset();
        m_controller.reset();
        m_dir.reset();
    }

    void parseUpdateVersion_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QString>("version");
        const QByteArray other = "<update id=\"ru.tellvane.maintenance\" version=\"9.0\"/>\n";
        const QByteArray id = kOrganizationDomain.toUtf8();
        const QString none;
        QTest::newRow("ours after noise") << kNoise + updates(other + ours("1.3-2")) << "1.3-2";
        QTest::newRow("another component only") << kNoise + updates(other) << none;
        QTest::newRow("only messages") << kNoise + "Нет обновлений\n" << none;
        QTest::newRow("id exact") << updates("<update id=\"" + id.toUpper() + "\" version=\"1\"/>")
                                  << none;
        QTest::newRow("ours without a version") << updates("<update id=\"" + id + "\"/>") << none;
        QTest::newRow("ours with an empty version") << updates(ours("")) << none;
        QTest::newRow("broken after ours") << "<updates>" + ours("2.0") + "<update id=<<"
                                           << "2.0";
        QTest::newRow("broken before ours") << "<updates><update id=<<" + ours("2.0") << none;
        QTest::newRow("element name exact")
            << updates("<updateinfo id=\"" + id + "\" version=\"4\"/>") << none;
    }

    void parseUpdateVersion()
    {
        QFETCH(QByteArray, output);
        QFETCH(QString, version);
        QCOMPARE(SelfUpdater::parseUpdateVersion(output, kOrganizationDomain), version);
    }

    void lastOutputLine_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QString>("line");
        QTest::newRow("counter, blanks after") << QByteArray("[0] a\n[17]  b c \n\n \n") << "b c";
        QTest::newRow("no counter") << QByteArray("a\n [a] [3] y ") << "[a] [3] y";
        QTest::newRow("nothing") << QByteArray(" \n\n") << QString();
    }

    void lastOutputLine()
    {
        QFETCH(QByteArray, output);
        QFETCH(QString, line);
        QCOMPARE(SelfUpdater::lastOutputLine(output), line);
    }

    void shouldAttempt_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("lastVersion");
        QTest::addColumn<int>("secondsAgo"); // -1: the time is missing or unreadable
        QTest::addColumn<bool>("attempt");
        const QString none, v1 = "1.0", v2 = "1.1";
        QTest::newRow("no version") << none << none << -1 << false;
        QTest::newRow("never attempted") << v1 << none << -1 << true;
        QTest::newRow("other version, just now") << v2 << v1 << 0 << true;
        QTest::newRow("same, time unreadable") << v1 << v1 << -1 << true;
        QTest::newRow("same, a second short of a day") << v1 << v1 << 86399 << false;
        QTest::newRow("same, a day ago") << v1 << v1 << 86400 << true;
        QTest::newRow("same, in the future") << v1 << v1 << -10 << false;
    }

    void shouldAttempt()
    {
        QFETCH(QString, version);
        QFETCH(QString, lastVersion);
        QFETCH(int, secondsAgo);
        QFETCH(bool, attempt);
        const QDateTime now = QDateTime::fromString("2025-03-01T10:00:00Z", Qt::ISODate);
        const QDateTime at = secondsAgo == -1 ? QDateTime() : now.addSecs(-secondsAgo);
        QCOMPARE(SelfUpdater::shouldAttempt(version, lastVersion, at, now), attempt);
    }

    void deferReason_data()
    {
        QTest::addColumn<bool>("task");
        QTest::addColumn<bool>("visible");
        QTest::addColumn<QWindow::Visibility>("visibility");
        QTest::addColumn<bool>("forced");
        QTest::addColumn<SelfUpdater::DeferReason>("reason");
        const auto shown = QWindow::Windowed, hidden = QWindow::Hidden;
        const auto task = SelfUpdater::TaskRunning, window = SelfUpdater::WindowShown,
                   none = SelfUpdater::None;
        QTest::newRow("task, even when forced") << true << true << shown << true << task;
        QTest::newRow("task, no window") << true << false << hidden << false << task;
        QTest::newRow("no window") << false << false << hidden << false << none;
        QTest::newRow("visible flag, hidden") << false << true << hidden << false << none;
        QTest::newRow("minimised") << false << true << QWindow::Minimized << false << none;
        QTest::newRow("on screen") << false << true << shown << false << window;
        QTest::newRow("maximised") << false << true << QWindow::Maximized << false << window;
        QTest::newRow("on screen, forced") << false << true << shown << true << none;
    }

    void deferReason()
    {
        QFETCH(bool, task);
        QFETCH(bool, visible);
        QFETCH(QWindow::Visibility, visibility);
        QFETCH(bool, forced);
        QFETCH(SelfUpdater::DeferReason, reason);
        QCOMPARE(SelfUpdater::deferReason(task, visible, visibility, forced), reason);
    }

    void offWithoutTool()
    {
        SelfUpdater(m_controller.get(), nullptr, nullptr, options()).start();
        QCOMPARE(logged("[INFO] самообновление выключено: рядом с exe нет maintenancetool, это не "
                        "установленная копия"),
                 1);
    }

    // Checks that end without an update to launch; each is logged again at the next check.
    void checkWithoutLaunch_data()
    {
        QTest::addColumn<QByteArray>("tool");
        QTest::addColumn<int>("limitMs");
        QTest::addColumn<QString>("logged"); // <at>: when 0.13.0 was last tried, an hour ago
        QTest::newRow("another component's update")
            << kSh + answering(kNoise + updates("<update id=\"x.y\" version=\"2\"/>")) << 20000
            << "[DEBUG] обновлений нет";
        QTest::newRow("tool failed")
            << kSh + answering("[3] Сеть недоступна\n", 3) << 20000
            << "[WARN] проверка обновлений не удалась, код 3 : Сеть недоступна";
        QTest::newRow("check hangs")
            << kSh + "echo '[5] Соединяемся с репозиторием'\nexec sleep 600\n"
            << 100 << "[WARN] проверка обновлений не удалась, код -1 : Соединяемся с репозиторием";
        QTest::newRow("tool does not start")
            << QByteArray("#!/nowhere/sh\n") << 20000 << "[WARN] maintenancetool не запустился: ";
        QTest::newRow("same version tried an hour ago")
            << kSh + answering(kNoise + updates(ours("0.13.0"))) << 20000
            << "[WARN] обновление до 0.13.0 уже пробовали <at> и оно не встало; следующая попытка "
               "— через сутки. Журнал: <data>/update.log";
    }

    void checkWithoutLaunch()
    {
        QFETCH(QByteArray, tool);
        QFETCH(int, limitMs);
        QFETCH(QString, logged);
        const QDateTime at = QDateTime::currentDateTimeUtc().addSecs(-3600);
        rememberAttempt("0.13.0", at);
        writeScript(path("maintenancetool"), tool);
        SelfUpdaterOptions o = options();
        o.checkLimitMs = limitMs;
        SelfUpdater updater(m_controller.get(), m_window.get(), nullptr, o);
        updater.start();
        logged.replace("<at>", at.toString(Qt::ISODate)).replace("<data>", dataDir());
        QTRY_VERIFY2(this->logged(logged) >= 2, qPrintable(m_log->lines().join(u'\n')));
        // With nothing waiting the button does nothing.
        emit m_window->updateNowRequested();
        QCOMPARE(this->logged("доступно обновление") + this->logged("по кнопке"), 0);
        QVERIFY(!restarted());
    }

    void launch_data()
    {
        QTest::addColumn<bool>("window");
        QTest::addColumn<bool>("button");
        QTest::newRow("no window") << false << false;
        QTest::newRow("shown until hidden") << true << false;
        QTest::newRow("shown until the button") << true << true;
    }

    void launch()
    {
        QFETCH(bool, window);
        QFETCH(bool, button);
        // An attempt at another version a minute ago does not hold a new one back.
        rememberAttempt("0.12.9", QDateTime::currentDateTimeUtc().addSecs(-60));
        m_controller->setAutostartArgs({"--utm-host"});
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        const auto updater = startUpdater(window ? m_window.get() : nullptr, options());
        if (window) {
            QTRY_COMPARE(m_window->pendingUpdate, "0.13.0");
            // Every visibility change looks again; the reason is logged once while it lasts.
            m_window->showMaximized();
            m_window->showNormal();
            QCoreApplication::processEvents();
            QCOMPARE(logged("[INFO] обновление до 0.13.0 ждёт: окно агента на экране. Встанет, "
                            "когда окно закроют или свернут, или по кнопке «Обновить сейчас»"),
                     1);
            QVERIFY(!restarted());
            if (button) {
                emit m_window->updateNowRequested();
                // The button launches at once, with the window still on screen.
                QCOMPARE(logged("[INFO] ставим обновление 0.13.0"), 1);
            }
            // After the button, hiding the window before the quit arrives launches nothing more.
            m_window->hide();
        }
        // Once the update is launched the program is asked to quit.
        QTimer::singleShot(10000, updater.get(), [] { QCoreApplication::exit(3); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QTRY_VERIFY(restarted());

        QCOMPARE(logged("[INFO] доступно обновление 0.13.0"), 1);
        QCOMPARE(logged("[INFO] обновление до 0.13.0 — по кнопке «Обновить сейчас»"), int(button));
        QCOMPARE(logged("[INFO] ставим обновление 0.13.0 — агент выходит и поднимется после "
                        "установки"),
                 1);
        QCOMPARE(readAll(path("calls")),
                 "check-updates\nupdate --confirm-command --accept-licenses --accept-messages\n");
        // The tool's output went to the update log; the agent came back with its start options.
        const QString log = dataDir() + "/update.log";
        QCOMPARE(readAll(log), "обновление не встало\n");
        QCOMPARE(QString::fromUtf8(readAll(path("restarted"))),
                 QString("args=--tray --utm-host\nfirst=--tray\ntool=%1\nexe=%2\nlog=%3\npwd=%4\n")
                     .arg(path("maintenancetool"), path("agent"), log, QDir::tempPath()));
        QSettings settings;
        QCOMPARE(settings.value(kUpdateLastVersionKey).toString(), "0.13.0");
        const QString stamp = settings.value(kUpdateLastAttemptAtKey).toString();
        QVERIFY2(stamp.endsWith('Z') && stamp.size() == 20, qPrintable(stamp));
        const QDateTime at = QDateTime::fromString(stamp, Qt::ISODate);
        QVERIFY(at >= before && at <= QDateTime::currentDateTimeUtc());
    }

    void runningTaskComesFirst()
    {
        // A paired agent forwarding a request to a УТМ that takes its time: a task is running.
        Test::FakeParvisServer server;
        const QJsonObject payload{
            {"fsrarId", Test::FakeUtmIdentity().fsrarId}, {"method", "GET"}, {"path", "/opt/out"}};
        server.enqueue("GET", "/agent/v1/tasks",
                       Test::FakeAnswer::json(
                           200, {{"id", "t1"}, {"type", "utm.request"}, {"payload", payload}}));
        server.setAnswer("GET", "/agent/v1/tasks", Test::FakeAnswer::never());
        Test::FakeUtm utm;
        utm.serveIdentity();
        utm.answer("GET", "/opt/out", Test::FakeAnswer::never());
        QSettings().setValue(kUtmEndpointsKey, QStringList{utm.baseUrl()});
        QVERIFY(DeviceTokenStore(deviceTokenPath()).save("device-token-0123456789"));
        m_controller.reset();
        m_controller = std::make_unique<AppController>(server.baseUrl());
        QTRY_COMPARE_WITH_TIMEOUT(utm.requestsTo("/opt/out").size(), 1, 15000);
        QVERIFY(m_controller->isCoreBusy());

        SelfUpdaterOptions o = options();
        o.retryMs = 20;
        const auto updater = startUpdater(m_window.get(), o);
        QTRY_COMPARE(m_window->pendingUpdate, "0.13.0");
        // Not even the button goes before the task; the reason is logged once.
        emit m_window->updateNowRequested();
        m_window->showMaximized();
        QVERIFY(!restarted());
        const QString waiting = "[DEBUG] обновление до 0.13.0 ждёт конца задачи";
        QCOMPARE(logged(waiting), 1);
        QCOMPARE(logged("окно агента на экране"), 0);

        // The УТМ goes away, the task ends, and a retry launches the update asked for.
        utm.shutDown();
        QTRY_VERIFY_WITH_TIMEOUT(restarted(), 15000);
        QVERIFY(!m_controller->isCoreBusy());
        QCOMPARE(logged(waiting), 1);
    }

    void failedLaunchDropsTheVersion()
    {
        const auto updater = startUpdater(m_window.get(), options());
        QTRY_COMPARE(m_window->pendingUpdate, "0.13.0");
        // The command interpreter does not start: the environment handed to it is too large.
        qputenv("FERROW_TEST_BALLAST", QByteArray(200000, 'x'));
        m_window->hide();
        qunsetenv("FERROW_TEST_BALLAST");

        QCOMPARE(logged("[ERROR] не удалось запустить обновление до 0.13.0 : "), 1);
        QCOMPARE(m_window->pendingUpdate, QString());
        // Checking goes on; the attempt is remembered, so the same version now waits a day.
        QTRY_VERIFY(logged("обновление до 0.13.0 уже пробовали") > 0);
        QVERIFY(!restarted());
    }
};

QTEST_MAIN(TestSelfUpdater)
#include "tst_selfupdater.moc"
