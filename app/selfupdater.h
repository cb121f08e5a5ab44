#pragma once

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWindow>

class QProcess;

namespace Orv {

class AppController;

// Where the updater looks and how long it waits. The defaults are those of an installed agent;
// tests shorten the waits and point the paths elsewhere.
struct SelfUpdaterOptions
{
    QString toolDir;    // folder of the maintenance tool; empty: the executable's folder
    QString executable; // program restarted after the update; empty: this executable
    int firstCheckMs = 120000;
    int checkLimitMs = 300000;
    int recheckMs = 3600000;
    int retryMs = 60000;
};

// Keeps an installed agent up to date through the installer's maintenance tool beside the
// executable: asks it for updates now and then, waits until updating disturbs nobody (no task
// running, window off screen, or the user asked), then hands the update to a detached command
// interpreter that restarts the agent afterwards, and quits. A copy without the tool never checks.
// The root window learns of a waiting version through its property "pendingUpdate" and asks to
// update now through its signal "updateNowRequested()".
class SelfUpdater : public QObject
{
    Q_OBJECT

public:
    enum DeferReason { None = 0, TaskRunning = 1, WindowShown = 2 };

    SelfUpdater(AppController *controller, QObject *window, QObject *parent = nullptr,
                const SelfUpdaterOptions &options = {});

    // Arms the first check, or logs once that self-update is off.
    void start();

    // The version of the first "update" element whose "id" is `id` in the tool's answer, read
    // from "<updates" on; empty when there is none or it names no version.
    static QString parseUpdateVersion(const QByteArray &output, const QString &id);
    // The last non-empty line of the output, trimmed, without a leading "[n]" counter.
    static QString lastOutputLine(const QByteArray &output);
    // Whether `version` may be handed to the tool, given the last version attempted and when.
    static bool shouldAttempt(const QString &version, const QString &lastVersion,
                              const QDateTime &lastAttemptAt, const QDateTime &now);
    static DeferReason deferReason(bool taskRunning, bool windowVisible,
                                   QWindow::Visibility visibility, bool forced);

private slots:
    void applyNow();

private:
    void timerStep();
    void checkForUpdates();
    void checkFinished(const QByteArray &output, int code);
    void setPendingUpdate(const QString &version);
    void tryApply();
    bool launchUpdate();

    AppController *m_controller;
    QPointer<QWindow> m_window;
    SelfUpdaterOptions m_options;
    QString m_tool;
    QTimer m_timer;
    QProcess *m_check = nullptr;
    QString m_pending;
    bool m_forced = false;
    DeferReason m_lastReason = None;
};

} // namespace Orv
