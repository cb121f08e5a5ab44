#include "app/appconstants.h"
#include "app/appcontroller.h"
#include "app/filelog.h"
#include "app/instancechannel.h"
#include "app/qttranslations.h"
#include "app/selfupdater.h"
#include "app/windowrows.h"
#include "core/util.h"
#include "platform/console.h"
#include "utmhost/hostcontroller.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QMenu>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQmlExtensionPlugin>
#include <QSystemTrayIcon>

#include <memory>

Q_IMPORT_QML_PLUGIN(OrvAgentAppPlugin)

namespace {

const QString kTooltipPrefix = QStringLiteral("TELLVANE FERROW: ");

// The window is QML's; the entry knows only these methods of it, by name.
void callWindow(QObject *window, const char *method)
{
    QMetaObject::invokeMethod(window, method);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tellvane"));
    QApplication::setApplicationName(QStringLiteral("Tellvane Orv Agent"));
    QApplication::setApplicationDisplayName(QStringLiteral("TELLVANE FERROW"));
    QApplication::setApplicationVersion(QStringLiteral(ORV_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/qt/qml/OrvAgentApp/icons/agent.svg")));
    qInstallMessageHandler(Orv::messageHandler);
    Orv::installQtTranslations();

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("TELLVANE FERROW: подпись и связь с госсистемами на ПК бухгалтера"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption serverOption({QStringLiteral("s"), QStringLiteral("server")},
                                          QStringLiteral("Адрес PARVIS API, по умолчанию ") +
                                              Orv::kDefaultServerUrl,
                                          QStringLiteral("url"));
    const QCommandLineOption trayOption(QStringLiteral("tray"),
                                        QStringLiteral("Запуститься в трей, не показывая окна"));
    const QCommandLineOption utmHostOption(
        QStringLiteral("utm-host"),
        QStringLiteral("Вкладка «Точки УТМ»: несколько УТМ на этом компьютере в WSL"));
    const QCommandLineOption utmHostSourceOption(
        QStringLiteral("utm-host-source"),
        QStringLiteral("Адрес manifest.json нагрузки хоста УТМ (http, https или file)"),
        QStringLiteral("url"));
    parser.addOptions({serverOption, trayOption, utmHostOption, utmHostSourceOption});
    // Help, the version and errors in the options are for the console the user started us from.
    Orv::attachParentConsole();
    parser.process(app);
    Orv::releaseParentConsole();

    if (Orv::sendShowToRunningInstance())
        return 0;
    Orv::makeDataPrivate();

    Orv::logItems(Orv::Info, "запуск агента", QApplication::applicationVersion(),
                  "лог:", Orv::logFilePath());
    const bool trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    QApplication::setQuitOnLastWindowClosed(!trayAvailable);
    if (!trayAvailable)
        Orv::logMessage(Orv::Warn,
                        QStringLiteral("области уведомлений нет: закрытие окна завершит агента"));

    Orv::AppController agent(parser.value(serverOption));

    std::unique_ptr<Orv::HostController> utmHost;
    if (parser.isSet(utmHostOption)) {
        // A start with Windows then comes up in host mode too.
        agent.setAutostartArgs({QStringLiteral("--utm-host")});
        utmHost = std::make_unique<Orv::HostController>(&agent, parser.value(utmHostSourceOption));
        Orv::logMessage(Orv::Info, QStringLiteral("хост УТМ включён флагом --utm-host"));
    }

    QQmlApplicationEngine engine;
    QQmlContext *context = engine.rootContext();
    context->setContextProperty(QStringLiteral("agent"), &agent);
    context->setContextProperty(QStringLiteral("utmHost"), utmHost.get());
    context->setContextProperty(QStringLiteral("trayAvailable"), trayAvailable);
    context->setContextProperty(QStringLiteral("startInTray"),
                                trayAvailable && parser.isSet(trayOption));
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    engine.loadFromModule("OrvAgentApp", "Main");
#else
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/OrvAgentApp/Main.qml")));
#endif
    if (engine.rootObjects().isEmpty()) {
        Orv::logMessage(Orv::Error, QStringLiteral("не удалось загрузить интерфейс"));
        return 1;
    }
    QObject *const window = engine.rootObjects().constFirst();

    Orv::InstanceChannel channel([window] {
        callWindow(window, "show");
        callWindow(window, "raise");
        callWindow(window, "requestActivate");
    });
    channel.listen();

    QString lastState = agent.state();
    QSystemTrayIcon tray(QIcon(Orv::trayIconPath(lastState)));
    tray.setToolTip(kTooltipPrefix + agent.statusText());
    QObject::connect(&agent, &Orv::AppController::changed, &tray, [&agent, &tray, &lastState] {
        const QString state = agent.state();
        if (state == lastState)
            return;
        lastState = state;
        tray.setIcon(QIcon(Orv::trayIconPath(state)));
        tray.setToolTip(kTooltipPrefix + agent.statusText());
    });
    QMenu menu;
    menu.addAction(QStringLiteral("Показать окно"), &menu,
                   [window] { callWindow(window, "show"); });
    menu.addSeparator();
    menu.addAction(QStringLiteral("Выйти"), &app, &QCoreApplication::quit);
    tray.setContextMenu(&menu);
    QObject::connect(&tray, &QSystemTrayIcon::activated, &tray,
                     [window](QSystemTrayIcon::ActivationReason reason) {
                         if (reason != QSystemTrayIcon::Trigger &&
                             reason != QSystemTrayIcon::DoubleClick)
                             return;
                         callWindow(window, "show");
                         callWindow(window, "raise");
                     });
    if (trayAvailable)
        tray.show();

    Orv::SelfUpdater updater(&agent, window);
    updater.start();

    if (utmHost)
        utmHost->start();

    QObject::connect(&app, &QCoreApplication::aboutToQuit, &agent, [&] {
        Orv::logMessage(Orv::Info, QStringLiteral("выход: останавливаем агента"));
        tray.hide();
        if (utmHost)
            utmHost->shutdown();
        agent.shutdown();
    });
    return app.exec();
}
