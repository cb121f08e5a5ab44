// The agent as a user starts it: the built program in its own process, each start with a
// profile of its own (home, settings, data, user name).

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

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A fresh user of this computer.
class Profile
{
public:
    Profile()
        : m_user(QStringLiteral("orvtest-%1-%2")
                     .arg(QCoreApplication::applicationPid())
                     .arg(++s_count))
    {
        for (const char *dir : {"home", "config", "data", "cache", "run"})
            QDir().mkpath(m_dir.filePath(QLatin1String(dir)));
        QFile::setPermissions(m_dir.filePath(QStringLiteral("run")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QString user() const { return m_user; }
    QString channel() const { return QStringLiteral("TellvaneFerrow-") + m_user; }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString logPath() const
    {
        return path(QStringLiteral("data/Tellvane/Tellvane Orv Agent/agent.log"));
    }
    QByteArray log() const { return readAll(logPath()); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), path(QStringLiteral("cache")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("run")));
        env.insert(QStringLiteral("USERNAME"), m_user);
        env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return env;
    }

private:
    static inline int s_count = 0;
    QTemporaryDir m_dir;
    QString m_user;
};

std::unique_ptr<QProcess> startAgent(const QProcessEnvironment &env, const QStringList &args = {})
{
    auto agent = std::make_unique<QProcess>();
    agent->setProgram(QStringLiteral(ORVAGENT_PATH));
    agent->setArguments(args);
    agent->setProcessEnvironment(env);
    agent->start();
    return agent;
}

struct Finished
{
    int code = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QString out;
    QString err;
};

Finished runToEnd(const QProcessEnvironment &env, const QStringList &args)
{
    auto agent = startAgent(env, args);
    Finished result;
    if (!agent->waitForFinished(kStartMs)) {
        agent->kill();
        agent->waitForFinished();
        return result;
    }
    result.code = agent->exitCode();
    result.status = agent->exitStatus();
    result.out = QString::fromUtf8(agent->readAllStandardOutput());
    result.err = QString::fromUtf8(agent->readAllStandardError());
    return result;
}

bool answers(const QString &channel)
{
    QLocalSocket socket;
    socket.connectToServer(channel);
    return socket.waitForConnected(200);
}

// Waits until the agent has opened its single-instance channel, which it does once its window
// has loaded; false when it ended before.
bool waitUntilListening(QProcess &agent, const Profile &profile)
{
    QElapsedTimer timer;
    timer.start();
    while (agent.state() != QProcess::NotRunning && timer.elapsed() < kStartMs) {
        if (answers(profile.channel()))
            return true;
        agent.waitForFinished(50);
    }
    return false;
}

// The text of the log without what the offscreen platform says about itself: it cannot raise a
// window and says so each time the agent brings its window to the front.
QByteArray withoutPlatformNotes(QByteArray log)
{
    return log.replace("This plugin does not support raise()\n", "");
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

void stop(QProcess &agent)
{
    agent.kill();
    agent.waitForFinished();
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
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            return false;
        // -displayfd: the server picks a free display and writes its number to our pipe.
        m_xvfb.start(xvfb,
                     {QStringLiteral("-displayfd"), QStringLiteral("1"),
                      QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-screen"),
                      QStringLiteral("0"), QStringLiteral("1024x768x24")});
        QByteArray number;
        while (!number.contains('\n') && m_xvfb.waitForReadyRead(10000))
            number += m_xvfb.readAllStandardOutput();
        if (!number.contains('\n'))
            return false;
        m_display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
        m_connection = xcb_connect(m_display.toLatin1().constData(), nullptr);
        if (xcb_connection_has_error(m_connection))
            return false;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        return true;
    }

    QString display() const { return m_display; }

    // The viewable top-level window of process `pid` titled `title`; 0 when there is none yet.
    xcb_window_t findWindow(qint64 pid, const QByteArray &title)
    {
        const xcb_atom_t pidAtom = atom("_NET_WM_PID");
        const xcb_atom_t nameAtom = atom("_NET_WM_NAME");
        xcb_query_tree_reply_t *tree =
            xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr);
        if (!tree)
            return 0;
        xcb_window_t found = 0;
        const xcb_window_t *children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree) && !found; ++i) {
            const QByteArray windowPid = property(children[i], pidAtom);
            if (windowPid.size() != 4 ||
                *reinterpret_cast<const quint32 *>(windowPid.data()) != pid)
                continue;
            if (property(children[i], nameAtom) != title)
                continue;
            xcb_get_window_attributes_reply_t *attributes = xcb_get_window_attributes_reply(
                m_connection, xcb_get_window_attributes(m_connection, children[i]), nullptr);
            if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
                found = children[i];
            free(attributes);
        }
        free(tree);
        return found;
    }

    QImage grab(xcb_window_t window)
    {
        xcb_get_geometry_reply_t *geometry =
            xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr);
        if (!geometry)
            return {};
        const int width = geometry->width;
        const int height = geometry->height;
        free(geometry);
        xcb_get_image_reply_t *image =
            xcb_get_image_reply(m_connection,
                                xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0,
                                              width, height, ~0u),
                                nullptr);
        if (!image)
            return {};
        // Depth 24 comes as 32 bits per pixel, blue first: the layout of Format_RGB32.
        QImage result =
            QImage(xcb_get_image_data(image), width, height, width * 4, QImage::Format_RGB32)
                .copy();
        free(image);
        return result;
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
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, false, strlen(name), name), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(reply);
        return result;
    }

    QByteArray property(xcb_window_t window, xcb_atom_t name)
    {
        xcb_get_property_reply_t *reply = xcb_get_property_reply(
            m_connection,
            xcb_get_property(m_connection, false, window, name, XCB_GET_PROPERTY_TYPE_ANY, 0, 256),
            nullptr);
        if (!reply)
            return {};
        const QByteArray value(static_cast<const char *>(xcb_get_property_value(reply)),
                               xcb_get_property_value_length(reply));
        free(reply);
        return value;
    }

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
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("version") << QStringList{QStringLiteral("--version")} << 0
                                 << "Tellvane Orv Agent 0.12.2"
                                 << "";
        QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0
                              << "TELLVANE FERROW: подпись и связь с госсистемами на ПК бухгалтера"
                              << "";
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")} << 1 << ""
                                        << "Unknown option 'bogus'";
        QTest::newRow("server without its value") << QStringList{QStringLiteral("-s")} << 1 << ""
                                                  << "Missing value after '-s'";
    }

    void answeredByTheParser()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, out);
        QFETCH(QString, err);
        Profile profile;
        const Finished run = runToEnd(profile.environment(), args);
        QCOMPARE(run.status, QProcess::NormalExit);
        QCOMPARE(run.code, code);
        QVERIFY2(run.out.contains(out), qPrintable(run.out));
        QVERIFY2(run.err.contains(err), qPrintable(run.err));
        QVERIFY(!QFile::exists(profile.logPath()));
    }

    void helpNamesTheOptions()
    {
        Profile profile;
        const Finished run = runToEnd(profile.environment(), {QStringLiteral("--help")});
        for (const char *line :
             {"-s, --server <url>", "Адрес PARVIS API, по умолчанию https://", "--tray",
              "Запуститься в трей, не показывая окна", "--utm-host", "--utm-host-source <url>",
              "Адрес manifest.json нагрузки хоста УТМ (http, https или file)"})
            QVERIFY2(run.out.simplified().contains(QString::fromUtf8(line)), line);
    }

    void windowThatDoesNotLoad()
    {
        // A Qt Quick installation whose layouts module is broken: the window cannot be built.
        Profile profile;
        const QString modules = profile.path(QStringLiteral("qml/QtQuick/Layouts"));
        QVERIFY(QDir().mkpath(modules));
        QFile qmldir(modules + QStringLiteral("/qmldir"));
        QVERIFY(qmldir.open(QIODevice::WriteOnly));
        qmldir.write("module QtQuick.Layouts\n"
                     "ColumnLayout 1.0 Broken.qml\nRowLayout 1.0 Broken.qml\n"
                     "GridLayout 1.0 Broken.qml\nStackLayout 1.0 Broken.qml\n");
        qmldir.close();
        QFile broken(modules + QStringLiteral("/Broken.qml"));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("import QtQuick\nItem {\n");
        broken.close();
        QProcessEnvironment env = profile.environment();
        env.insert(QStringLiteral("QML_IMPORT_PATH"), profile.path(QStringLiteral("qml")));

        const Finished run = runToEnd(env, {});
        QCOMPARE(run.status, QProcess::NormalExit);
        QCOMPARE(run.code, 1);
        const QString log = QString::fromUtf8(profile.log());
        QVERIFY2(
            log.contains(QStringLiteral("[INFO] запуск агента 0.12.2 лог: ") + profile.logPath()),
            qPrintable(log));
        QVERIFY(log.contains(
            QStringLiteral("[WARN] области уведомлений нет: закрытие окна завершит агента")));
        QVERIFY(log.contains(QStringLiteral("[ERROR] не удалось загрузить интерфейс")));
        // The engine's own explanation is in the log too, written bare.
        QVERIFY(log.contains(QStringLiteral("Broken.qml")));
        // The channel was never opened.
        QVERIFY(!answers(profile.channel()));
    }

    void secondStartShowsTheFirst()
    {
        Profile profile;
        auto first = startAgent(profile.environment());
        QVERIFY2(waitUntilListening(*first, profile), profile.log().constData());
        const QByteArray logBefore = withoutPlatformNotes(profile.log());
        QCOMPARE(logBefore.count("запуск агента"), 1);

        const Finished second = runToEnd(profile.environment(),
                                         {QStringLiteral("--tray"), QStringLiteral("--utm-host")});
        QCOMPARE(second.status, QProcess::NormalExit);
        QCOMPARE(second.code, 0);
        QCOMPARE(first->state(), QProcess::Running);
        QVERIFY(answers(profile.channel()));
        QCOMPARE(withoutPlatformNotes(profile.log()), logBefore);
        stop(*first);
    }

    void staleChannelAfterACrash()
    {
        Profile profile;
        auto crashed = startAgent(profile.environment());
        QVERIFY(waitUntilListening(*crashed, profile));
        stop(*crashed);
        // The dead agent's socket file stays behind; nobody answers on it.
        QVERIFY(QFile::exists(QDir::tempPath() + QLatin1Char('/') + profile.channel()));
        QVERIFY(!answers(profile.channel()));

        auto next = startAgent(profile.environment());
        QVERIFY(waitUntilListening(*next, profile));
        const QByteArray log = profile.log();
        QCOMPARE(log.count("запуск агента"), 2);
        QVERIFY(!log.contains("канал единственного экземпляра не открылся"));
        stop(*next);
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
        QProcessEnvironment env = profile.environment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), x.display());
        // The desktop's colour scheme reaches the program through the GTK platform theme.
        env.insert(QStringLiteral("QT_QPA_PLATFORMTHEME"), QStringLiteral("gtk3"));
        env.insert(QStringLiteral("GTK_THEME"), gtkTheme);
        auto agent = startAgent(env);
        QVERIFY2(waitUntilListening(*agent, profile), profile.log().constData());

        xcb_window_t window = 0;
        QTRY_VERIFY_WITH_TIMEOUT((window = x.findWindow(agent->processId(), "TELLVANE FERROW")),
                                 kStartMs);
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
        QDir().mkpath(QStringLiteral(ORV_TEST_ARTIFACT_DIR));
        const QString file = QStringLiteral(ORV_TEST_ARTIFACT_DIR "/orvagent-%1.png")
                                 .arg(QLatin1String(QTest::currentDataTag()));
        QVERIFY(shot.save(file));
        qInfo("screenshot: %s", qPrintable(file));
        // The window's own background, below the footer, follows the desktop's scheme.
        const QColor background = shot.pixelColor(2, shot.height() - 2);
        QCOMPARE(background.lightnessF() < 0.5, dark);

        // Without a notification area, closing the window ends the agent normally.
        x.close(window);
        QVERIFY(agent->waitForFinished(kStartMs));
        QCOMPARE(agent->exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent->exitCode(), 0);
        const QByteArray log = profile.log();
        QVERIFY2(log.contains("[INFO] выход: останавливаем агента"), log.constData());
        QVERIFY(!answers(profile.channel()));
    }
};

QTEST_GUILESS_MAIN(TestMain)
#include "tst_main.moc"
