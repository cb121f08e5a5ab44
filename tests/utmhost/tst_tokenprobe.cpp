#include "utmhost/tokenprobe.h"

#include <QHash>
#include <QTest>

using namespace Orv;
using namespace Orv::SmartCard;

namespace {

// A scripted answer: its code and bytes, the length it claims to have written (0: what it did
// write) and, for attributes, the length it names when asked (0: the size of its bytes).
struct Reply
{
    LONG code = SCARD_S_SUCCESS;
    QByteArray bytes;
    DWORD claimed = 0;
    DWORD queried = 0;
};

struct Reader
{
    QString name;
    LONG shared = SCARD_S_SUCCESS;
    LONG direct = SCARD_S_SUCCESS;
    DWORD protocol = SCARD_PROTOCOL_T1;
    QHash<DWORD, Reply> attributes;
    QHash<QByteArray, Reply> answers; // by command in hexadecimal; others answer 6D 00
};

LONG fill(const Reply &reply, LPBYTE buffer, LPDWORD length)
{
    const qsizetype written = std::min(qsizetype(*length), reply.bytes.size());
    std::copy_n(reply.bytes.constData(), written, buffer);
    *length = reply.claimed ? reply.claimed : DWORD(written);
    return reply.code;
}

// The PC/SC service as a test scripts it, with the log of the calls made to it. One at a time:
// the plain functions of the set reach it through `current`.
struct Script
{
    LONG establish = SCARD_S_SUCCESS;
    LONG list = SCARD_S_SUCCESS;
    QList<Reader> readers;
    QStringList calls;
    QList<DWORD> offered; // buffer lengths handed to attribute reads

    Script() { current = this; }
    ~Script() { current = nullptr; }
    static inline Script *current = nullptr;

    static const Reader &reader(SCARDHANDLE card) { return current->readers.at(card - 1); }

    Api api() const
    {
        Api api;
        api.establishContext = [](DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) -> LONG {
            *context = 42;
            current->calls << "establish";
            return current->establish;
        };
        api.listReaders = [](SCARDCONTEXT, LPCWSTR, LPWSTR buffer, LPDWORD length) -> LONG {
            QString names;
            for (const Reader &reader : std::as_const(current->readers))
                names += reader.name + QChar(0);
            names += names.isEmpty() ? QString() : QString(QChar(0));
            if (buffer)
                std::copy_n(names.utf16(), std::min(qsizetype(*length), names.size()), buffer);
            else
                *length = DWORD(names.size());
            return current->list;
        };
        api.connect = [](SCARDCONTEXT, LPCWSTR name, DWORD share, DWORD protocols,
                         LPSCARDHANDLE card, LPDWORD active) -> LONG {
            const auto reader = QString::fromUtf16(reinterpret_cast<const char16_t *>(name));
            current->calls
                << QStringLiteral("connect %1 %2 %3").arg(reader).arg(share).arg(protocols);
            for (*card = 1; *card <= current->readers.size(); ++*card) {
                const Reader &r = Script::reader(*card);
                *active = share == SCARD_SHARE_SHARED ? r.protocol : 0;
                if (r.name == reader)
                    return share == SCARD_SHARE_SHARED ? r.shared : r.direct;
            }
            return SCARD_E_UNKNOWN_READER;
        };
        api.getAttrib = [](SCARDHANDLE card, DWORD id, LPBYTE buffer, LPDWORD length) -> LONG {
            const Reply reply =
                reader(card).attributes.value(id, {LONG(SCARD_E_UNSUPPORTED_FEATURE), {}});
            if (buffer) {
                current->offered << *length;
                return fill(reply, buffer, length);
            }
            *length = reply.queried ? reply.queried : DWORD(reply.bytes.size());
            return reply.code;
        };
        api.transmit = [](SCARDHANDLE card, LPCSCARD_IO_REQUEST pci, LPCBYTE command, DWORD size,
                          LPSCARD_IO_REQUEST, LPBYTE buffer, LPDWORD length) -> LONG {
            const QByteArray hex =
                QByteArray(reinterpret_cast<const char *>(command), size).toHex();
            current->calls << QStringLiteral("transmit T%1 %2")
                                  .arg(pci->dwProtocol == SCARD_PROTOCOL_T1 ? 1 : 0)
                                  .arg(QLatin1String(hex.toUpper()));
            return fill(reader(card).answers.value(hex.toUpper(), {0, QByteArray::fromHex("6d00")}),
                        buffer, length);
        };
        api.disconnect = [](SCARDHANDLE card, DWORD disposition) -> LONG {
            current->calls
                << QStringLiteral("disconnect %1 %2").arg(reader(card).name).arg(disposition);
            return SCARD_S_SUCCESS;
        };
        api.releaseContext = [](SCARDCONTEXT context) -> LONG {
            current->calls << QStringLiteral("release %1").arg(context);
            return SCARD_S_SUCCESS;
        };
        return api;
    }
};

QByteArray utf16(const QString &text)
{
    return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
}

// A token's reader as Windows shows it, with all four attributes.
Reader tokenReader(const QString &name = QStringLiteral("Aktiv Rutoken ECP 0"))
{
    Reader reader;
    reader.name = name;
    reader.attributes[SCARD_ATTR_DEVICE_SYSTEM_NAME_W] = {
        0, utf16(QStringLiteral("\\\\?\\usb#vid_0a89&pid_0030#0123abcd#{50dd5230}") + QChar(0))};
    reader.attributes[SCARD_ATTR_DEVICE_FRIENDLY_NAME_W] = {
        0, utf16(QStringLiteral("Рутокен") + QChar(0) + QStringLiteral(" ЭЦП") + QChar(0))};
    reader.attributes[SCARD_ATTR_VENDOR_NAME] = {0, QByteArray("Akt\0iv\0\0", 8)};
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
        QTest::newRow("no service") << LONG(SCARD_E_NO_SERVICE) << LONG(0)
                                    << "PC/SC недоступен: служба смарт-карт Windows не запущена";
        QTest::newRow("service stopped")
            << LONG(SCARD_E_SERVICE_STOPPED) << LONG(0)
            << "PC/SC недоступен: служба смарт-карт Windows не запущена";
        QTest::newRow("no reader") << LONG(0) << LONG(SCARD_E_NO_READERS_AVAILABLE)
                                   << "считыватели PC/SC: считывателей нет";
        QTest::newRow("empty list") << LONG(0) << LONG(0) << "считыватели PC/SC: код 0x00000000";
    }
    void failedScans()
    {
        QFETCH(LONG, establish);
        Script script;
        script.establish = establish;
        QFETCH(LONG, list);
        script.list = list;
        QString error;
        QVERIFY(scanReaders(&error, script.api()).isEmpty());
        QTEST(error, "error");
        // Only an established context is released.
        QCOMPARE(script.calls.filter("release 42").size(), establish == 0 ? 1 : 0);
        QVERIFY(scanReaders(nullptr, script.api()).isEmpty());
    }

    // A reader whose card the probe cannot use still tells about itself through a direct
    // connection when it takes one; its report ends with why no card answered.
    void readersWithoutUsableCard_data()
    {
        QTest::addColumn<LONG>("shared");
        QTest::addColumn<LONG>("direct");
        QTest::addColumn<QString>("connectError");
        QTest::newRow("no card") << LONG(SCARD_E_NO_SMARTCARD) << LONG(0) << "карты нет";
        QTest::newRow("held exclusively")
            << LONG(SCARD_E_SHARING_VIOLATION) << LONG(SCARD_E_SHARING_VIOLATION)
            << "носитель занят другой программой монопольно (УТМ?)";
        QTest::newRow("unknown code")
            << LONG(SCARD_E_NOT_TRANSACTED) << LONG(SCARD_E_READER_UNAVAILABLE) << "код 0x80100016";
    }
    void readersWithoutUsableCard()
    {
        Script script;
        script.readers << tokenReader();
        QFETCH(LONG, shared);
        script.readers[0].shared = shared;
        QFETCH(LONG, direct);
        script.readers[0].direct = direct;
        QString error;
        const QList<ReaderInfo> readers = scanReaders(&error, script.api());
        QVERIFY(error.isEmpty());
        QCOMPARE(readers.size(), 1);
        const ReaderInfo &info = readers.first();
        QTEST(info.connectError, "connectError");
        QVERIFY(info.atr.isEmpty() && info.probes.isEmpty());
        QStringList calls{"establish", "connect Aktiv Rutoken ECP 0 2 3",
                          "connect Aktiv Rutoken ECP 0 3 0"};
        QStringList report{"Aktiv Rutoken ECP 0", "  путь устройства: —",
                           "  серийный считывателя: —", "  карта: " + info.connectError};
        if (direct == SCARD_S_SUCCESS) {
            calls << "disconnect Aktiv Rutoken ECP 0 0";
            report =
                QStringList{report[0],
                            "  путь устройства: \\\\?\\usb#vid_0a89&pid_0030#0123abcd#{50dd5230}",
                            "  InstanceId: USB\\VID_0A89&PID_0030\\0123ABCD",
                            "  имя устройства: Рутокен ЭЦП",
                            QStringLiteral("  производитель: Akt") + QChar(0) + "iv",
                            "  серийный считывателя: 0a 0b 00",
                            report[3]};
        }
        QCOMPARE(formatTokenReport(info), report);
        QCOMPARE(script.calls, calls << "release 42");
    }

    // Cards in list order: the first speaks T=1 and answers, the second speaks T=0 and fails to
    // transmit; every command yields one answer either way.
    void cardsAnswerTheProbeCommands()
    {
        Script script;
        script.readers << tokenReader() << tokenReader(QStringLiteral("Считыватель 1"));
        script.readers[0].attributes[SCARD_ATTR_ATR_STRING] = {0, QByteArray::fromHex("3b8b01")};
        script.readers[0].answers["00CA018100"] = {0, QByteArray::fromHex("123456789000")};
        script.readers[0].answers["80CA9F7F00"] = {0, QByteArray(300, 'x'), 1000};
        script.readers[1].protocol = SCARD_PROTOCOL_T0;
        script.readers[1].answers["00CA018100"] = {LONG(SCARD_W_REMOVED_CARD), {}};

        const QList<ReaderInfo> readers = scanReaders(nullptr, script.api());
        QCOMPARE(readers.size(), 2);
        QCOMPARE(readers[1].readerName, QStringLiteral("Считыватель 1"));
        QCOMPARE(readers[0].probes.size(), 3);
        QCOMPARE(readers[0].probes[1].response, QByteArray(258, 'x'));
        QCOMPARE(readers[1].probes[0].error, QStringLiteral("карты нет"));
        QVERIFY(readers[1].probes[0].response.isEmpty() && readers[1].probes[1].error.isEmpty());
        QStringList report = formatTokenReport(readers[0]).mid(6);
        report.removeAt(2);
        QCOMPARE(report, (QStringList{"  ATR: 3b 8b 01",
                                      "  00CA018100 Рутокен ЭЦП: серийный номер (GET DATA 01 81) → "
                                      "12 34 56 78 90 00 (десятичное 305419896)",
                                      "  00CA005A00 GET DATA 5A: номер приложения → 6d 00"}));
        QCOMPARE(
            formatTokenReport(readers[1]).mid(6, 3),
            (QStringList{
                "  ATR: ", "  00CA018100 Рутокен ЭЦП: серийный номер (GET DATA 01 81) → карты нет",
                "  80CA9F7F00 GlobalPlatform CPLC: серийный номер микросхемы → "
                "6d 00"}));
        const QStringList transmits = script.calls.filter("transmit");
        QCOMPARE(transmits.mid(2, 2),
                 (QStringList{"transmit T1 00CA005A00", "transmit T0 00CA018100"}));
        QCOMPARE(script.calls.filter("disconnect").size(), 2);
        QCOMPARE(script.calls.last(), "release 42");
    }

    void decimalSuffix_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QString>("answer");
        QTest::newRow("status only") << QByteArray::fromHex("9000") << "90 00";
        QTest::newRow("eight bytes") << QByteArray::fromHex("ffffffffffffffff9000")
                                     << "ff ff ff ff ff ff ff ff 90 00 (десятичное "
                                        "18446744073709551615)";
        QTest::newRow("nine bytes")
            << QByteArray::fromHex("0102030405060708099000") << "01 02 03 04 05 06 07 08 09 90 00";
        QTest::newRow("refused") << QByteArray::fromHex("01026a82") << "01 02 6a 82";
        QTest::newRow("90 without 00") << QByteArray::fromHex("01029001") << "01 02 90 01";
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
        script.readers[0].attributes[7] = reply;
        QTEST(readAttribute(1, 7, script.api()), "value");
        QTEST(script.offered.value(0), "offered");
        QFETCH(QByteArray, value);
        QCOMPARE(attributeWideString(1, 7, script.api()).size(), value.size() / 2);
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
        QTest::newRow("not USB") << "\\\\?\\SWD#ScDeviceEnum#1_Virtual#{deebe6ad}"
                                 << "";
        QTest::newRow("not closed") << "usb#vid_0a89&pid_0030#0123abcd"
                                    << "";
    }
    void instanceIdFromDevicePath()
    {
        QFETCH(QString, path);
        QTEST(SmartCard::instanceIdFromDevicePath(path), "instanceId");
    }
};

QTEST_GUILESS_MAIN(TestTokenProbe)
#include "tst_tokenprobe.moc"
