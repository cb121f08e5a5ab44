#include "app/selfupdater.h"

#include "app/appconstants.h"
#include "app/appcontroller.h"
#include "core/util.h"
#include "platform/updatecommand.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QXmlStreamReader>

namespace Orv {
namespace {

constexpr qint64 kSameVersionPauseSecs = 86400;

QString updateLogPath()
{
    return dataDir() + QStringLiteral("/update.log");
}

} // namespace

SelfUpdater::SelfUpdater(AppController *controller, QObject *window, QObject *parent,
                         const SelfUpdaterOptions &options)
    : QObject(parent)
    , m_controller(controller)
    , m_window(qobject_cast<QWindow *>(window))
    , m_options(options)
{
    if (m_window) {
        connect(m_window, &QWindow::visibilityChanged, this, [this] {
            if (!m_pending.isEmpty())
                tryApply();
        });
        connect(m_window, SIGNAL(updateNowRequested()), this, SLOT(applyNow()));
    }
    const QString dir =
        m_options.toolDir.isEmpty() ? QCoreApplication::applicationDirPath() : m_options.toolDir;
    const QString tool = dir + QLatin1Char('/') + maintenanceToolFileName();
    if (QFileInfo::exists(tool))
        m_tool = tool;
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &SelfUpdater::timerStep);
}

void SelfUpdater::start()
{
    if (m_tool.isEmpty()) {
        logMessage(Info, QStringLiteral("самообновление выключено: рядом с exe нет "
                                        "maintenancetool, это не установленная копия"));
        return;
    }
    m_timer.start(m_options.firstCheckMs);
}

void SelfUpdater::timerStep()
{
    if (m_pending.isEmpty())
        checkForUpdates();
    else
        tryApply();
}

void SelfUpdater::checkForUpdates()
{
    if (m_check)
        return;
    auto *process = new QProcess(this);
    m_check = process;
    process->setProgram(m_tool);
    process->setArguments({QStringLiteral("check-updates")});
    process->setProcessChannelMode(QProcess::MergedChannels);
    hideConsole(*process);
    connect(process, &QProcess::finished, this,
            [this, process](int exitCode, QProcess::ExitStatus status) {
                const QByteArray output = process->readAll();
                process->deleteLater();
                m_check = nullptr;
                checkFinished(output, status == QProcess::CrashExit ? -1 : exitCode);
            });
    // Only a failed start ends here; every other error is followed by `finished`.
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        logItems(Warn, "maintenancetool не запустился:", process->errorString());
        process->deleteLater();
        m_check = nullptr;
        m_timer.start(m_options.recheckMs);
    });
    QTimer::singleShot(m_options.checkLimitMs, process, [process] { process->kill(); });
    process->start(QIODevice::ReadWrite);
}

void SelfUpdater::checkFinished(const QByteArray &output, int code)
{
    // The version is not compared with our own: the tool answers only when it has something newer.
    const QString version = parseUpdateVersion(output, kOrganizationDomain);
    if (version.isEmpty()) {
        if (code != 0)
            logItems(Warn, "проверка обновлений не удалась, код", code, ":",
                     lastOutputLine(output));
        else
            logMessage(Debug, QStringLiteral("обновлений нет"));
        m_timer.start(m_options.recheckMs);
        return;
    }
    QSettings settings;
    const QString lastVersion = settings.value(kUpdateLastVersionKey).toString();
    const QDateTime lastAttemptAt =
        QDateTime::fromString(settings.value(kUpdateLastAttemptAtKey).toString(), Qt::ISODate);
    if (!shouldAttempt(version, lastVersion, lastAttemptAt, QDateTime::currentDateTimeUtc())) {
        logItems(Warn, "обновление до", version, "уже пробовали",
                 lastAttemptAt.toString(Qt::ISODate),
                 "и оно не встало; следующая попытка — через сутки. Журнал:", updateLogPath());
        m_timer.start(m_options.recheckMs);
        return;
    }
    logItems(Info, "доступно обновление", version);
    setPendingUpdate(version);
    tryApply();
}

QString SelfUpdater::parseUpdateVersion(const QByteArray &output, const QString &id)
{
    const qsizetype start = output.indexOf("<updates");
    if (start < 0)
        return {};
    QXmlStreamReader xml(output.mid(start));
    while (!xml.atEnd() && !xml.hasError()) {
        if (xml.readNext() != QXmlStreamReader::StartElement || xml.name() != u"update")
            continue;
        const QXmlStreamAttributes attributes = xml.attributes();
        if (attributes.value(QLatin1String("id")) == id)
            return attributes.value(QLatin1String("version")).toString();
    }
    return {};
}

QString SelfUpdater::lastOutputLine(const QByteArray &output)
{
    static const QRegularExpression counter(QStringLiteral(R"(^\[\d+\]\s*)"));
    const QStringList lines = QString::fromUtf8(output).split(QLatin1Char('\n'));
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        const QString trimmed = line->trimmed();
        if (!trimmed.isEmpty())
            return QString(trimmed).remove(counter);
    }
    return {};
}

bool SelfUpdater::shouldAttempt(const QString &version, const QString &lastVersion,
                                const QDateTime &lastAttemptAt, const QDateTime &now)
{
    if (version.isEmpty())
        return false;
    if (version != lastVersion)
        return true;
    if (!lastAttemptAt.isValid())
        return true;
    return lastAttemptAt.secsTo(now) >= kSameVersionPauseSecs;
}

SelfUpdater::DeferReason SelfUpdater::deferReason(bool taskRunning, bool windowVisible,
                                                  QWindow::Visibility visibility, bool forced)
{
    if (taskRunning)
        return TaskRunning;
    if (!windowVisible || visibility == QWindow::Hidden || visibility == QWindow::Minimized)
        return None;
    return forced ? None : WindowShown;
}

void SelfUpdater::setPendingUpdate(const QString &version)
{
    m_pending = version;
    m_lastReason = None;
    if (version.isEmpty())
        m_forced = false;
    if (m_window)
        m_window->setProperty("pendingUpdate", version);
}

void SelfUpdater::tryApply()
{
    const DeferReason reason =
        deferReason(m_controller->isCoreBusy(), m_window && m_window->isVisible(),
                    m_window ? m_window->visibility() : QWindow::Hidden, m_forced);
    if (reason != None) {
        if (reason != m_lastReason) {
            m_lastReason = reason;
            if (reason == WindowShown)
                logItems(Info, "обновление до", m_pending,
                         "ждёт: окно агента на экране. Встанет, когда окно закроют или свернут, "
                         "или по кнопке «Обновить сейчас»");
            else
                logItems(Debug, "обновление до", m_pending, "ждёт конца задачи");
        }
        m_timer.start(m_options.retryMs);
        return;
    }
    if (launchUpdate()) {
        // The program is on its way out; a window event or a tick before the quit is handled
        // must not hand the update to the tool a second time.
        m_pending.clear();
        m_timer.stop();
        return;
    }
    setPendingUpdate(QString());
    m_timer.start(m_options.recheckMs);
}

void SelfUpdater::applyNow()
{
    if (m_pending.isEmpty())
        return;
    logItems(Info, "обновление до", m_pending, "— по кнопке «Обновить сейчас»");
    m_forced = true;
    tryApply();
}

bool SelfUpdater::launchUpdate()
{
    // Recorded before the launch: a version that installs without changing ours is then not
    // handed to the tool again for a day.
    {
        QSettings settings;
        settings.setValue(kUpdateLastVersionKey, m_pending);
        settings.setValue(kUpdateLastAttemptAtKey,
                          QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
        settings.sync();
    }
    const QString executable = m_options.executable.isEmpty()
                                   ? QCoreApplication::applicationFilePath()
                                   : m_options.executable;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("FERROW_TOOL"), QDir::toNativeSeparators(m_tool));
    environment.insert(QStringLiteral("FERROW_EXE"), QDir::toNativeSeparators(executable));
    environment.insert(QStringLiteral("FERROW_ARGS"),
                       m_controller->autostartArguments().join(QLatin1Char(' ')));
    environment.insert(QStringLiteral("FERROW_LOG"), QDir::toNativeSeparators(updateLogPath()));

    QProcess process;
    setUpdateCommand(process);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QDir::tempPath());
    hideConsole(process);
    if (!process.startDetached()) {
        logItems(Error, "не удалось запустить обновление до", m_pending, ":",
                 process.errorString());
        return false;
    }
    logItems(Info, "ставим обновление", m_pending, "— агент выходит и поднимется после установки");
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
    return true;
}

} // namespace Orv
