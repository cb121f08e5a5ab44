#include "utmhost/hostparsers.h"

#include <QTest>

using namespace Orv;

namespace {

QByteArray utf16(const QString &text, bool bom)
{
    QByteArray bytes = bom ? QByteArray("\xff\xfe") : QByteArray();
    for (QChar c : text) {
        bytes += char(c.unicode() & 0xff);
        bytes += char(c.unicode() >> 8);
    }
    return bytes;
}

// One line per record, with the fields a row can get wrong.
QString summary(const DistroStatus &status)
{
    QStringList lines = {QStringLiteral("%1 %2 %3 [%4]")
                             .arg(status.systemd)
                             .arg(status.memTotal)
                             .arg(status.memAvailable)
                             .arg(status.images.join(QLatin1Char(',')))};
    for (const UtmVm &vm : status.vms) {
        lines << QStringLiteral("%1/%2/%3/%4/%5/%6/%7/%8/%9")
                     .arg(vm.number)
                     .arg(vm.name, vm.javaOpts, vm.activeState, vm.subState)
                     .arg(vm.execMainStatus)
                     .arg(vm.restarts)
                     .arg(vm.memory)
                     .arg(vm.devicePresent);
    }
    return lines.join(QLatin1String(" | "));
}

QString tokenSummary(const HostToken &token)
{
    return QStringList{token.busId,
                       token.vid,
                       token.pid,
                       token.serial,
                       QString::number(token.bound),
                       QString::number(token.attached),
                       QString::number(token.isToken)}
        .join(QLatin1Char('/'));
}

} // namespace

class TestHostParsers : public QObject
{
    Q_OBJECT

private slots:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("UTF-16 with BOM") << utf16("utm-desktop\r\n", true) << "utm-desktop\n";
        const QString russian =
            "Подсистема Windows для Linux не имеет установленных дистрибутивов.";
        QTest::newRow("UTF-16 with BOM, mostly Cyrillic")
            << utf16(russian + "\r\n", true) << russian + "\n";
        QTest::newRow("UTF-16 Cyrillic")
            << utf16("Версия WSL: 2.3.26.0", false) << "Версия WSL: 2.3.26.0";
        QTest::newRow("UTF-16 odd byte dropped") << utf16("ab", false) + 'c' << "ab";
        QTest::newRow("A and NUL") << QByteArray("A\0", 2) << "A";
        QTest::newRow("AB") << QByteArray("AB") << "AB";
        QTest::newRow("UTF-8 CR LF")
            << QByteArray("\xef\xbb\xbfutm-desktop\r\nx\r\n") << "utm-desktop\nx\n";
        QTest::newRow("UTF-8 with stray NULs") << QByteArray("Склад\0 1\n", 14) << "Склад 1\n";
        QTest::newRow("empty") << QByteArray() << "";
    }
    void decode()
    {
        QFETCH(QByteArray, bytes);
        QTEST(decodeProcessOutput(bytes), "text");
    }

    void version_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("version");
        QTest::newRow("English") << "WSL version: 2.3.26.0\nKernel version: 5.15.167.4-1"
                                 << "2.3.26.0";
        QTest::newRow("Russian, three parts") << "\n  Версия WSL: 2.0.14\n"
                                              << "2.0.14";
        QTest::newRow("only on a later line") << "WSL\nWSL version: 2.3.26.0"
                                              << "";
        QTest::newRow("two parts") << "1.2"
                                   << "";
    }
    void version()
    {
        QFETCH(QString, text);
        QTEST(extractVersion(text), "version");
    }

    // What wsl.exe prints for a failed list, word for word; only an answer that it has no
    // distribution at all counts, whatever its version, language and letter case.
    void noDistributions_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("none");
        QTest::newRow("Russian, WSL 2.4")
            << "подсистема Windows для Linux не имеет установленных дистрибутивов.\r\n"
               "Чтобы устранить эту проблему, установите дистрибутив с инструкциями ниже:\r\n\r\n"
               "Используйте \"wsl.exe --list --online' для перечисления доступных "
               "дистрибутивов\r\nи \"wsl.exe --install <Distro>\" для установки.\r\n"
            << true;
        QTest::newRow("Russian, earlier")
            << "Нет установленных дистрибутивов подсистемы Windows для Linux.\r\n" << true;
        QTest::newRow("English")
            << "Windows Subsystem for Linux has no installed distributions.\r\n"
               "Use 'wsl.exe --list --online' to list available distributions\r\n"
               "and 'wsl.exe --install <Distro>' to install.\r\n"
            << true;
        QTest::newRow("English, upper case") << "WINDOWS SUBSYSTEM FOR LINUX HAS NO INSTALLED "
                                                "DISTRIBUTIONS."
                                             << true;
        QTest::newRow("code, in Russian")
            << "Код ошибки: Wsl/Service/CreateInstance/GetDefaultDistro/"
               "WSL_E_DEFAULT_DISTRO_NOT_FOUND"
            << true;
        QTest::newRow("code, lower case") << "error code: wsl/wsl_e_default_distro_not_found"
                                          << true;
        QTest::newRow("another distribution missing")
            << "There is no distribution with the supplied name.\r\n"
               "Error code: Wsl/Service/WSL_E_DISTRO_NOT_FOUND"
            << false;
        QTest::newRow("service failed") << "Код ошибки: Wsl/Service/0x8007019e" << false;
        QTest::newRow("nothing") << "" << false;
    }
    void noDistributions()
    {
        QFETCH(QString, text);
        QTEST(saysNoDistributions(text), "none");
    }

    void list()
    {
        QStringList rows;
        for (const WslDistro &row : parseWslList("  NAME      STATE    VERSION\n"
                                                 "  ИМЯ       СОСТОЯНИЕ       ВЕРСИЯ\n"
                                                 "*   utm-desktop    Running     2\n"
                                                 "  Ubuntu Stopped\n  old Installing x\n"
                                                 "  docker-desktop  Stopped  2\n"))
            rows << QStringLiteral("%1/%2/%3/%4")
                        .arg(row.name, row.state)
                        .arg(row.version)
                        .arg(row.isDefault);
        QCOMPARE(rows, QStringList({"utm-desktop/Running/2/1", "docker-desktop/Stopped/2/0"}));
    }

    void hostStatus_data()
    {
        QTest::addColumn<QString>("report");
        QTest::addColumn<QString>("expected");
        QTest::newRow("full") << "systemd\trunning\nmem\tMemTotal\t8000\nmem\tMemAvailable\t6000\n"
                                 "image\tlocalhost/utm-runtime:4\nimage\t \n"
                                 "vm\t3\nmeta\tNAME_B64=0KHQutC70LDQtA==\nmeta\tJAVA_OPTS=a\tb\n"
                                 "unit\tfailed\t failed \t3\t2\nrss\t100\ndevice\tpresent\nend\n"
                                 "vm\t4\nunit\tactive\trunning\tx\ty\nend\n"
                              << "running 8192000 6144000 [localhost/utm-runtime:4] | "
                                 "3/Склад/a\tb/failed/failed/3/2/102400/1 | "
                                 "4///active/running/0/0/0/0";
        QTest::newRow("nothing") << ""
                                 << " 0 0 []";
        QTest::newRow("lines outside a VM")
            << "rss\t5\nvm\t0\nmeta\tNAME_B64=eA==\nvm\tabc\nunit\tactive\ta\t0\t0\n"
               "vm\t1\nend\nunit\tactive\ta\t0\t0\nmem\tSwapTotal\t5\nVM\t2\nsystemd"
            << " 0 0 [] | 1/////0/0/0/0";
        QTest::newRow("numbers out of range") << "vm\t100\nmeta\tNAME_B64=eA==\nvm\t-"
                                                 "1\nvm\t99999999999\nvm\t 99 \nmeta\tNAME_B64=eQ=="
                                              << " 0 0 [] | 99/y////0/0/0/0";
        QTest::newRow("sizes that do not fit")
            << "mem\tMemTotal\t9007199254740992\nmem\tMemAvailable\t5\nmem\tMemAvailable\t0\n"
               "mem\tMemAvailable\t-4\n"
               "vm\t1\nrss\t99999999999999999\nvm\t2\nrss\t9007199254740991\n"
            << " 0 0 [] | 1/////0/0/0/0 | 2/////0/0/9223372036854774784/0";
        QTest::newRow("a VM twice, short lines")
            << "vm\t5\nunit\tactive\tx\t0\nvm\t5\ndevice\nrss\n"
            << " 0 0 [] | 5/////0/0/0/0 | 5/////0/0/0/0";
    }
    void hostStatus()
    {
        QFETCH(QString, report);
        QTEST(summary(parseHostStatus(report)), "expected");
    }

    void envLines()
    {
        UtmVm vm;
        for (const char *line :
             {"ENABLED=", "NETWORK=HOST", "=IMAGE=x", "IMAGE", "image=x", "KIND=test",
              "TOKEN_SERIAL=AB=1", "TEST_INN=7712345678", "NAME_B64=0J8="})
            parseVmConfig(vm, line);
        QVERIFY(vm.enabled && !vm.online && vm.test);
        QCOMPARE(vm.image, "");
        QCOMPARE(vm.tokenSerial, "AB=1");
        QCOMPARE(vm.testInn, "7712345678");
        QCOMPARE(vm.name, "П");
        for (const char *line : {"ENABLED=0", "NETWORK=host", "KIND=real", "NAME_B64="})
            parseVmConfig(vm, line);
        QVERIFY(!vm.enabled && vm.online && !vm.test);
        QCOMPARE(vm.name, "");
    }

    void usbipd()
    {
        const QByteArray json = R"({"Devices": [
            {"BusId": "2-1", "Description": "Generic USB hub", "InstanceId": "USB\\VID_0A89&PID_0030\\3B4E02A1",
             "PersistedGuid": "1d4b0dc3-5cd9-44be-9a5c-9ba4d4c3f8e7", "ClientIPAddress": "172.29.1.2"},
            {"BusId": null, "Description": "ESMART Token", "InstanceId": "USB\\VID_1234&PID_ABCD\\6&2a1b&0&2",
             "PersistedGuid": "", "ClientIPAddress": null},
            {"Description": "Smartcard reader"},
            {"BusId": "1-4", "Description": "Mouse", "InstanceId": "USB\\VID_046D&PID_C077\\MOUSE01"},
            "not an object"
        ]})";
        QString error = "kept";
        const QList<HostToken> tokens = parseUsbipdState(json, &error);
        QCOMPARE(error, "kept");
        QCOMPARE(tokens.size(), 5);
        QCOMPARE(tokenSummary(tokens.at(0)), "2-1/0a89/0030/3B4E02A1/1/1/1");
        QCOMPARE(tokenSummary(tokens.at(1)), "/1234/abcd//0/0/1");
        QCOMPARE(tokenSummary(tokens.at(2)), "////0/0/1");
        QCOMPARE(tokenSummary(tokens.at(3)), "1-4/046d/c077/MOUSE01/0/0/0");
        QCOMPARE(tokens.at(0).instanceId, "USB\\VID_0A89&PID_0030\\3B4E02A1");

        for (const QByteArray &bad : {QByteArray("[1, 2]"), QByteArray("{\"Devices\": ")}) {
            QVERIFY(parseUsbipdState(bad, &error).isEmpty());
            QVERIFY2(error.startsWith("usbipd state ответил не JSON: "), qPrintable(error));
        }
        QVERIFY(parseUsbipdState("{}", nullptr).isEmpty());
        QVERIFY(looksLikeToken("Рутокен ЭЦП 3.0"));
        QVERIFY(looksLikeToken("jacarta LT"));
        QVERIFY(!isKnownTokenVendor("0A89"));
    }

    void wslConfig_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("memory");
        QTest::addColumn<int>("processors");
        QTest::newRow("GB") << "[wsl2]\nmemory=4GB" << 4294967296LL << 0;
        QTest::newRow("fraction, blanks, CR LF")
            << "[wsl2]\r\nmemory = 1.5g # half\r\nprocessors = 6\r\n"
            << 1610612736LL << 6;
        QTest::newRow("bytes") << "[wsl2]\nmemory=512" << 512LL << 0;
        QTest::newRow("capitals") << "[WSL2]\nMemory=2TB" << 2199023255552LL << 0;
        QTest::newRow("GiB") << "[wsl2]\nmemory=4GiB" << 0LL << 0;
        QTest::newRow("outside the section")
            << "memory=4GB\n[experimental]\nmemory=1GB\nprocessors=2\n[wsl2]\nprocessors=x" << 0LL
            << 0;
        QTest::newRow("later line wins")
            << "[wsl2]\nmemory=8GB\nmemory=2MB\nprocessors=4\nprocessors=3" << 2097152LL << 3;
        QTest::newRow("too large is ignored")
            << "[wsl2]\nmemory=1GB\nmemory=8388608T\nmemory=99999999999999999999999T"
            << 1073741824LL << 0;
        QTest::newRow("largest that fits")
            << "[wsl2]\nmemory=8388607.5T" << 9223371487098961920LL << 0;
        QTest::newRow("negative processors") << "[wsl2]\nprocessors=-2" << 0LL << 0;
    }
    void wslConfig()
    {
        QFETCH(QString, text);
        const WslConfig config = parseWslConfig(text);
        QTEST(config.memoryBytes, "memory");
        QTEST(config.processors, "processors");
    }
};

QTEST_GUILESS_MAIN(TestHostParsers)
#include "tst_hostparsers.moc"
