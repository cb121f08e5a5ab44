#include "utmhost/tokenprobe.h"

#include <QHash>
#include <QTest>

using namespace Orv;
using namespace Orv::SmartCard;

namespace {

// What a scripted call answers: its code, its bytes, and the length it claims to have written
// (0: the length it did write).
struct Reply
{
    LONG code = SCARD_S_SUCCESS;
    QByteArray bytes;
    DWORD claimed = 0;
    DWORD queried = 0; // attributes only: the length query's answer (0: the size of `bytes`)
};

// Writes what fits of the reply and claims its length.
LONG fill(const Reply &reply, LPBYTE buffer, LPDWORD length)
{
    const qsizetype written = std::min(qsizetype(*length), reply.bytes.size());
    std::copy_n(reply.bytes.constData(), written, buffer);
    *length = reply.claimed ? reply.claimed : DWORD(written);
    return reply.code;
}

struct Reader
{
    QString name;
    LONG shared = SCARD_S_SUCCESS;
    LONG direct = SCARD_S_SUCCESS;
    DWORD protocol = SCARD_PROTOCOL_T1;
    QHash<DWORD, Reply> attributes;
    QHash<QByteArray, Reply> answers; // by command in hexadecimal; others answer 6D 00
};

// The PC/SC service as a test scripts it: readers, their attributes and answers, and the log of
// the calls the probe made. One at a time, reached by the plain functions of the set.
struct Script
{
    LONG establish = SCARD_S_SUCCESS;
    LONG list = SCARD_S_SUCCESS;
    QList<Reader> readers;
    QStringList calls;
    QList<DWORD> offered; // buffer lengths handed to the filling attribute reads

    Script() { current = this; }
    ~Script() { current = nullptr; }
    static inline Script *current = nullptr;

    Api api() const
    {
        Api api;
        api.establishContext = [](DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) -> LONG {
            *context = 42;
            current->calls << QStringLiteral("establish");
            return current->establish;
        };
        api.listReaders = [](SCARDCONTEXT, LPCWSTR, LPWSTR buffer, LPDWORD length) -> LONG {
            QString names;
            for (const Reader &reader : std::as_const(current->readers))
                names += reader.name + QChar(0);
            if (!names.isEmpty())
                names += QChar(0);
            if (!buffer) {
                *length = DWORD(names.size());
                return current->list;
            }
            std::copy_n(names.utf16(), std::min(qsizetype(*length), names.size()), buffer);
            return current->list;
        };
        api.connect = [](SCARDCONTEXT, LPCWSTR name, DWORD share, DWORD protocols,
                         LPSCARDHANDLE card, LPDWORD active) -> LONG {
            const QString reader = QString::fromUtf16(reinterpret_cast<const char16_t *>(name));
            current->calls
                << QStringLiteral("connect %1 %2 %3").arg(reader).arg(share).arg(protocols);
            for (int i = 0; i < current->readers.size(); ++i) {
                const Reader &r = current->readers.at(i);
                if (r.name != reader)
                    continue;
                *card = i + 1;
                *active = share == SCARD_SHARE_SHARED ? r.protocol : 0;
                return share == SCARD_SHARE_SHARED ? r.shared : r.direct;
            }
            return SCARD_E_UNKNOWN_READER;
        };
        api.getAttrib = [](SCARDHANDLE card, DWORD id, LPBYTE buffer, LPDWORD length) -> LONG {
            const Reply reply = current->readers.at(card - 1).attributes.value(
                id, Reply{LONG(SCARD_E_UNSUPPORTED_FEATURE), {}});
            if (!buffer) {
                *length = reply.queried ? reply.queried : DWORD(reply.bytes.size());
                return reply.code;
            }
            current->offered << *length;
            return fill(reply, buffer, length);
        };
        api.transmit = [](SCARDHANDLE card, LPCSCARD_IO_REQUEST pci, LPCBYTE command, DWORD size,
                          LPSCARD_IO_REQUEST, LPBYTE buffer, LPDWORD length) -> LONG {
            const QByteArray hex =
                QByteArray(reinterpret_cast<const char *>(command), size).toHex().toUpper();
            current->calls << QStringLiteral("transmit T%1 %2")
                                  .arg(pci->dwProtocol == SCARD_PROTOCOL_T1 ? 1 : 0)
                                  .arg(QLatin1String(hex));
            const Reply reply = current->readers.at(card - 1).answers.value(
                hex, Reply{SCARD_S_SUCCESS, QByteArray::fromHex("6d00")});
            return fill(reply, buffer, length);
        };
        api.disconnect = [](SCARDHANDLE card, DWORD disposition) -> LONG {
            current->calls << QStringLiteral("disconnect %1 %2")
                                  .arg(current->readers.at(card - 1).name)
                                  .arg(disposition);
            return SCARD_S_SUCCESS;
        };
        api.releaseContext = [](SCARDCONTEXT context) -> LONG {
            current->calls << QStringLiteral("release %1").arg(context);
            return SCARD_S_SUCCESS;
        };
        return api;
    }

    QList<ReaderInfo> scan(QString *error) const { return scanReaders(error, api()); }
};

QByteArray utf16(const QString &text)
{
    return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
}

// A reader of the kind Windows shows for a USB token, with all four attributes.
Reader tokenReader(const QString &name = QStringLiteral("Aktiv Rutoken ECP 0"))
{
    Reader reader;
    reader.name = name;
    reader.attributes[SCARD_ATTR_DEVICE_SYSTEM_NAME_W] = {
        0, utf16(QStringLiteral("\\\\?\\usb#vid_0a89&pid_0030#0123abcd#{50dd5230}") + QChar(0))};
    reader.attributes[SCARD_ATTR_DEVICE_FRIENDLY_NAME_W] = {
        0, utf16(QStringLiteral("Рутокен") + QChar(0) + QStringLiteral(" ЭЦП") + QChar(0))};
    reader.attributes[SCARD_ATTR_VENDOR_NAME] = {0, QByteArray("Aktiv\0\0", 7)};
    reader.attributes[SCARD_ATTR_VENDOR_IFD_SERIAL_NO] = {0, QByteArray::fromHex("0a0b00")};
    return reader;
}

} // namespace

Q_DECLARE_METATYPE(Reply)

class TestTokenProbe : public QObject
{
    Q_OBJECT

private slots:
    void failedScans_data()
    {
        QTest::addColumn<LONG>("establish");
        QTest::addColumn<LONG>("list");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("calls");
        const QStringList listed{"establish", "release 42"};
        QTest::newRow("no service") << LONG(SCARD_E_NO_SERVICE) << LONG(0)
                                    << "PC/SC недоступен: служба смарт-карт Windows не запущена"
                                    << QStringList{"establish"};
        QTest::newRow("service stopped")
            << LONG(SCARD_E_SERVICE_STOPPED) << LONG(0)
            << "PC/SC недоступен: служба смарт-карт Windows не запущена"
            << QStringList{"establish"};
        QTest::newRow("no reader") << LONG(0) << LONG(SCARD_E_NO_READERS_AVAILABLE)
                                   << "считыватели PC/SC: считывателей нет" << listed;
        QTest::newRow("empty list without failure")
            << LONG(0) << LONG(0) << "считыватели PC/SC: код 0x00000000" << listed;
    }
    void failedScans()
    {
        QFETCH(LONG, establish);
        QFETCH(LONG, list);
        Script script;
        script.establish = establish;
        script.list = list;
        QString error = QStringLiteral("untouched");
        QVERIFY(script.scan(&error).isEmpty());
        QTEST(error, "error");
        QTEST(script.calls, "calls");
        QVERIFY(scanReaders(nullptr, script.api()).isEmpty());
    }

    // A reader that holds no card the probe may use still reports itself through a direct
    // connection when it accepts one; the report ends with why no card answered.
    void readersWithoutUsableCard_data()
    {
        QTest::addColumn<LONG>("shared");
        QTest::addColumn<LONG>("direct");
        QTest::addColumn<QString>("connectError");
        QTest::newRow("no card") << LONG(SCARD_E_NO_SMARTCARD) << LONG(0) << "карты нет";
        QTest::newRow("card removed") << LONG(SCARD_W_REMOVED_CARD) << LONG(0) << "карты нет";
        QTest::newRow("held exclusively")
            << LONG(SCARD_E_SHARING_VIOLATION) << LONG(SCARD_E_SHARING_VIOLATION)
            << "носитель занят другой программой монопольно (УТМ?)";
        QTest::newRow("unknown code")
            << LONG(SCARD_E_NOT_TRANSACTED) << LONG(SCARD_E_READER_UNAVAILABLE) << "код 0x80100016";
    }
    void readersWithoutUsableCard()
    {
        QFETCH(LONG, shared);
        QFETCH(LONG, direct);
        QFETCH(QString, connectError);
        Script script;
        script.readers << tokenReader();
        script.readers[0].shared = shared;
        script.readers[0].direct = direct;
        QString error;
        const QList<ReaderInfo> readers = script.scan(&error);
        QVERIFY(error.isEmpty());
        QCOMPARE(readers.size(), 1);
        const ReaderInfo &info = readers.first();
        QCOMPARE(info.readerName, QStringLiteral("Aktiv Rutoken ECP 0"));
        QCOMPARE(info.connectError, connectError);
        QVERIFY(info.atr.isEmpty() && info.probes.isEmpty());
        QStringList calls{"establish", "connect Aktiv Rutoken ECP 0 2 3",
                          "connect Aktiv Rutoken ECP 0 3 0"};
        const QStringList report = formatTokenReport(info);
        if (direct == SCARD_S_SUCCESS) {
            calls << "disconnect Aktiv Rutoken ECP 0 0";
            QCOMPARE(info.devicePath, "\\\\?\\usb#vid_0a89&pid_0030#0123abcd#{50dd5230}");
            QCOMPARE(info.friendlyName, QStringLiteral("Рутокен ЭЦП"));
            QCOMPARE(info.vendorName, QStringLiteral("Aktiv"));
            QCOMPARE(info.readerSerial, QByteArray::fromHex("0a0b00"));
            QCOMPARE(report.mid(2, 4),
                     (QStringList{"  InstanceId: USB\\VID_0A89&PID_0030\\0123ABCD",
                                  "  имя устройства: Рутокен ЭЦП", "  производитель: Aktiv",
                                  "  серийный считывателя: 0a 0b 00"}));
        } else {
            QVERIFY(info.devicePath.isEmpty() && info.readerSerial.isEmpty());
            QCOMPARE(report.mid(1, 2),
                     (QStringList{"  путь устройства: —", "  серийный считывателя: —"}));
        }
        QCOMPARE(report.first(), info.readerName);
        QCOMPARE(report.last(), "  карта: " + connectError);
        QVERIFY(!report.join('\n').contains("ATR"));
        QCOMPARE(script.calls, calls << "release 42");
    }

    // Two cards in list order: the first speaks T=1 and answers, the second speaks T=0 and
    // fails to transmit; every command yields one answer either way.
    void cardsAnswerTheProbeCommands()
    {
        Script script;
        script.readers << tokenReader() << tokenReader(QStringLiteral("Считыватель 1"));
        Reader &first = script.readers[0];
        first.attributes[SCARD_ATTR_ATR_STRING] = {0, QByteArray::fromHex("3b8b01")};
        first.answers["00CA018100"] = {0, QByteArray::fromHex("123456789000")};
        first.answers["80CA9F7F00"] = {0, QByteArray(300, 'x'), 1000}; // claims past its buffer
        script.readers[1].protocol = SCARD_PROTOCOL_T0;
        script.readers[1].answers["00CA018100"] = {LONG(SCARD_W_REMOVED_CARD), {}};

        const QList<ReaderInfo> readers = script.scan(nullptr);
        QCOMPARE(readers.size(), 2);
        QCOMPARE(readers[1].readerName, QStringLiteral("Считыватель 1"));
        QCOMPARE(readers[0].atr, QByteArray::fromHex("3b8b01"));
        QVERIFY(readers[1].atr.isEmpty() && readers[0].connectError.isEmpty());
        QCOMPARE(readers[0].vendorName, QStringLiteral("Aktiv"));
        QStringList commands;
        for (const ProbeAnswer &answer : readers[0].probes)
            commands << answer.command;
        QCOMPARE(commands, (QStringList{"00CA018100", "80CA9F7F00", "00CA005A00"}));
        QCOMPARE(readers[0].probes[0].title,
                 QStringLiteral("Рутокен ЭЦП: серийный номер (GET DATA 01 81)"));
        QCOMPARE(readers[0].probes[1].response, QByteArray(258, 'x'));
        QCOMPARE(readers[0].probes[2].response, QByteArray::fromHex("6d00"));
        QCOMPARE(readers[1].probes[0].error, QStringLiteral("карты нет"));
        QVERIFY(readers[1].probes[0].response.isEmpty() && readers[1].probes[1].error.isEmpty());

        const QStringList report = formatTokenReport(readers[0]);
        QCOMPARE(report.mid(report.size() - 4, 2),
                 (QStringList{"  ATR: 3b 8b 01",
                              "  00CA018100 Рутокен ЭЦП: серийный номер (GET DATA 01 81) → "
                              "12 34 56 78 90 00 (десятичное 305419896)"}));
        QCOMPARE(formatTokenReport(readers[1]).at(7),
                 "  00CA018100 Рутокен ЭЦП: серийный номер (GET DATA 01 81) → карты нет");

        QStringList transmits = script.calls.filter("transmit");
        QCOMPARE(transmits.size(), 6);
        QCOMPARE(transmits.first(), "transmit T1 00CA018100");
        QCOMPARE(transmits.last(), "transmit T0 00CA005A00");
        QCOMPARE(script.calls.filter("disconnect").size(), 2);
        QCOMPARE(script.calls.last(), "release 42");
    }

    void decimalSuffix_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QString>("answer");
        QTest::newRow("status only") << QByteArray::fromHex("9000") << "90 00";
        QTest::newRow("one byte") << QByteArray::fromHex("ff9000") << "ff 90 00 (десятичное 255)";
        QTest::newRow("eight bytes") << QByteArray::fromHex("ffffffffffffffff9000")
                                     << "ff ff ff ff ff ff ff ff 90 00 (десятичное "
                                        "18446744073709551615)";
        QTest::newRow("nine bytes")
            << QByteArray::fromHex("0102030405060708099000") << "01 02 03 04 05 06 07 08 09 90 00";
        QTest::newRow("refused") << QByteArray::fromHex("01026a82") << "01 02 6a 82";
        QTest::newRow("more data waits") << QByteArray::fromHex("01026110") << "01 02 61 10";
        QTest::newRow("90 without 00") << QByteArray::fromHex("01029001") << "01 02 90 01";
        QTest::newRow("one byte only") << QByteArray::fromHex("90") << "90";
    }
    void decimalSuffix()
    {
        QFETCH(QByteArray, response);
        ReaderInfo info;
        info.probes << ProbeAnswer{"00CA005A00", "GET DATA 5A: номер приложения", {}, response};
        QTEST(formatTokenReport(info).last().section(" → ", 1), "answer");
    }

    // Whatever length a reader reports, an attribute never holds more than the buffer it was
    // read into, and a length no attribute has is not given the memory.
    void attributeStaysInItsBuffer_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<DWORD>("offered");
        QTest::newRow("as reported") << Reply{0, "ACS"} << QByteArray("ACS") << DWORD(3);
        QTest::newRow("claims more than its buffer")
            << Reply{0, "ACS", 4096} << QByteArray("ACS") << DWORD(3);
        QTest::newRow("wrote less than asked")
            << Reply{0, "ACS", 2, 8} << QByteArray("AC") << DWORD(8);
        QTest::newRow("absurd length")
            << Reply{0, "ACS", 0, 0xFFFFFFFF} << QByteArray("ACS") << DWORD(0x10000);
        QTest::newRow("no length") << Reply{0, {}} << QByteArray() << DWORD(0);
        QTest::newRow("unreadable")
            << Reply{LONG(SCARD_E_UNSUPPORTED_FEATURE), "ACS"} << QByteArray() << DWORD(0);
    }
    void attributeStaysInItsBuffer()
    {
        QFETCH(Reply, reply);
        Script script;
        script.readers << Reader{};
        script.readers[0].attributes[SCARD_ATTR_VENDOR_NAME] = reply;
        QTEST(readAttribute(1, SCARD_ATTR_VENDOR_NAME, script.api()), "value");
        QFETCH(DWORD, offered);
        QCOMPARE(script.offered.value(0), offered);
    }

    void textAttributes()
    {
        Script script;
        script.readers << Reader{};
        QHash<DWORD, Reply> &attributes = script.readers[0].attributes;
        attributes[1] = {0, QByteArray("A\0B\0\0", 5)};
        attributes[2] = {0, utf16(QStringLiteral("Ав") + QChar(0) + 'c') + QByteArray("\0", 1)};
        QCOMPARE(attributeString(1, 1, script.api()), QString::fromLatin1("A\0B", 3));
        QCOMPARE(attributeWideString(1, 2, script.api()), QStringLiteral("Авc"));
        QVERIFY(attributeWideString(1, 3, script.api()).isEmpty());
    }

    void instanceIdFromDevicePath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("instanceId");
        QTest::newRow("token") << "\\\\?\\usb#vid_0a89&pid_0030#0123abcd#{50dd5230-ba8a-11d1}"
                               << "USB\\VID_0A89&PID_0030\\0123ABCD";
        QTest::newRow("interface of a composite device")
            << "\\\\?\\USB#VID_24DC&PID_0101&MI_00#7&1c2&0&0000#{50dd5230}"
            << "";
        QTest::newRow("not a USB device") << "\\\\?\\SWD#ScDeviceEnum#1_Virtual#{deebe6ad}"
                                          << "";
        QTest::newRow("no closing mark") << "usb#vid_0a89&pid_0030#0123abcd"
                                         << "";
        QTest::newRow("not hexadecimal") << "usb#vid_0g89&pid_0030#0123abcd#"
                                         << "";
        QTest::newRow("empty") << ""
                               << "";
    }
    void instanceIdFromDevicePath()
    {
        QFETCH(QString, path);
        QTEST(SmartCard::instanceIdFromDevicePath(path), "instanceId");
        ReaderInfo info;
        info.devicePath = path;
        QCOMPARE(formatTokenReport(info).filter("InstanceId").size(),
                 SmartCard::instanceIdFromDevicePath(path).isEmpty() ? 0 : 1);
    }
};

QTEST_GUILESS_MAIN(TestTokenProbe)
#include "tst_tokenprobe.moc"
