#include "platform/comcompat.h"
#include "platform/comstandin.h"
#include "platform/registry.h"
#include "tests/support/standinsigning.h"

#include <QTest>

#include <cstring>
#include <thread>

using namespace Orv;

Q_DECLARE_METATYPE(SYSTEMTIME)

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
    t.wDayOfWeek = WORD(QDate(year, month, day).dayOfWeek() % 7);
    return t;
}

QString fieldsOf(const SYSTEMTIME &t)
{
    return QDateTime(QDate(t.wYear, t.wMonth, t.wDay), QTime(t.wHour, t.wMinute, t.wSecond),
                     Qt::UTC)
               .toString(Qt::ISODate) +
           QStringLiteral(" dow %1 ms %2").arg(t.wDayOfWeek).arg(t.wMilliseconds);
}

HRESULT create(REFCLSID clsid, DWORD context = CLSCTX_INPROC_SERVER, REFIID riid = IID_IDispatch,
               IUnknown *outer = nullptr)
{
    IDispatch *object = nullptr;
    const HRESULT result =
        CoCreateInstance(clsid, outer, context, riid, reinterpret_cast<void **>(&object));
    if (object)
        object->Release();
    return result;
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
    void bstrAndVariant()
    {
        const int before = ComStandIn::liveStringCount();
        BSTR s = SysAllocStringLen(u"ab\0cd", 5);
        QCOMPARE(SysStringLen(s), UINT(5));
        std::uint32_t bytes = 0;
        std::memcpy(&bytes, reinterpret_cast<char *>(s) - 4, 4); // the count precedes the text
        QCOMPARE(bytes, std::uint32_t(10));
        QVERIFY(s[3] == u'c' && s[5] == u'\0');
        BSTR plain = SysAllocString(u"Мой");
        QCOMPARE(SysStringLen(plain), UINT(3));
        SysFreeString(plain);
        QVERIFY(!SysAllocStringLen(nullptr, 0x7fffffffu));

        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = s;
        QCOMPARE(VariantClear(&v), S_OK);
        QCOMPARE(V_VT(&v), VARTYPE(VT_EMPTY));
        QCOMPARE(ComStandIn::liveStringCount(), before);
        V_VT(&v) = VT_BYREF | VT_BSTR; // owns nothing
        QCOMPARE(VariantClear(&v), S_OK);
        V_VT(&v) = VT_ARRAY | VT_I4;
        QCOMPARE(VariantClear(&v), DISP_E_BADVARTYPE);
    }

    void dates_data()
    {
        QTest::addColumn<SYSTEMTIME>("fields");
        QTest::addColumn<double>("date");
        QTest::newRow("day zero") << systemTime(1899, 12, 30) << 0.0;
        QTest::newRow("noon of day zero") << systemTime(1899, 12, 30, 12) << 0.5;
        QTest::newRow("1900-01-01") << systemTime(1900, 1, 1) << 2.0;
        // Before day zero the fraction still counts forward from midnight.
        QTest::newRow("before") << systemTime(1899, 12, 29, 6) << -1.25;
        QTest::newRow("leap day") << systemTime(2024, 2, 29, 18) << 45351.75;
        QTest::newRow("first") << systemTime(100, 1, 1) << -657434.0;
        QTest::newRow("last") << systemTime(9999, 12, 31) << 2958465.0;
    }

    void dates()
    {
        QFETCH(SYSTEMTIME, fields);
        QFETCH(double, date);
        SYSTEMTIME given = fields;
        given.wMilliseconds = 999; // ignored
        double converted = 1234;
        QVERIFY(SystemTimeToVariantTime(&given, &converted));
        QCOMPARE(converted, date);
        SYSTEMTIME back = {};
        QVERIFY(VariantTimeToSystemTime(date, &back));
        QCOMPARE(fieldsOf(back), fieldsOf(fields));
    }

    void datesOutOfRangeAndRounded()
    {
        double date = 0;
        for (SYSTEMTIME fields : {systemTime(99, 12, 31), systemTime(10000, 1, 1),
                                  systemTime(2023, 2, 29), systemTime(2024, 1, 1, 24),
                                  systemTime(2024, 1, 1, 0, 60), systemTime(2024, 1, 1, 0, 0, 60)})
            QVERIFY(!SystemTimeToVariantTime(&fields, &date));
        SYSTEMTIME fields = {};
        for (double outside : {-657435.0, 2958466.0, qQNaN()})
            QVERIFY(!VariantTimeToSystemTime(outside, &fields));
        // To the nearest second, carrying into the next day.
        QVERIFY(VariantTimeToSystemTime(2.0 + 0.6 / 86400, &fields));
        QCOMPARE(fieldsOf(fields), fieldsOf(systemTime(1900, 1, 1, 0, 0, 1)));
        QVERIFY(VariantTimeToSystemTime(2.0 - 0.4 / 86400, &fields));
        QCOMPARE(fieldsOf(fields), fieldsOf(systemTime(1900, 1, 1)));
    }

    // The count is per thread: the case runs on a thread of its own.
    void apartments()
    {
        QList<HRESULT> results;
        std::thread([&] {
            results << create(IID_NULL)
                    << CoInitializeEx(reinterpret_cast<void *>(1), COINIT_APARTMENTTHREADED)
                    << CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)
                    << CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)
                    << CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            CoUninitialize();
            results << create(IID_NULL);
            CoUninitialize();
            results << create(IID_NULL);
            CoUninitialize(); // one too many does nothing
            results << CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        }).join();
        QCOMPARE(results, QList<HRESULT>({CO_E_NOTINITIALIZED, E_INVALIDARG, S_OK, S_FALSE,
                                          RPC_E_CHANGED_MODE, REGDB_E_CLASSNOTREG,
                                          CO_E_NOTINITIALIZED, S_OK}));
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
        QVERIFY(clsidOf(u"{7cbd72d9-76a3-4939-930c-52c4d6ca206b}") == store);
        for (const char16_t *text :
             {u"7CBD72D9-76A3-4939-930C-52C4D6CA206B", u"{7CBD72D9-76A3-4939-930C-52C4D6CA206G}",
              u"{7CBD72D976-A3-4939-930C-52C4D6CA206B}"})
            QCOMPARE(CLSIDFromString(text, &found), CO_E_CLASSSTRING);

        // Registered under a class id the stand-in has no object for.
        const QString other = QStringLiteral("{00000000-0000-0000-0000-0000000000AB}");
        ComStandIn::setRegistryText(
            QStringLiteral("HKEY_CLASSES_ROOT\\CLSID\\%1\\InprocServer32").arg(other), {},
            QStringLiteral("other.dll"));
        QList<HRESULT> results;
        std::thread([&] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            IDispatch *object = nullptr;
            results << CoCreateInstance(store, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                        reinterpret_cast<void **>(&object))
                    << create(store, CLSCTX_INPROC_SERVER, IID_IDispatch, object)
                    << create(store, CLSCTX_LOCAL_SERVER)
                    << create(store, CLSCTX_INPROC_SERVER, IID_NULL)
                    << create(clsidOf(reinterpret_cast<const char16_t *>(other.utf16())));
            object->Release();
            ComStandIn::removePlugin();
            results << create(store);
            CoUninitialize();
        }).join();
        QCOMPARE(ComStandIn::liveObjectCount(), 0);
        QCOMPARE(results,
                 QList<HRESULT>({S_OK, CLASS_E_NOAGGREGATION, REGDB_E_CLASSNOTREG, E_NOINTERFACE,
                                 REGDB_E_CLASSNOTREG, REGDB_E_CLASSNOTREG}));
    }

    // Names compare case-insensitively (the key names are shown so by registrationDecidesCreation);
    // removing a key takes its subkeys, not the keys whose names only start with its own.
    void registryFile()
    {
        Test::StandInSigning standIn;
        const QString key = QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Orv\\Type 08");
        QVERIFY(ComStandIn::setRegistryText(key, QStringLiteral("name"), QStringLiteral("а")));
        QVERIFY(ComStandIn::setRegistryText(key + u'0', {}, QStringLiteral("б")));
        QVERIFY(ComStandIn::setRegistryText(key + QStringLiteral("\\Sub"), {}, "в"));
        QCOMPARE(registryText(key, QStringLiteral("NAME")), QStringLiteral("а"));
        QVERIFY(ComStandIn::removeRegistryKey(key));
        QVERIFY(registryText(key, QStringLiteral("Name")).isEmpty());
        QVERIFY(registryText(key + QStringLiteral("\\Sub"), {}).isEmpty());
        QCOMPARE(registryText(key + u'0', {}), QStringLiteral("б"));
    }
};

QTEST_GUILESS_MAIN(TestComCompat)
#include "tst_comcompat.moc"