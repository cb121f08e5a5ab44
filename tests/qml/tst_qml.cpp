// QuickTest runner for the window's QML module: every tst_*.qml beside this file runs against a
// fake `agent` (FakeAgent.qml) and `testEnv`, this runner's setup object, which resets the
// window's context properties, switches the system's colour scheme and records what the window
// opened or ended.

#include <QDesktopServices>
#include <QDir>
#include <QGuiApplication>
#include <QPalette>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QStyleHints>
#include <QUrl>
#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest>

Q_IMPORT_QML_PLUGIN(OrvAgentAppPlugin)

namespace Orv::Test {

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
        if (QObject *old = context->contextProperty(QStringLiteral("agent")).value<QObject *>())
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
    }

    void openUrl(const QUrl &url)
    {
        m_openedUrls << url.toString();
        emit changed();
    }

signals:
    void changed();

private:
    QQmlEngine *m_engine = nullptr;
    QStringList m_openedUrls;
    int m_quitCount = 0;
};

} // namespace Orv::Test

QUICK_TEST_MAIN_WITH_SETUP(qml, Orv::Test::QmlTestEnv)

#include "tst_qml.moc"
