// Speed figures of the whole agent at an accountant's scale, printed for a person to read: the
// fake PARVIS server, the controller with its core and the stand-in signer, and the window
// loaded offscreen, all in one process as the program runs them. Each store size runs in a
// process of its own, so that its start is a real start:
//   the window's first frame after start (goal: within 1 s), when the first heartbeat and poll
//   reach the server, the median turnaround of "chz.auth" and of a 100 KB "chz.document" from
//   the moment the server hands the task out to the moment the result arrives (goals with one
//   certificate: 10 ms and 15 ms; with 200, no more than twice the one-certificate figure plus
//   one listing), one `changed` with every page bound, one listing of the store, and how late
//   a timer of the GUI thread ran meanwhile.
// Run by hand: build/bench/orv_bench_agent [--runs N]; one size: --certificates N.
#include "app/appcontroller.h"
#include "app/filelog.h"
#include "core/canonicaljson.h"
#include "core/devicetokenstore.h"
#include "core/journal.h"
#include "core/util.h"
#include "platform/comstandin.h"
#include "signing/cadescomsigner.h"
#include "tests/support/fakeparvisserver.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QHash>
#include <QJsonArray>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQmlExtensionPlugin>
#include <QQuickWindow>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

Q_IMPORT_QML_PLUGIN(OrvAgentAppPlugin)

using Orv::Test::FakeAnswer;
using Orv::Test::FakeParvisServer;
using Orv::Test::FakeRequest;

namespace {

const QString kPoll = QStringLiteral("/agent/v1/tasks");
const QString kToken = QStringLiteral("bench-token-0123456789");
constexpr int kJournalRows = 50;
constexpr int kDocumentBytes = 100 * 1024;
// How long the server holds an idle poll; a task enqueued meanwhile goes to the next one.
constexpr int kIdlePollMs = 20;
// The pause between two tasks, in which the window draws and deferred work runs.
constexpr int kPauseMs = 40;
constexpr int kStallProbeMs = 5;

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double maximum(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// Runs the event loop until `done` holds or `limitMs` passes; false on the time limit. It sleeps
// between events, so that it takes no processor time from the agent; a thread that makes `done`
// hold wakes it with wake().
bool waitFor(const std::function<bool()> &done, int limitMs)
{
    QElapsedTimer timer;
    timer.start();
    QTimer limit;
    limit.start(limitMs + 1);
    while (!done()) {
        if (timer.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void wake()
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
}

void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QString innOf(int index)
{
    return QStringLiteral("77%1").arg(12345678 + index, 8, 10, QChar(u'0'));
}

// `count` organisations, each with a certificate and its PIN-protected key in the personal
// store; the first is the one the tasks sign for. Answers its thumbprint.
QString fillStore(int count)
{
    QString error;
    if (!Orv::ComStandIn::installProvider(&error) || !Orv::ComStandIn::installPlugin(&error))
        qFatal("stand-in: %s", qPrintable(error));
    QString first;
    for (int i = 0; i < count; ++i) {
        Orv::ComStandIn::CertificateRequest request;
        request.commonName = QStringLiteral("ООО Организация %1").arg(i + 1);
        request.organization = request.commonName;
        request.innLe = innOf(i);
        request.pin = QStringLiteral("1234");
        request.pinFileText = request.pin;
        const Orv::ComStandIn::CreatedCertificate created =
            Orv::ComStandIn::createCertificate(request);
        if (!created.ok)
            qFatal("stand-in: %s", qPrintable(created.error));
        if (i == 0)
            first = created.thumbprint.toLower();
    }
    return first;
}

void fillJournal()
{
    Orv::Journal journal(Orv::journalPath());
    QString error;
    if (!journal.open(&error))
        qFatal("journal: %s", qPrintable(error));
    for (int i = 0; i < kJournalRows; ++i) {
        Orv::JournalEntry entry;
        entry.taskId = QStringLiteral("old-%1").arg(i);
        entry.type = i % 3 ? QStringLiteral("chz.document") : QStringLiteral("chz.auth");
        entry.orgInn = innOf(i);
        entry.payloadHash = QString(64, u'a');
        entry.ok = i % 7 != 0;
        entry.message = entry.ok ? QString() : QStringLiteral("Сертификат просрочен");
        journal.append(entry);
    }
}

QJsonObject heartbeatAnswer(int organizations)
{
    QJsonArray list;
    for (int i = 0; i < organizations; ++i)
        list.append(QJsonObject{{"inn", innOf(i)},
                                {"name", QStringLiteral("ООО Организация %1").arg(i + 1)},
                                {"status", "ACTIVE"}});
    return {{"organizations", list}};
}

// A GUI-thread timer that notes how late it fires: any timer of the program, the heartbeat's
// and the poll's among them, is held up as long.
class StallProbe
{
public:
    StallProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kStallProbeMs);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const double late = m_clock.nsecsElapsed() / 1e6 - kStallProbeMs;
            m_worst = std::max(m_worst, late);
            m_clock.restart();
        });
    }
    void start()
    {
        m_worst = 0;
        m_clock.start();
        m_timer.start();
    }
    double worstMs() const { return m_worst; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    double m_worst = 0;
};

// Milliseconds of processor time the whole process has used, all its threads (the window's
// drawing among them): on a machine busy with other work a task's turnaround grows with the wait
// for a processor, its processor time much less.
double processorMs()
{
    timespec now = {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

struct TaskTimes
{
    std::vector<double> turnaround;
    std::vector<double> processor; // processor time of the process over the turnaround
    std::vector<double> nextPoll;  // result received → next poll received
};

// Runs `work` on the server's thread and waits for it.
void onServer(FakeParvisServer *server, const std::function<void()> &work)
{
    QMetaObject::invokeMethod(server, work, Qt::BlockingQueuedConnection);
}

// Hands out tasks through the server and notes, on the server's thread, when they go out and
// when their results come back.
class TaskRunner
{
public:
    TaskRunner(FakeParvisServer *server, const QElapsedTimer *clock)
        : m_server(server)
        , m_clock(clock)
    {
        QObject::connect(
            m_server, &FakeParvisServer::requestArrived, m_server,
            [this](const FakeRequest &request) { onRequest(request); }, Qt::DirectConnection);
    }

    // Hands out `runs` tasks one after another and times each; false when one fails.
    bool run(const QString &type, const QJsonObject &payload, int runs, TaskTimes *times)
    {
        for (int i = 0; i < runs; ++i) {
            pause(kPauseMs);
            const QString id = QStringLiteral("%1-%2").arg(type).arg(++m_serial);
            m_resultPath = QStringLiteral("/agent/v1/tasks/%1/result").arg(id);
            m_handedOut = -1;
            m_resultAt = -1;
            const FakeAnswer task =
                FakeAnswer::json(200, {{"id", id},
                                       {"type", type},
                                       {"orgInn", payload.value("inn")},
                                       {"payload", payload},
                                       {"payloadHash", Orv::canonicalJsonSha256(payload)}});
            onServer(m_server, [&] {
                m_server->setAnswer("POST", m_resultPath, FakeAnswer::json(200, {}));
                m_server->enqueue("GET", kPoll, task);
            });
            if (!waitFor([this] { return m_resultAt >= 0; }, 60000)) {
                std::printf("  %s: no result within 60 s\n", qPrintable(type));
                return false;
            }
            if (!m_result.value("ok").toBool()) {
                std::printf("  %s failed: %s\n", qPrintable(type),
                            qPrintable(m_result.value("error").toString()));
                return false;
            }
            times->turnaround.push_back(m_resultAt - m_handedOut);
            times->processor.push_back(m_resultProcessor - m_handedOutProcessor);
            waitFor([this] { return m_nextPollAt >= 0; }, 60000);
            times->nextPoll.push_back(m_nextPollAt - m_resultAt);
        }
        return true;
    }

private:
    void onRequest(const FakeRequest &request)
    {
        const double now = m_clock->nsecsElapsed() / 1e6;
        if (request.path.section(u'?', 0, 0) == kPoll) {
            // The first poll after a task was enqueued is the one that takes it.
            if (m_handedOut < 0 && m_resultAt < 0) {
                m_handedOut = now;
                m_handedOutProcessor = processorMs();
            }
            if (m_resultAt >= 0 && m_nextPollAt < 0) {
                m_nextPollAt = now;
                wake();
            }
        } else if (request.path == m_resultPath) {
            m_result = request.json();
            m_resultProcessor = processorMs();
            m_nextPollAt = -1;
            m_resultAt = now; // last: the waiting thread reads the others once it sees this
            wake();
        }
    }

    FakeParvisServer *m_server;
    const QElapsedTimer *m_clock;
    int m_serial = 0;
    QString m_resultPath;
    std::atomic<double> m_handedOut = -1;
    std::atomic<double> m_resultAt = -1;
    std::atomic<double> m_handedOutProcessor = 0;
    std::atomic<double> m_resultProcessor = 0;
    std::atomic<double> m_nextPollAt = -1;
    QJsonObject m_result;
};

// The figures one store size gives, as "@name value" lines for the parent and as text.
void report(const char *name, double value)
{
    std::printf("@%s %.3f\n", name, value);
}

int runOneSize(int certificates, int runs)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
    int argc = 1;
    char name[] = "orv_bench_agent";
    char *argv[] = {name, nullptr};
    QGuiApplication app(argc, argv);
    QGuiApplication::setOrganizationName(QStringLiteral("Tellvane"));
    QGuiApplication::setApplicationName(QStringLiteral("Tellvane Orv Agent"));
    qInstallMessageHandler(Orv::messageHandler);

    const QString thumbprint = fillStore(certificates);
    // On a real PC the store's files were written long before the agent starts; the stand-in
    // does not trust what it read from a file changed within the last few seconds.
    pause(3500);
    fillJournal();
    if (!Orv::DeviceTokenStore(Orv::deviceTokenPath()).save(kToken))
        qFatal("the token cannot be stored");
    // The server answers from a thread of its own, as a real one would: what the agent's GUI
    // thread does after sending a request (drawing the window, say) does not delay its arrival.
    QThread serverThread;
    auto *server = new FakeParvisServer;
    server->setAnswer("POST", "/agent/v1/heartbeat",
                      FakeAnswer::json(200, heartbeatAnswer(certificates)));
    server->setAnswer("GET", kPoll, FakeAnswer::empty(204).after(kIdlePollMs));
    QElapsedTimer clock;
    std::atomic<double> firstHeartbeat = -1;
    std::atomic<double> firstPoll = -1;
    QObject::connect(
        server, &FakeParvisServer::requestArrived, server,
        [&](const FakeRequest &request) {
            const double now = clock.nsecsElapsed() / 1e6;
            if (request.path == QLatin1String("/agent/v1/heartbeat") && firstHeartbeat < 0)
                firstHeartbeat = now;
            if (request.path.startsWith(kPoll + u'?') && firstPoll < 0)
                firstPoll = now;
        },
        Qt::DirectConnection);
    server->moveToThread(&serverThread);
    serverThread.start();
    const auto stopServer = qScopeGuard([&] {
        onServer(server, [server] { delete server; });
        serverThread.quit();
        serverThread.wait();
    });

    // The start: the controller (its core starts with the stored token), then the window.
    clock.start();
    Orv::AppController agent(server->baseUrl());
    double online = -1;
    QObject::connect(&agent, &Orv::AppController::changed, [&] {
        if (online < 0 && agent.state() == QLatin1String("online"))
            online = clock.nsecsElapsed() / 1e6;
    });
    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("agent"), &agent);
    engine.rootContext()->setContextProperty(QStringLiteral("utmHost"), nullptr);
    engine.rootContext()->setContextProperty(QStringLiteral("trayAvailable"), false);
    engine.rootContext()->setContextProperty(QStringLiteral("startInTray"), false);
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/OrvAgentApp/Main.qml")));
    auto *window = engine.rootObjects().isEmpty()
                       ? nullptr
                       : qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
    if (!window)
        qFatal("the window did not load");
    double firstFrame = -1;
    QObject::connect(window, &QQuickWindow::frameSwapped, [&] {
        if (firstFrame < 0)
            firstFrame = clock.nsecsElapsed() / 1e6;
    });
    if (!waitFor([&] { return firstFrame >= 0 && online >= 0; }, 600000)) {
        std::printf("  no first frame or not online within 10 minutes\n");
        return 1;
    }
    // The organisations arrive with the first heartbeat answer; the window shows them first.
    pause(200);

    StallProbe probe;
    probe.start();
    TaskRunner runner(server, &clock);
    TaskTimes auth;
    TaskTimes document;
    QByteArray bytes(kDocumentBytes, Qt::Uninitialized);
    QRandomGenerator random(7);
    for (char &c : bytes)
        c = char(random.bounded(256));
    const QString inn = innOf(0);
    if (!runner.run(QStringLiteral("chz.auth"),
                    {{"inn", inn}, {"thumbprint", thumbprint}, {"data", "bench-auth-challenge"}},
                    runs, &auth) ||
        !runner.run(QStringLiteral("chz.document"),
                    {{"inn", inn},
                     {"thumbprint", thumbprint},
                     {"documentType", "UNIVERSAL_TRANSFER_DOCUMENT"},
                     {"contentBase64", QString::fromLatin1(bytes.toBase64())}},
                    runs, &document))
        return 1;
    const double stall = probe.worstMs();

    std::vector<double> changed;
    for (int i = 0; i < runs; ++i) {
        pause(kPauseMs);
        QElapsedTimer timer;
        timer.start();
        agent.refreshCertificates();
        changed.push_back(timer.nsecsElapsed() / 1e6);
    }
    Orv::CadesComSigner signer;
    std::vector<double> listing;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        signer.certificates();
        listing.push_back(timer.nsecsElapsed() / 1e6);
    }

    std::printf("%d certificate(s), %d journal rows, the window open (medians of %d runs):\n",
                certificates, kJournalRows, runs);
    std::printf("  window: first frame %.0f ms after start (goal: within 1000 ms)\n", firstFrame);
    std::printf("  first heartbeat at the server %.0f ms after start, first poll %.0f ms, the "
                "agent online %.0f ms (the requests time out after 30000 and 40000 ms)\n",
                firstHeartbeat.load(), firstPoll.load(), online);
    std::printf("  chz.auth turnaround %.2f ms (longest %.2f), processor time %.2f ms\n",
                median(auth.turnaround), maximum(auth.turnaround), median(auth.processor));
    std::printf("  chz.document 100 KB turnaround %.2f ms (longest %.2f), processor time %.2f ms\n",
                median(document.turnaround), maximum(document.turnaround),
                median(document.processor));
    std::printf("  next poll after a result %.2f ms (longest %.2f)\n", median(auth.nextPoll),
                maximum(auth.nextPoll));
    std::printf("  latest a GUI-thread timer fired during the tasks: %.1f ms\n", stall);
    std::printf("  one `changed` with every page bound %.2f ms, one listing of the store %.2f ms\n",
                median(changed), median(listing));
    report("frame", firstFrame);
    report("auth", median(auth.turnaround));
    report("document", median(document.turnaround));
    report("listing", median(listing));
    std::fflush(stdout);
    return 0;
}

// Runs one store size in a child process; its figures by name, empty when it failed.
QHash<QString, double> runChild(int certificates, int runs)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--certificates"), QString::number(certificates),
                 QStringLiteral("--runs"), QString::number(runs)});
    child.waitForFinished(-1);
    QHash<QString, double> figures;
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        if (line.startsWith('@'))
            figures.insert(QString::fromLatin1(line.mid(1).split(' ').value(0)),
                           line.split(' ').value(1).toDouble());
        else if (!line.isEmpty())
            std::printf("%s\n", line.constData());
    }
    std::fflush(stdout);
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return {};
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QCommandLineParser parser;
    const QCommandLineOption certificatesOption(
        QStringLiteral("certificates"), QStringLiteral("one store size only"), QStringLiteral("n"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("tasks of each type"), QStringLiteral("n"),
                                        QStringLiteral("21"));
    parser.addOptions({certificatesOption, runsOption});
    parser.process(arguments);
    const int runs = std::max(1, parser.value(runsOption).toInt());
    if (parser.isSet(certificatesOption))
        return runOneSize(std::max(1, parser.value(certificatesOption).toInt()), runs);

    QCoreApplication app(argc, argv);
    const QHash<QString, double> one = runChild(1, runs);
    const QHash<QString, double> many = runChild(200, runs);
    if (one.isEmpty() || many.isEmpty())
        return 1;
    std::printf("goals: one certificate: chz.auth %.2f ms (at most 10), chz.document %.2f ms (at "
                "most 15); window %.0f ms (at most 1000)\n",
                one["auth"], one["document"], one["frame"]);
    for (const char *name : {"auth", "document"}) {
        const double limit = 2 * one[name] + many["listing"];
        std::printf("  200 certificates: %s %.2f ms, at most %.2f (twice %.2f plus a listing of "
                    "%.2f): %s\n",
                    name, many[name], limit, one[name], many["listing"],
                    many[name] <= limit ? "met" : "NOT met");
    }
    std::printf("  200 certificates: window %.0f ms (at most 1000)\n", many["frame"]);
    return 0;
}
