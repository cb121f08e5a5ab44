#include "tests/support/fakehostshell.h"

#include <QTest>
#include <QTimer>

namespace Orv::Test {

ShellResult FakeHostShell::exited(int exitCode, const QByteArray &out, const QByteArray &err)
{
    ShellResult result;
    result.started = true;
    result.exitCode = exitCode;
    result.out = out;
    result.err = err;
    return result;
}

void FakeHostShell::answer(const QString &key, const ShellResult &result)
{
    m_answers.prepend({key, result});
}

QStringList FakeHostShell::lines() const
{
    QStringList lines;
    for (const Call &call : calls)
        lines << call.line();
    return lines;
}

QList<int> FakeHostShell::waiting() const
{
    QList<int> indexes;
    for (int i = 0; i < calls.size(); ++i) {
        if (!calls[i].background && !calls[i].answered && !calls[i].completed)
            indexes << i;
    }
    return indexes;
}

void FakeHostShell::complete(int index, const ShellResult &result)
{
    if (calls.at(index).completed) {
        QTest::qFail(qPrintable("completed twice: " + calls[index].line()), __FILE__, __LINE__);
        return;
    }
    calls[index].completed = true;
    const ShellCallback done = calls[index].done;
    done(result);
}

void FakeHostShell::endBackground(const ShellResult &result)
{
    const int index = m_background;
    m_background = -1;
    complete(index, result);
}

void FakeHostShell::completeLater(int index, const ShellResult &result)
{
    calls[index].answered = true;
    QTimer::singleShot(0, this, [this, index, result] {
        if (!calls[index].completed)
            complete(index, result);
    });
}

void FakeHostShell::run(const ShellCommand &command, ShellCallback done)
{
    calls.append({command, std::move(done)});
    const QString line = calls.last().line();
    for (const auto &[key, result] : std::as_const(m_answers)) {
        if (line == key || command.stdinData.contains(key.toUtf8())) {
            completeLater(calls.size() - 1, result);
            return;
        }
    }
}

void FakeHostShell::startBackground(const ShellCommand &command, ShellCallback done)
{
    stopBackground();
    calls.append({command, std::move(done), true});
    m_background = calls.size() - 1;
}

void FakeHostShell::stopBackground()
{
    if (m_background >= 0)
        calls[m_background].completed = true;
    m_background = -1;
}

void FakeHostShell::runElevated(const QString &program, const QString &parameters,
                                ShellCallback done)
{
    ShellCommand command;
    command.program = program;
    command.arguments = QStringList{parameters};
    calls.append({command, std::move(done), false, true});
}

void FakeHostShell::killAll()
{
    for (int index : waiting()) {
        if (!calls[index].elevated)
            completeLater(index, exited(-1));
    }
}

} // namespace Orv::Test
