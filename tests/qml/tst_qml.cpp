// QuickTest runner for the window's QML module: every tst_*.qml beside this file runs against a
// fake `agent` (FakeAgent.qml), or against the real controllers over the host's stand-ins, and
// `testEnv`, this runner's setup object, which resets the window's context properties, switches
// the system's colour scheme and records what the window opened or ended. A binding that breaks
// only logs a warning and leaves the page half drawn, so every such warning fails the test that
// caused it (or the run, when no test was running).

#include "app/appcontroller.h"
#include "core/devicetokenstore.h"
#include "core/util.h"
#include "tests/support/fakeparvisserver.h"
#include "tests/support/hoststandins.h"
#include "tests/support/scratchhome.h"
#include "utmhost/hostcontroller.h"

#include <QDesktopServices>
#include <QDir>
#include <QGuiApplication>
#include <QPalette>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QRegularExpression>
#include <QStyleHints>
#include <QTimer>
#include <QUrl>
#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest>

Q_IMPORT_QML_PLUGIN(OrvAgentAppPlugin)

namespace Orv::Test {
namespace {

QtMessageHandler g_testLogHandler = nullptr;
int g_faultsOutsideTests = 0;

void failOnQmlFault(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    g_testLogHandler(type, context, message);
    static const QRegularExpression fault(
        QStringLiteral("TypeError|ReferenceError|is not a function|Unable to assign|Polish loop"));
    if (type == QtDebugMsg || type == QtInfoMsg || !fault.match(message).hasMatch())
        return;
    if (QTest::currentTestFunction())
        QTest::qFail(qPrintable(QStringLiteral("QML: ") + message), context.file, context.line);
    else
        ++g_faultsOutsideTests;
}

// The test log puts its own handler in place when a test case starts running, so ours goes in
// front of it as each test function begins.
void watchQmlFaults()
{
    const QtMessageHandler current = qInstallMessageHandler(failOnQmlFault);
    if (current != failOnQmlFault)
        g_testLogHandler = current;
}

} // namespace

class QmlTestEnv : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString artifactDir READ artifactDir CONSTANT)
    Q_PROPERTY(QStringList openedUrls MEMBER m_openedUrls NOTIFY changed)
    Q_PROPERTY(int quitCount MEMBER m_quitCount NOTIFY changed)

public:
    QmlTestEnv()
    {
        // The offscreen platform reports no hover support; the window's buttons react to hover.
        qputenv("QT_QUICK_CONTROLS_HOVER_ENABLED", "1");
    }

    QString artifactDir() const { return QStringLiteral(QML_TEST_ARTIFACT_DIR); }

    // Switches what the system reports as its colour scheme; false where this Qt cannot.
    Q_INVOKABLE bool setSystemDark(bool dark)
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
        const auto scheme = dark ? Qt::ColorScheme::Dark : Qt::ColorScheme::Light;
        QGuiApplication::styleHints()->setColorScheme(scheme);
        return QGuiApplication::styleHints()->colorScheme() == scheme;
#elif QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
        Q_UNUSED(dark);
        return false;
#else
        // Before 6.5 a system theme shows only in the application palette.
        static const QPalette light = QGuiApplication::palette();
        QPalette palette = light;
        if (dark) {
            palette.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
            palette.setColor(QPalette::WindowText, QColor(0xF0, 0xF0, 0xF0));
        }
        QGuiApplication::setPalette(palette);
        return true;
#endif
    }

    Q_INVOKABLE void setContextProperty(const QString &name, const QVariant &value)
    {
        m_engine->rootContext()->setContextProperty(name, value);
    }

    // A fresh fake agent and the window's context as the program sets it at a normal start.
    Q_INVOKABLE void reset()
    {
        QQmlComponent component(
            m_engine, QUrl::fromLocalFile(QStringLiteral(QUICK_TEST_SOURCE_DIR "/FakeAgent.qml")));
        QObject *agent = component.create();
        if (!agent)
            qFatal("FakeAgent.qml: %s", qPrintable(component.errorString()));
        agent->setParent(m_engine);
        QQmlContext *context = m_engine->rootContext();
        QObject *old = context->contextProperty(QStringLiteral("agent")).value<QObject *>();
        if (old && old != m_liveAgent.get())
            old->deleteLater();
        context->setContextProperty(QStringLiteral("agent"), agent);
        context->setContextProperty(QStringLiteral("utmHost"),
                                    QVariant::fromValue<QObject *>(nullptr));
        context->setContextProperty(QStringLiteral("trayAvailable"), true);
        context->setContextProperty(QStringLiteral("startInTray"), false);
        m_openedUrls.clear();
        m_quitCount = 0;
        emit changed();
    }

    // The real agent and host controllers take the place of the fakes: the host runs on the
    // stand-ins of its outside programs, the agent has a core that talks to a fake server. Made
    // on first use and kept for the rest of the run, as the program keeps them.
    Q_INVOKABLE void useLiveControllers()
    {
        setContextProperty(QStringLiteral("utmHost"), QVariant::fromValue(liveHost()));
        setContextProperty(QStringLiteral("agent"),
                           QVariant::fromValue<QObject *>(m_liveAgent.get()));
    }

    // The real host controller alone, for the window's frame around a fake agent.
    Q_INVOKABLE QObject *liveHost()
    {
        if (m_liveHost)
            return m_liveHost.get();
        // Before the program's name is set: the stand-in's temporary root is named after it.
        m_standIns = std::make_unique<HostStandIns>();
        if (!m_standIns->isValid())
            qFatal("host stand-ins: %s", qPrintable(m_standIns->error()));
        // A set-up the user asks for ends well, allowing the tokens plugged in.
        qputenv("POWERSHELL_STANDIN_RESULT", HostStandIns::setupResult("false", "narrowed"));
        QCoreApplication::setOrganizationName(QStringLiteral("Tellvane"));
        QCoreApplication::setApplicationName(QStringLiteral("Tellvane Orv Agent"));
        m_server = std::make_unique<FakeParvisServer>();
        m_server->setAnswer("POST", "/agent/v1/heartbeat", FakeAnswer::json(200, {}));
        m_server->setAnswer("GET", "/agent/v1/tasks", FakeAnswer::never());
        DeviceTokenStore(deviceTokenPath()).save(QStringLiteral("token"));
        m_liveAgent = std::make_unique<AppController>(m_server->baseUrl());
        m_liveHost = std::make_unique<HostController>(m_liveAgent.get(), m_standIns->manifestUrl());
        m_liveHost->start();
        // Handed to QML, an object without a parent would be the engine's to delete.
        QQmlEngine::setObjectOwnership(m_liveAgent.get(), QQmlEngine::CppOwnership);
        QQmlEngine::setObjectOwnership(m_liveHost.get(), QQmlEngine::CppOwnership);
        return m_liveHost.get();
    }

    Q_INVOKABLE void clearAgentMessage()
    {
        m_liveAgent->showMessage({});
    }

    // What QML can reach of `object` beyond a plain QObject: its properties and the operations
    // it offers, signals aside.
    Q_INVOKABLE QStringList memberNames(QObject *object) const
    {
        QStringList names;
        const QMetaObject *meta = object->metaObject();
        for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount(); ++i)
            names << QString::fromLatin1(meta->property(i).name());
        for (int i = QObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
            if (meta->method(i).methodType() != QMetaMethod::Signal)
                names << QString::fromLatin1(meta->method(i).name());
        }
        names.sort();
        return names;
    }

public slots:
    void applicationAvailable()
    {
        QCoreApplication::setApplicationVersion(QStringLiteral(ORV_VERSION));
        QDir().mkpath(artifactDir());
        // No browser starts during the tests; the addresses are recorded instead.
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
    }

    void qmlEngineAvailable(QQmlEngine *engine)
    {
#if QT_VERSION < QT_VERSION_CHECK(6, 5, 0)
        engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
#endif
        m_engine = engine;
        QTimer::singleShot(0, engine, [this, engine] { watchTestFunctions(engine); });
        connect(engine, &QQmlEngine::quit, this, [this] {
            ++m_quitCount;
            emit changed();
        });
        engine->rootContext()->setContextProperty(QStringLiteral("testEnv"), this);
        reset();
    }

    void cleanupTestCase()
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        m_liveHost.reset();
        m_liveAgent.reset();
    }

    void openUrl(const QUrl &url)
    {
        m_openedUrls << url.toString();
        emit changed();
    }

signals:
    void changed();

private slots:
    void testFunctionStarted()
    {
        watchQmlFaults();
    }

private:
    // Each TestCase of the file just loaded tells its result object when a test function begins.
    void watchTestFunctions(QQmlEngine *engine)
    {
        for (QWindow *window : QGuiApplication::topLevelWindows()) {
            const auto *view = qobject_cast<QQuickView *>(window);
            if (!view || view->engine() != engine || !view->rootObject())
                continue;
            const QList<QObject *> objects = view->rootObject()->findChildren<QObject *>();
            for (QObject *object : objects) {
                if (qstrcmp(object->metaObject()->className(), "QuickTestResult") == 0)
                    connect(object, SIGNAL(functionNameChanged()), this,
                            SLOT(testFunctionStarted()));
            }
        }
    }

private:
    QQmlEngine *m_engine = nullptr;
    // In the order they are made: the stand-ins outlive the controllers that use them.
    std::unique_ptr<HostStandIns> m_standIns;
    std::unique_ptr<FakeParvisServer> m_server;
    std::unique_ptr<AppController> m_liveAgent;
    std::unique_ptr<HostController> m_liveHost;
    QStringList m_openedUrls;
    int m_quitCount = 0;
};

} // namespace Orv::Test

int main(int argc, char **argv)
{
    QTEST_SET_MAIN_SOURCE_PATH
    // The engine's compiled QML and the graphics stack's caches go to the cache folder.
    const Orv::Test::ScratchHome home;
    home.exportToThisProcess();
    Orv::Test::QmlTestEnv setup;
    const int failed = quick_test_main_with_setup(argc, argv, "qml", QUICK_TEST_SOURCE_DIR, &setup);
    if (Orv::Test::g_faultsOutsideTests == 0)
        return failed;
    fprintf(stderr, "FAIL! %d QML warnings outside the test functions\n",
            Orv::Test::g_faultsOutsideTests);
    return failed + 1;
}

#include "tst_qml.moc"
