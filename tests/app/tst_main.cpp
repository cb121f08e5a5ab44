// The agent as a user starts it: the built program in its own process, each start with a
// profile of its own (home, settings, data, user name).

#include "tests/support/scratchhome.h"
#include "tests/support/wslstandin.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QLocalSocket>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>

#include <memory>

namespace {

constexpr int kStartMs = 30000;

// A fresh user of this computer.
class Profile
{
public:
    Profile()
        : m_user(QStringLiteral("orvtest-%1-%2")
                     .arg(QCoreApplication::applicationPid())
                     .arg(++s_count))
    {
        env = m_home.environment();
        env.insert("USERNAME", m_user);
        env.insert("LANG", "C.UTF-8");
        env.insert("QT_QPA_PLATFORM", "offscreen");
    }

    QString channel() const { return path("XDG_RUNTIME_DIR/TellvaneFerrow-") + m_user; }
    bool answers() const
    {
        QLocalSocket socket;
        socket.connectToServer(channel());
        return socket.waitForConnected(200);
    }
    QString path(const QString &name) const { return m_home.path(name); }
    QString logPath() const { return path("XDG_DATA_HOME/Tellvane/Tellvane Orv Agent/agent.log"); }
    QByteArray log() const
    {
        QFile file(logPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Starts the agent as this user.
    std::unique_ptr<QProcess> start(const QStringList &args = {}) const
    {
        auto agent = std::make_unique<QProcess>();
        agent->setProcessEnvironment(env);
        agent->start(QStringLiteral(ORVAGENT_PATH), args);
        return agent;
    }

    // Runs the agent to its end; killed, it ends with a crash.
    std::unique_ptr<QProcess> run(const QStringList &args = {}) const
    {
        auto agent = start(args);
        if (!agent->waitForFinished(kStartMs))
            stop(*agent);
        return agent;
    }

    static void stop(QProcess &agent)
    {
        agent.kill();
        agent.waitForFinished();
    }

    QProcessEnvironment env;

private:
    static inline int s_count = 0;
    Orv::Test::ScratchHome m_home;
    QString m_user;
};

// Waits until the agent has opened its single-instance channel, which it does once its window
// has loaded; false when it ended before.
bool waitUntilListening(QProcess &agent, const Profile &profile)
{
    QElapsedTimer timer;
    timer.start();
    while (agent.state() != QProcess::NotRunning && timer.elapsed() < kStartMs) {
        if (profile.answers())
            return true;
        agent.waitForFinished(50);
    }
    return false;
}

// Something is drawn: more than a few colours (text, marks, panels) over the window.
bool drawn(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7)
            colours.insert(image.pixel(x, y));
    return colours.size() > 8;
}

// A reply of xcb, freed with free().
template<class T> std::unique_ptr<T, void (*)(void *)> reply(T *value)
{
    return {value, free};
}

// A bare X server of our own, and what a window manager or a screenshot tool would do with the
// agent's window on it.
class XServer
{
public:
    ~XServer()
    {
        if (m_connection)
            xcb_disconnect(m_connection);
        m_xvfb.kill();
        m_xvfb.waitForFinished();
    }

    bool start()
    {
        const QString xvfb = QStandardPaths::findExecutable("Xvfb");
        if (xvfb.isEmpty())
            return false;
        // -displayfd: the server picks a free display and writes its number to our pipe.
        m_xvfb.setProcessEnvironment(m_home.environment());
        m_xvfb.start(xvfb, {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
        QByteArray number;
        while (!number.contains('\n') && m_xvfb.waitForReadyRead(10000))
            number += m_xvfb.readAllStandardOutput();
        if (!number.contains('\n'))
            return false;
        m_display = ":" + QString::fromLatin1(number.trimmed());
        m_connection = xcb_connect(m_display.toLatin1().constData(), nullptr);
        if (xcb_connection_has_error(m_connection))
            return false;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        return true;
    }

    QString display() const { return m_display; }

    // The agent's window, the one viewable top-level window on this server; 0 while there is none.
    xcb_window_t findWindow()
    {
        const auto tree = reply(
            xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr));
        for (int i = 0; tree && i < xcb_query_tree_children_length(tree.get()); ++i) {
            const xcb_window_t child = xcb_query_tree_children(tree.get())[i];
            const auto attributes = reply(xcb_get_window_attributes_reply(
                m_connection, xcb_get_window_attributes(m_connection, child), nullptr));
            if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
                return child;
        }
        return 0;
    }

    QImage grab(xcb_window_t window)
    {
        const auto geometry = reply(
            xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr));
        if (!geometry)
            return {};
        const auto image =
            reply(xcb_get_image_reply(m_connection,
                                      xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window,
                                                    0, 0, geometry->width, geometry->height, ~0u),
                                      nullptr));
        // Depth 24 comes as 32 bits per pixel, blue first: the layout of Format_RGB32.
        return image ? QImage(xcb_get_image_data(image.get()), geometry->width, geometry->height,
                              geometry->width * 4, QImage::Format_RGB32)
                           .copy()
                     : QImage();
    }

    // What the close button of a window manager sends.
    void close(xcb_window_t window)
    {
        xcb_client_message_event_t event = {};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = atom("WM_PROTOCOLS");
        event.data.data32[0] = atom("WM_DELETE_WINDOW");
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(m_connection, false, window, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char *>(&event));
        xcb_flush(m_connection);
    }

private:
    xcb_atom_t atom(const char *name)
    {
        const auto atom = reply(xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, false, strlen(name), name), nullptr));
        return atom ? atom->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    Orv::Test::ScratchHome m_home;
    QProcess m_xvfb;
    QString m_display;
    xcb_connection_t *m_connection = nullptr;
    xcb_window_t m_root = 0;
};

} // namespace

class TestMain : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;

private slots:
    void initTestCase()
    {
        // The single-instance channel is a socket in the temporary folder: keep ours apart.
        QVERIFY(m_tmp.isValid());
        qputenv("TMPDIR", QFile::encodeName(m_tmp.path()));
        QVERIFY(QFile::exists(QStringLiteral(ORVAGENT_PATH)));
    }

    void answeredByTheParser_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("version") << QStringList{"--version"} << 0
                                 << QStringList{"Tellvane Orv Agent 0.12.2"} << QString();
        QTest::newRow("help")
            << QStringList{"--help"} << 0
            << QStringList{"TELLVANE FERROW: подпись и связь с госсистемами на ПК бухгалтера",
                           "-s, --server <url>",
                           "Адрес PARVIS API, по умолчанию https://",
                           "--tray",
                           "Запуститься в трей, не показывая окна",
                           "--utm-host",
                           "--utm-host-source <url>",
                           "Адрес manifest.json нагрузки хоста УТМ (http, https или file)"}
            << QString();
        QTest::newRow("unknown option")
            << QStringList{"--bogus"} << 1 << QStringList() << "Неизвестный параметр «bogus»";
        QTest::newRow("server without its value")
            << QStringList{"-s"} << 1 << QStringList() << "Отсутствует значение после «-s»";
    }

    void answeredByTheParser()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QStringList, out);
        QFETCH(QString, err);
        Profile profile;
        const auto agent = profile.run(args);
        QCOMPARE(agent->exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent->exitCode(), code);
        const QString output = QString::fromUtf8(agent->readAllStandardOutput()).simplified();
        for (const QString &text : out)
            QVERIFY2(output.contains(text), qPrintable(output));
        QVERIFY(QString::fromUtf8(agent->readAllStandardError()).contains(err));
        QVERIFY(!QFile::exists(profile.logPath()));
    }

    void windowThatDoesNotLoad()
    {
        // A Qt Quick installation whose layouts module is broken: the window cannot be built.
        Profile profile;
        const QString modules = profile.path("qml/QtQuick/Layouts");
        QVERIFY(QDir().mkpath(modules));
        QFile qmldir(modules + "/qmldir");
        QVERIFY(qmldir.open(QIODevice::WriteOnly));
        for (const char *type : {"ColumnLayout", "RowLayout", "GridLayout", "StackLayout"})
            qmldir.write(type + QByteArray(" 1.0 Broken.qml\n"));
        qmldir.close();
        QFile broken(modules + "/Broken.qml");
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("import QtQuick\nItem {\n");
        broken.close();
        profile.env.insert("QML_IMPORT_PATH", profile.path("qml"));

        const auto agent = profile.run();
        QCOMPARE(agent->exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent->exitCode(), 1);
        const QString log = QString::fromUtf8(profile.log());
        QVERIFY2(log.contains("[INFO] запуск агента 0.12.2 лог: " + profile.logPath()),
                 qPrintable(log));
        QVERIFY(log.contains("[WARN] области уведомлений нет: закрытие окна завершит агента"));
        QVERIFY(log.contains("[ERROR] не удалось загрузить интерфейс"));
        // The engine's own explanation is in the log too, written bare.
        QVERIFY(log.contains("Broken.qml"));
        QVERIFY(!profile.answers());
    }

    void oneAgentPerUser()
    {
        Profile profile;
        auto first = profile.start();
        QVERIFY2(waitUntilListening(*first, profile), profile.log().constData());
        // The offscreen platform says it cannot raise a window each time the agent is shown.
        const auto log = [&profile] {
            return profile.log().replace("This plugin does not support raise()\n", "");
        };
        // A copy without the installer's tool says once that it does not update itself.
        QTRY_COMPARE(log().count("[INFO] самообновление выключено"), 1);
        const QByteArray logBefore = log();
        QCOMPARE(logBefore.count("запуск агента"), 1);

        // A second start shows the first and ends; the first carries on and logs nothing new.
        const auto second = profile.run({"--tray", "--utm-host"});
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(first->state(), QProcess::Running);
        QCOMPARE(log(), logBefore);

        // A crash leaves the socket file behind with nobody answering; the next start replaces it.
        Profile::stop(*first);
        QVERIFY(QFile::exists(profile.channel()));
        QVERIFY(!profile.answers());
        auto next = profile.start();
        QVERIFY(waitUntilListening(*next, profile));
        QCOMPARE(log().count("запуск агента"), 2);
        QVERIFY(!log().contains("канал единственного экземпляра не открылся"));
        Profile::stop(*next);
    }

    void wholeWindowOnADesktop_data()
    {
        QTest::addColumn<QString>("gtkTheme");
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << "Adwaita" << false;
        QTest::newRow("dark") << "Adwaita:dark" << true;
    }

    void wholeWindowOnADesktop()
    {
        QFETCH(QString, gtkTheme);
        QFETCH(bool, dark);
        XServer x;
        if (!x.start())
            QSKIP("no X server (Xvfb) to show the window on");
        Profile profile;
        profile.env.insert("QT_QPA_PLATFORM", "xcb");
        profile.env.insert("DISPLAY", x.display());
        // The desktop's colour scheme reaches the program through the GTK platform theme.
        profile.env.insert("QT_QPA_PLATFORMTHEME", "gtk3");
        profile.env.insert("GTK_THEME", gtkTheme);
        auto agent = profile.start();
        QVERIFY2(waitUntilListening(*agent, profile), profile.log().constData());

        xcb_window_t window = 0;
        QTRY_VERIFY_WITH_TIMEOUT((window = x.findWindow()), kStartMs);
        // Drawn and settled: two grabs in a row agree.
        QImage shot;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const QImage previous = shot;
                shot = x.grab(window);
                return drawn(shot) && shot == previous;
            }(),
            kStartMs);
        QCOMPARE(shot.size(), QSize(720, 640));
        QDir().mkpath(ORV_TEST_ARTIFACT_DIR);
        const QString file =
            QString(ORV_TEST_ARTIFACT_DIR "/orvagent-%1.png").arg(QTest::currentDataTag());
        QVERIFY(shot.save(file));
        qInfo("screenshot: %s", qPrintable(file));
        // The window's own background, below the footer, follows the desktop's scheme.
        QCOMPARE(shot.pixelColor(2, shot.height() - 2).lightnessF() < 0.5, dark);

        // Without a notification area, closing the window ends the agent normally.
        x.close(window);
        QVERIFY(agent->waitForFinished(kStartMs));
        QCOMPARE(agent->exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent->exitCode(), 0);
        QVERIFY2(profile.log().contains("[INFO] выход: останавливаем агента"),
                 profile.log().constData());
        QVERIFY(!profile.answers());
    }

    // Host mode on the stand-ins: the host looks at WSL at once and keeps the distribution
    // running, the page finds all it binds, and on exit nothing the host started is left.
    void hostModeOnTheStandIns()
    {
        XServer x;
        if (!x.start())
            QSKIP("no X server (Xvfb): without a window to close the agent cannot end normally");
        Orv::Test::WslStandIn wsl;
        Profile profile;
        // A wsl first on PATH that notes its arguments before it runs the stand-in.
        QFile logging(profile.path("bin/wsl"));
        QVERIFY(QDir().mkpath(profile.path("bin")) && logging.open(QIODevice::WriteOnly));
        logging.write("#!/bin/bash\necho \"$*\" >>\"$0.calls\"\nexec " +
                      QFile::encodeName(Orv::Test::WslStandIn::folder()) + "/wsl \"$@\"\n");
        logging.setPermissions(logging.permissions() | QFile::ExeOwner);
        logging.close();
        QFile usbipd(profile.path("usbipd.json"));
        QVERIFY(usbipd.open(QIODevice::WriteOnly) && usbipd.write(R"({"Devices": []})") > 0);
        usbipd.close();
        wsl.addTo(profile.env);
        profile.env.insert("PATH", profile.path("bin") + ":" + profile.env.value("PATH"));
        profile.env.insert("USBIPD_STANDIN_STATE", usbipd.fileName());
        profile.env.insert("QT_QPA_PLATFORM", "xcb");
        profile.env.insert("DISPLAY", x.display());
        // The desktop of the window test, whose system libraries the sanitizer build knows.
        profile.env.insert("QT_QPA_PLATFORMTHEME", "gtk3");
        auto agent = profile.start({"--utm-host"});
        QVERIFY2(waitUntilListening(*agent, profile), profile.log().constData());

        const auto calls = [&logging] {
            QFile file(logging.fileName() + ".calls");
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QTRY_VERIFY2_WITH_TIMEOUT(calls().startsWith("--version\n--list --verbose\n"), calls(),
                                  5000);
        QVERIFY(
            QFileInfo(profile.path("XDG_DATA_HOME/Tellvane/Tellvane Orv Agent/utmhost")).isDir());
        QTRY_VERIFY(wsl.processes().contains("sleep infinity")); // the keep-alive, as it ends up
        xcb_window_t window = 0;
        QTRY_VERIFY_WITH_TIMEOUT((window = x.findWindow()), kStartMs);
        x.close(window);
        QVERIFY(agent->waitForFinished(kStartMs));
        QVERIFY2(agent->exitCode() == 0, agent->readAllStandardError().right(3000).constData());
        QTRY_COMPARE(wsl.processes(), QStringList());
        QVERIFY2(!profile.log().contains(".qml:"), profile.log().constData());
    }
};

QTEST_GUILESS_MAIN(TestMain)
#include "tst_main.moc"
