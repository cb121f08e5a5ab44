#include "platform/comcompat.h"
#include "platform/comstandin.h"
#include "platform/registry.h"
#include "tests/support/standinsigning.h"

#include <QTest>

#include <cstring>
#include <thread>

using namespace Orv;

namespace {

SYSTEMTIME systemTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    SYSTEMTIME t = {};
    t.wYear = WORD(year);
    t.wMonth = WORD(month);
    t.wDay = WORD(day);
    t.wHour = WORD(hour);
    t.wMinute = WORD(minute);
    t.wSecond = WORD(second);
    return t;
}

QString fieldsOf(const SYSTEMTIME &t)
{
    return QStringLiteral("%1-%2-%3 %4:%5:%6 dow %7")
        .arg(t.wYear)
        .arg(t.wMonth)
        .arg(t.wDay)
        .arg(t.wHour)
        .arg(t.wMinute)
        .arg(t.wSecond)
        .arg(t.wDayOfWeek);
}

IDispatch *created(REFCLSID clsid, HRESULT *result, DWORD context = CLSCTX_INPROC_SERVER,
                   REFIID riid = IID_IDispatch)
{
    void *object = nullptr;
    *result = CoCreateInstance(clsid, nullptr, context, riid, &object);
    return static_cast<IDispatch *>(object);
}

CLSID clsidOf(const char16_t *text)
{
    CLSID clsid = {};
    CLSIDFromString(text, &clsid);
    return clsid;
}

} // namespace

class TestComCompat : public QObject
{
    Q_OBJECT

private slots:
    void bstrIsLengthPrefixed()
    {
        const int before = ComStandIn::liveStringCount();
        const char16_t text[] = u"ab\0cd";
        BSTR s = SysAllocStringLen(text, 5);
        QVERIFY(s);
        QCOMPARE(SysStringLen(s), UINT(5));
        std::uint32_t bytes = 0;
        std::memcpy(&bytes, reinterpret_cast<char *>(s) - 4, 4);
        QCOMPARE(bytes, std::uint32_t(10));
        QCOMPARE(s[2], u'\0');
        QCOMPARE(s[3], u'c');
        QCOMPARE(s[5], u'\0');
        BSTR blank = SysAllocStringLen(nullptr, 3);
        QCOMPARE(SysStringLen(blank), UINT(3));
        QVERIFY(blank[0] == 0 && blank[2] == 0 && blank[3] == 0);
        BSTR plain = SysAllocString(u"Мой");
        QCOMPARE(SysStringLen(plain), UINT(3));
        QCOMPARE(ComStandIn::liveStringCount(), before + 3);
        SysFreeString(s);
        SysFreeString(blank);
        SysFreeString(plain);
        SysFreeString(nullptr);
        QCOMPARE(ComStandIn::liveStringCount(), before);
        QCOMPARE(SysStringLen(nullptr), UINT(0));
        QVERIFY(!SysAllocString(nullptr));
        QVERIFY(!SysAllocStringLen(nullptr, 0x7fffffffu));
    }

    void variantClear()
    {
        const int before = ComStandIn::liveStringCount();
        VARIANT v;
        VariantInit(&v);
        QCOMPARE(V_VT(&v), VARTYPE(VT_EMPTY));
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = SysAllocString(u"x");
        QCOMPARE(VariantClear(&v), S_OK);
        QCOMPARE(V_VT(&v), VARTYPE(VT_EMPTY));
        QCOMPARE(ComStandIn::liveStringCount(), before);
        V_VT(&v) = VT_BYREF | VT_BSTR; // owns nothing
        QCOMPARE(VariantClear(&v), S_OK);
        V_VT(&v) = VT_ARRAY | VT_I4;
        QCOMPARE(VariantClear(&v), DISP_E_BADVARTYPE);
        V_VT(&v) = 0x7f;
        QCOMPARE(VariantClear(&v), DISP_E_BADVARTYPE);
        QCOMPARE(VariantClear(nullptr), E_INVALIDARG);
    }

    void dates_data()
    {
        QTest::addColumn<int>("year");
        QTest::addColumn<int>("month");
        QTest::addColumn<int>("day");
        QTest::addColumn<int>("hour");
        QTest::addColumn<int>("minute");
        QTest::addColumn<int>("second");
        QTest::addColumn<double>("date");
        QTest::newRow("day zero") << 1899 << 12 << 30 << 0 << 0 << 0 << 0.0;
        QTest::newRow("noon of day zero") << 1899 << 12 << 30 << 12 << 0 << 0 << 0.5;
        QTest::newRow("1900-01-01") << 1900 << 1 << 1 << 0 << 0 << 0 << 2.0;
        QTest::newRow("before, time counts forward") << 1899 << 12 << 29 << 6 << 0 << 0 << -1.25;
        QTest::newRow("leap day") << 2024 << 2 << 29 << 18 << 0 << 0 << 45351.75;
        QTest::newRow("first") << 100 << 1 << 1 << 0 << 0 << 0 << -657434.0;
        QTest::newRow("last") << 9999 << 12 << 31 << 0 << 0 << 0 << 2958465.0;
    }

    void dates()
    {
        QFETCH(int, year);
        QFETCH(int, month);
        QFETCH(int, day);
        QFETCH(int, hour);
        QFETCH(int, minute);
        QFETCH(int, second);
        QFETCH(double, date);
        SYSTEMTIME fields = systemTime(year, month, day, hour, minute, second);
        fields.wMilliseconds = 999; // ignored
        double converted = 1234;
        QVERIFY(SystemTimeToVariantTime(&fields, &converted));
        QCOMPARE(converted, date);
        SYSTEMTIME back = {};
        QVERIFY(VariantTimeToSystemTime(date, &back));
        fields.wMilliseconds = 0;
        fields.wDayOfWeek = WORD(QDate(year, month, day).dayOfWeek() % 7);
        QCOMPARE(fieldsOf(back), fieldsOf(fields));
    }

    void datesOutOfRange()
    {
        double date = 0;
        for (SYSTEMTIME fields :
             {systemTime(99, 12, 31), systemTime(10000, 1, 1), systemTime(2024, 13, 1),
              systemTime(2023, 2, 29), systemTime(2024, 1, 0), systemTime(2024, 1, 1, 24),
              systemTime(2024, 1, 1, 0, 60), systemTime(2024, 1, 1, 0, 0, 60)})
            QVERIFY2(!SystemTimeToVariantTime(&fields, &date), qPrintable(fieldsOf(fields)));
        SYSTEMTIME fields = {};
        QVERIFY(!VariantTimeToSystemTime(-657435.0, &fields));
        QVERIFY(!VariantTimeToSystemTime(2958466.0, &fields));
        QVERIFY(!VariantTimeToSystemTime(qQNaN(), &fields));
    }

    void datesRoundToTheSecond()
    {
        SYSTEMTIME fields = {};
        QVERIFY(VariantTimeToSystemTime(2.0 + 0.6 / 86400, &fields));
        SYSTEMTIME expected = systemTime(1900, 1, 1, 0, 0, 1);
        expected.wDayOfWeek = 1; // a Monday
        QCOMPARE(fieldsOf(fields), fieldsOf(expected));
        QVERIFY(VariantTimeToSystemTime(2.0 - 0.4 / 86400, &fields));
        QCOMPARE(fields.wDay, WORD(1));
        QCOMPARE(fields.wMonth, WORD(1));
        QCOMPARE(fields.wHour, WORD(0));
    }

    // The count is per thread: each case runs on a thread of its own.
    void apartments()
    {
        QList<HRESULT> results;
        std::thread([&] {
            HRESULT refused = S_OK;
            created(IID_NULL, &refused);
            results << refused
                    << CoInitializeEx(reinterpret_cast<void *>(1), COINIT_APARTMENTTHREADED)
                    << CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)
                    << CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)
                    << CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            CoUninitialize();
            HRESULT inside = S_OK;
            created(IID_NULL, &inside);
            CoUninitialize();
            HRESULT outside = S_OK;
            created(IID_NULL, &outside);
            CoUninitialize(); // one too many does nothing
            results << inside << outside << CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        }).join();
        QCOMPARE(results, QList<HRESULT>({CO_E_NOTINITIALIZED, E_INVALIDARG, S_OK, S_FALSE,
                                          RPC_E_CHANGED_MODE, REGDB_E_CLASSNOTREG,
                                          CO_E_NOTINITIALIZED, S_OK}));
    }

    void classIdText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("upper") << "{7CBD72D9-76A3-4939-930C-52C4D6CA206B}" << true;
        QTest::newRow("lower") << "{7cbd72d9-76a3-4939-930c-52c4d6ca206b}" << true;
        QTest::newRow("no braces") << "7CBD72D9-76A3-4939-930C-52C4D6CA206B" << false;
        QTest::newRow("short") << "{7CBD72D9-76A3-4939-930C-52C4D6CA206}" << false;
        QTest::newRow("not hex") << "{7CBD72D9-76A3-4939-930C-52C4D6CA206G}" << false;
        QTest::newRow("dash moved") << "{7CBD72D976-A3-4939-930C-52C4D6CA206B}" << false;
        QTest::newRow("sign") << "{+CBD72D9-76A3-4939-930C-52C4D6CA206B}" << false;
        QTest::newRow("ProgID") << "CAdESCOM.Store" << false;
    }

    void classIdText()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        CLSID clsid = {};
        QCOMPARE(CLSIDFromString(reinterpret_cast<LPCOLESTR>(text.utf16()), &clsid),
                 valid ? S_OK : CO_E_CLASSSTRING);
        if (valid) {
            QCOMPARE(clsid.Data1, std::uint32_t(0x7CBD72D9));
            QCOMPARE(clsid.Data3, std::uint16_t(0x4939));
            QCOMPARE(clsid.Data4[0], std::uint8_t(0x93));
            QCOMPARE(clsid.Data4[7], std::uint8_t(0x6B));
        }
    }

    void registrationDecidesCreation()
    {
        Test::StandInSigning standIn;
        QVERIFY(standIn.isValid());
        const CLSID store = clsidOf(u"{7CBD72D9-76A3-4939-930C-52C4D6CA206B}");
        CLSID found = {};
        QCOMPARE(CLSIDFromProgID(u"cadescom.STORE", &found), S_OK);
        QVERIFY(found == store);
        QCOMPARE(CLSIDFromProgID(u"CAdESCOM.Nothing", &found), CO_E_CLASSSTRING);

        QList<HRESULT> results;
        int objects = -1;
        std::thread([&] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            HRESULT result = S_OK;
            IDispatch *object = created(store, &result);
            results << result;
            objects = ComStandIn::liveObjectCount();
            UINT count = 7;
            results << object->GetTypeInfoCount(&count);
            object->Release();
            created(store, &result, CLSCTX_LOCAL_SERVER);
            results << result;
            created(store, &result, CLSCTX_INPROC_SERVER, IID_NULL);
            results << result;
            void *aggregated = nullptr;
            results << CoCreateInstance(store, reinterpret_cast<IUnknown *>(object),
                                        CLSCTX_INPROC_SERVER, IID_IDispatch, &aggregated);
            ComStandIn::removePlugin();
            created(store, &result);
            results << result;
            // Registered under a class id the stand-in has no object for.
            ComStandIn::setRegistryText(
                QStringLiteral("HKEY_CLASSES_ROOT\\CLSID\\{00000000-0000-0000-0000-0000000000AB}"
                               "\\InprocServer32"),
                {}, QStringLiteral("other.dll"));
            created(clsidOf(u"{00000000-0000-0000-0000-0000000000AB}"), &result);
            results << result;
            CoUninitialize();
        }).join();
        QCOMPARE(objects, 1);
        QCOMPARE(ComStandIn::liveObjectCount(), 0);
        QCOMPARE(results,
                 QList<HRESULT>({S_OK, S_OK, REGDB_E_CLASSNOTREG, E_NOINTERFACE,
                                 CLASS_E_NOAGGREGATION, REGDB_E_CLASSNOTREG, REGDB_E_CLASSNOTREG}));
    }

    void registryFile()
    {
        Test::StandInSigning standIn;
        const QString key = QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Orv\\Type 08");
        QVERIFY(registryText(key, QStringLiteral("Name")).isEmpty());
        QVERIFY(ComStandIn::setRegistryText(key, QStringLiteral("Name"), QStringLiteral("а")));
        QVERIFY(ComStandIn::setRegistryText(key + QStringLiteral("0"), QStringLiteral("Name"),
                                            QStringLiteral("б")));
        QVERIFY(
            ComStandIn::setRegistryText(key + QStringLiteral("\\Sub"), {}, QStringLiteral("в")));
        QCOMPARE(registryText(key.toUpper(), QStringLiteral("NAME")), QStringLiteral("а"));
        QVERIFY(ComStandIn::setRegistryText(key.toLower(), QStringLiteral("name"),
                                            QStringLiteral("г")));
        QCOMPARE(registryText(key, QStringLiteral("Name")), QStringLiteral("г"));
        QCOMPARE(registryText(key + QStringLiteral("\\sub"), {}), QStringLiteral("в"));
        QVERIFY(ComStandIn::removeRegistryKey(key));
        QVERIFY(registryText(key, QStringLiteral("Name")).isEmpty());
        QVERIFY(registryText(key + QStringLiteral("\\Sub"), {}).isEmpty());
        QCOMPARE(registryText(key + QStringLiteral("0"), QStringLiteral("Name")),
                 QStringLiteral("б"));
        QVERIFY(ComStandIn::removeProvider());
        QVERIFY(
            registryText(QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\"
                                        "Defaults\\Provider Types\\Type 080"),
                         QStringLiteral("Name"))
                .isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestComCompat)
#include "tst_comcompat.moc"
