#include "utmhost/hostsetup.h"

#include "core/util.h"
#include "platform/systeminfo.h"
#include "utmhost/utmhost.h"

#include <QDir>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>

using namespace Orv;

namespace {

// Reads the single-quoted literal at `*pos` as PowerShell does: any of its five quote characters
// followed by another is one character of the text, a lone one ends the literal. Leaves `*pos`
// after it, or -1 when the literal is not closed.
QString readPsLiteral(const QString &text, int *pos)
{
    const auto isQuote = [&](int i) {
        return i >= 0 && i < text.size() &&
               (text[i] == u'\'' || (text[i] >= u'‘' && text[i] <= u'‛'));
    };
    QString value;
    for (int i = *pos + 1; isQuote(*pos) && i < text.size(); ++i) {
        if (isQuote(i) && !isQuote(++i))
            return *pos = i, value;
        value += text[i];
    }
    return *pos = -1, value;
}

// The literal right after `before` in `line`, followed by exactly `after`.
QString literalAfter(const QString &line, const QString &before, const QString &after)
{
    int pos = int(line.indexOf(before));
    pos = pos < 0 ? -1 : pos + int(before.size());
    const QString value = readPsLiteral(line, &pos);
    return pos >= 0 && line.mid(pos) == after ? value : QStringLiteral("<broken: %1>").arg(line);
}

QString scriptText()
{
    return QString::fromUtf8(HostSetup::loadScript());
}

} // namespace

class TestHostSetup : public QObject
{
    Q_OBJECT

private slots:
    void elevatedCommandRunsOnlyTheBuiltScript_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("plain") << QStringLiteral("/home/ivan/data/utmhost");
        // PowerShell ends a single-quoted literal at any of five quote characters.
        QTest::newRow("quotes") << QStringLiteral("/home/O'Brien/Д’Арт‘‚‛/x'; Remove-Item /; '");
        QTest::newRow("placeholders") << QStringLiteral("/home/%2 %5 $(calc)/utmhost");
    }

    void elevatedCommandRunsOnlyTheBuiltScript()
    {
        QFETCH(QString, folder);
        const QString script = folder + "/hostsetup.ps1", result = folder + "/setup.json";
        const QString prefix = QStringLiteral("-NoProfile -NonInteractive -ExecutionPolicy Bypass "
                                              "-WindowStyle Hidden -EncodedCommand ");
        const QString command = HostSetup::elevatedCommand(script, result);
        QVERIFY(command.startsWith(prefix));
        const QByteArray utf16 = QByteArray::fromBase64(command.mid(prefix.size()).toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
        QVERIFY(!utf16.isEmpty() && utf16.size() % 2 == 0);
        const QString wrapper = QString::fromUtf16(
            reinterpret_cast<const char16_t *>(utf16.constData()), utf16.size() / 2);
        QVERIFY(wrapper.endsWith(u'\n'));
        const QStringList lines = wrapper.chopped(1).split(u'\n');
        QCOMPARE(lines.size(), 7);
        QCOMPARE(literalAfter(lines[1], "$b=[IO.File]::ReadAllBytes(", ")"),
                 QDir::toNativeSeparators(script));
        QCOMPARE(literalAfter(lines[3], "if($h -ne ", "){exit 90}"), HostSetup::scriptSha256());
        const QString run = "& ([ScriptBlock]::Create($t)) -ResultPath ";
        QCOMPARE(literalAfter(lines[5].section(" -MsiUrl ", 0, 0), run, ""),
                 QDir::toNativeSeparators(result));
        QCOMPARE(literalAfter(lines[5].section(" -MsiUrl ", -1), "",
                              " -MsiSha256 " + psQuote(HostSetup::kUsbipdMsiSha256)),
                 HostSetup::kUsbipdMsiUrl);
        QCOMPARE(QStringList({lines[0], lines[2], lines[4], lines[6]}),
                 QStringList({"$ErrorActionPreference='Stop'",
                              "$h=-join([Security.Cryptography.SHA256]::Create().ComputeHash($b)|"
                              "ForEach-Object{$_.ToString('x2')})",
                              "$t=[Text.Encoding]::UTF8.GetString($b).TrimStart([char]0xFEFF)",
                              "exit $LASTEXITCODE"}));
    }

    // The wrapper compares the copy on disk with the hash made at build time: the built-in bytes
    // pass, a copy with one byte changed does not.
    void builtInScriptIsWhatWasHashed()
    {
        const QByteArray script = HostSetup::loadScript();
        QVERIFY(script.startsWith("\xEF\xBB\xBF"));
        QCOMPARE(sha256Hex(script), HostSetup::scriptSha256());
        QByteArray tampered = script;
        tampered[tampered.size() - 1] = ' ';
        QVERIFY(sha256Hex(tampered) != HostSetup::scriptSha256());
        QStringDecoder utf8(QStringDecoder::Utf8);
        QVERIFY(!QString(utf8(script)).isEmpty() && !utf8.hasError());
    }

    void scriptReportsEveryStep()
    {
        QStringList steps;
        static const QRegularExpression call(R"(Add-Step '(\w+)' \$(true|false) \(?'([^']*)')");
        for (const QRegularExpressionMatch &m : call.globalMatch(scriptText()))
            steps << m.captured(1) + u' ' + m.captured(2) + u' ' + m.captured(3);
        QCOMPARE(
            steps,
            QStringList({
                "wsl true Компоненты Windows для VM уже есть",
                "wsl true Проверка: компоненты Windows для VM поставили бы",
                "wsl true Компоненты Windows для VM установлены",
                "usbipd true Драйвер передачи носителей уже установлен",
                "usbipd true Проверка: драйвер передачи носителей поставили бы",
                "usbipd true Драйвер передачи носителей установлен",
                "autobind true Носители разрешены для VM: ",
                "autobind true Носителей не вставлено — разрешим, когда вставят",
                "firewall true Порт передачи носителей наружу не открыт",
                "firewall false Порт передачи носителей пока открыт для локальной сети — "
                "закроем, когда VM запустятся",
                "firewall true Проверка: порт передачи носителей закрыли бы для локальной сети",
                "firewall true Порт передачи носителей закрыт для локальной сети",
            }));
    }

    void scriptWritesTheResultKeysInOrder()
    {
        const QString text = scriptText();
        const int begin = int(text.indexOf("$result = [ordered]@{"));
        QStringList keys;
        static const QRegularExpression key(R"(\n\s+(\w+)\s+=)");
        for (const QRegularExpressionMatch &m :
             key.globalMatch(text.mid(begin, text.indexOf(u'}', begin) - begin)))
            keys << m.captured(1);
        QCOMPARE(keys, QStringList({"format", "at", "ok", "reboot", "error", "firewall", "autobind",
                                    "steps"}));
    }

    void scriptCarriesItsContract()
    {
        const QString text = scriptText();
        for (const char *literal :
             {"[Parameter(Mandatory = $true)][string]$ResultPath",
              "[Parameter(Mandatory = $true)][string]$MsiUrl",
              "[Parameter(Mandatory = $true)][string]$MsiSha256",
              "$dryRun = $env:TELLVANE_SETUP_DRYRUN -eq '1'", "format   = 1\n",
              "at       = [DateTime]::UtcNow.ToString('o')\n", "firewall = 'skipped'\n",
              "@('0A89', '24DC', '2BB1', '2CE4')", "$firewallRuleName = 'usbipd'",
              "@('Microsoft-Windows-Subsystem-Linux', 'VirtualMachinePlatform')",
              "$wslAdapterPattern = 'vEthernet (WSL*'", "$tempPrefix = 'tellvane-usbipd-'",
              "ConvertTo-Json -InputObject $result -Depth 5", "$exitCode = 1", "$exitCode = 3010",
              "exit $exitCode", "('Носители разрешены для VM: ' + ($ids -join ', '))"})
            QVERIFY2(text.contains(QString::fromUtf8(literal)), literal);
    }

    // The result and the transcript lie in the user's own folder: whatever stands there goes
    // first, a link as itself, and nothing is written through a linked folder or into a file that
    // appeared meanwhile.
    void scriptWritesThroughNoLink()
    {
        const QString text = scriptText();
        int at = 0;
        for (const char *step :
             {"HasFlag([IO.FileAttributes]::ReparsePoint)",
              "Test-ReparsePoint (Split-Path -Parent $Path)",
              "$null = Clear-OutputPath $ResultPath",
              "Start-Transcript -LiteralPath $transcriptPath -NoClobber",
              "if (-not (Clear-OutputPath $ResultPath))", "[IO.FileMode]::CreateNew"}) {
            at = int(text.indexOf(QString::fromUtf8(step), at));
            QVERIFY2(at >= 0, step);
        }
        QVERIFY(!text.contains("WriteAllText") && !text.contains("-Force |"));
    }

    void parseResult_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QDateTime>("at");
        QTest::addColumn<QString>("fields"); // ok, reboot, error, firewall, autobind and steps
        const QDateTime at = QDateTime::fromString("2026-12-05T19:31:48.123Z", Qt::ISODateWithMs);
        QTest::newRow("as the script writes it")
            << QByteArray(R"({"format":  1, "at":  "2026-12-05T19:31:48.1234567Z", "ok":  true,
                "reboot":  true, "error":  "", "firewall":  "narrowed",
                "autobind":  [ "0A89:0020", "24dc:0101" ],
                "steps":  [ { "name":  "wsl", "ok":  true, "text":  "установлены" },
                            { "name":  "firewall", "ok":  false, "text":  "открыт" } ]})")
            << true << at
            << "1 1  narrowed 0a89:0020,24dc:0101 wsl/1/установлены,firewall/0/открыт";
        QTest::newRow("one id and one step, written alone")
            << QByteArray(R"({"format": 1, "at": "2026-12-05T19:31:48Z", "error": "нет",
                "autobind": "2CE4:F00D", "steps": {"name": "wsl", "ok": true, "text": "есть"}})")
            << true << at.addMSecs(-123) << "0 0 нет  2ce4:f00d wsl/1/есть";
        QTest::newRow("values of other types")
            << QByteArray(R"({"format": 1.0, "at": "вчера", "ok": "true", "autobind": [1, "", "x"],
                "steps": [7]})")
            << true << QDateTime() << "0 0   x /0/";
        QTest::newRow("time with an offset")
            << QByteArray(R"({"format": 1, "at": "2026-12-05T22:31:48.1234567+03:00"})") << true
            << at << "0 0    ";
        for (const char *bytes : {"not json", "[{\"format\": 1}]", "{\"format\": 2, \"ok\": true}",
                                  "{\"format\": \"1\"}", "{\"ok\": true}", "{\"format\": 1.5}"})
            QTest::newRow(bytes) << QByteArray(bytes) << false << QDateTime() << "0 0    ";
    }

    void parseResult()
    {
        QFETCH(QByteArray, bytes);
        const HostSetupResult result = HostSetup::parseResult(bytes);
        QStringList steps;
        for (const HostSetupStep &step : result.steps)
            steps << QStringLiteral("%1/%2/%3").arg(step.name).arg(int(step.ok)).arg(step.text);
        QTEST(result.valid, "valid");
        QTEST(result.at, "at");
        QVERIFY(!result.at.isValid() || result.at.timeSpec() == Qt::UTC);
        QTEST(QStringLiteral("%1 %2 %3 %4 %5 %6")
                  .arg(int(result.ok))
                  .arg(int(result.reboot))
                  .arg(result.error, result.firewall, result.autobind.join(u','), steps.join(u',')),
              "fields");
    }

    void bootTimeIsUptimeAgo()
    {
        const QDateTime before = QDateTime::currentDateTimeUtc();
        const QDateTime boot = bootTimeUtc();
        const qint64 uptime = millisecondsSinceBoot();
        QCOMPARE(boot.timeSpec(), Qt::UTC);
        QVERIFY(qAbs(boot.msecsTo(before) - uptime) < 1000);
    }

    void rememberAutobind_data()
    {
        QTest::addColumn<QByteArray>("stored"); // null: no file
        QTest::addColumn<QStringList>("ids");
        QTest::addColumn<QStringList>("known");
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("first") << QByteArray() << QStringList{"0a89:0020", "24dc:0101"}
                               << QStringList{"0a89:0020", "24dc:0101"}
                               << QByteArray("0a89:0020\n24dc:0101");
        // Ids compare case by case; ids already known keep their place.
        QTest::newRow("union") << QByteArray("2BB1:0001\n\n0a89:0020\n")
                               << QStringList{"2bb1:0001", "0a89:0020"}
                               << QStringList{"2BB1:0001", "0a89:0020", "2bb1:0001"}
                               << QByteArray("2BB1:0001\n0a89:0020\n2bb1:0001");
        // Not rewritten when nothing is new: its trailing line feed stays.
        QTest::newRow("nothing new") << QByteArray("0a89:0020\n") << QStringList{"0a89:0020"}
                                     << QStringList{"0a89:0020"} << QByteArray("0a89:0020\n");
    }

    void rememberAutobind()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QStringList, ids);
        QTemporaryDir dir;
        QFile file(dir.filePath("autobind.txt"));
        QVERIFY(stored.isNull() || (file.open(QIODevice::WriteOnly) && file.write(stored) > 0));
        file.close();
        QTEST(HostSetup::rememberAutobind(file.fileName(), ids), "known");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QTEST(file.readAll(), "file");
        // A path that can be neither read nor written counts as an empty list.
        QCOMPARE(HostSetup::rememberAutobind(dir.path(), ids), ids);
    }

    void verdict_data()
    {
        // What the host sees: phase, driver, distribution and token ids ("!" after a device that
        // is no token); the run ("-" for none, else ok, reboot, firewall, ids); when Windows
        // started after it (seconds; 9: unknown).
        QTest::addColumn<QString>("pc");
        QTest::addColumn<QString>("verdict"); // needs admin, restart pending, reason
        QTest::newRow("restart first") << "nowsl - - / 1 1 skipped - / -1"
                                       << "0 1 " + HostSetup::kMsgRestartNeeded;
        QTest::newRow("restarted") << "nowsl - - / 1 1 skipped - / 0"
                                   << "1 0 Нужны компоненты Windows для VM";
        QTest::newRow("failed run") << "running usbipd - / 0 1 skipped - / -1"
                                    << "0 0 ";
        QTest::newRow("boot unknown") << "running usbipd - / 1 1 skipped - / 9"
                                      << "0 0 ";
        QTest::newRow("no driver") << "running - - / 1 0 narrowed - / -1"
                                   << "1 0 Нужен драйвер USB";
        QTest::newRow("new model") << "running usbipd - 0a89:0030 / 1 0 narrowed 0A89:0030 / 0"
                                   << "1 0 Вставлен носитель новой модели — его нужно разрешить "
                                      "для VM";
        QTest::newRow("allowed, no token")
            << "running usbipd distro 0a89:0030 2ce4:7479! :0001 / 1 0 narrowed 0a89:0030 / 0"
            << "0 0 ";
        QTest::newRow("port, no result") << "starting usbipd distro / - / 0"
                                         << "1 0 Порт передачи носителей открыт для всей "
                                            "локальной сети";
    }

    void verdict()
    {
        QFETCH(QString, pc);
        const QStringList seen = pc.section(" / ", 0, 0).split(u' ');
        const QStringList ran = pc.section(" / ", 1, 1).split(u' ');
        UtmHostStatus status;
        status.phase = seen[0] == "nowsl"     ? UtmHost::NoWsl
                       : seen[0] == "running" ? UtmHost::Running
                                              : UtmHost::Starting;
        status.usbipdFound = seen[1] == "usbipd";
        status.distroRunning = seen[2] == "distro";
        for (const QString &id : seen.mid(3)) {
            status.tokens << HostToken();
            status.tokens.last().vid = id.section(u':', 0, 0);
            status.tokens.last().pid = id.section(u':', 1).remove(u'!');
            status.tokens.last().isToken = !id.endsWith(u'!');
        }
        const HostSetupResult result{ran[0] != "-",
                                     QDateTime::currentDateTimeUtc(),
                                     ran[0] == "1",
                                     ran.value(1) == "1",
                                     {},
                                     ran.value(2),
                                     ran.value(3).split(u','),
                                     {}};
        const int bootSecs = pc.section(" / ", 2).toInt();
        const QDateTime boot = bootSecs == 9 ? QDateTime() : result.at.addSecs(bootSecs);
        const HostSetupVerdict verdict = HostSetup::setupVerdict(status, result, boot);
        QTEST(QStringLiteral("%1 %2 %3")
                  .arg(int(verdict.needsAdmin))
                  .arg(int(verdict.rebootPending))
                  .arg(verdict.reason),
              "verdict");
    }
};

QTEST_GUILESS_MAIN(TestHostSetup)
#include "tst_hostsetup.moc"
