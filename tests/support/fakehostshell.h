#pragma once

#include "utmhost/processshell.h"

#include <QHash>
#include <QObject>

namespace Orv::Test {

// A scripted IHostShell. Every request is recorded in `calls`. A run that matches an answer gets
// it from the event loop; any other run, elevated run or background process waits until the test
// ends it. A request completed twice fails the test. killAll ends the waiting runs (not the
// elevated ones) as killed, from the event loop; stopBackground ends the background process without
// a word.
class FakeHostShell : public QObject, public IHostShell
{
public:
    struct Call
    {
        ShellCommand command; // an elevated run: the program and its parameters as one argument
        ShellCallback done;
        bool background = false;
        bool elevated = false;
        bool answered = false;
        bool completed = false;

        QString line() const { return command.arguments.join(u' '); }
    };

    static ShellResult exited(int exitCode, const QByteArray &out = {}, const QByteArray &err = {});

    // Later runs whose arguments, joined by blanks, are `key`, or whose script contains it, get
    // `result`; a later answer wins over an earlier one.
    void answer(const QString &key, const ShellResult &result);
    // The argument lines of every run and background start, in order.
    QStringList lines() const;
    // Indexes of the requests that wait for the test.
    QList<int> waiting() const;
    void complete(int index, const ShellResult &result);
    // The background process ends by itself.
    void endBackground(const ShellResult &result);

    void run(const ShellCommand &command, ShellCallback done) override;
    void startBackground(const ShellCommand &command, ShellCallback done) override;
    void stopBackground() override;
    bool isBackgroundRunning() const override { return m_background >= 0; }
    void runElevated(const QString &program, const QString &parameters,
                     ShellCallback done) override;
    QString resolveTool(const QString &name) const override { return tools.value(name); }
    void killAll() override;

    QList<Call> calls;
    // Where resolveTool finds a tool; by default only "wsl" is found.
    QHash<QString, QString> tools{{QStringLiteral("wsl"), QStringLiteral("C:/wsl/wsl.exe")}};

private:
    void completeLater(int index, const ShellResult &result);

    QList<QPair<QString, ShellResult>> m_answers;
    int m_background = -1;
};

} // namespace Orv::Test
