#include "platform/comstandin.h"
#include "signing/comobject.h"
#include "tests/support/standinsigning.h"

#include <QTest>

#include <functional>
#include <limits>
#include <optional>
#include <thread>

using namespace Orv;

namespace {

BSTR bstr(const QString &text)
{
    return SysAllocStringLen(reinterpret_cast<const OLECHAR *>(text.utf16()), UINT(text.size()));
}

// How an argument arrived, type and value.
QString arrived(const VARIANT &v)
{
    switch (V_VT(&v)) {
    case VT_I4:
        return QStringLiteral("I4 %1").arg(V_I4(&v));
    case VT_BOOL:
        return QStringLiteral("BOOL %1").arg(V_BOOL(&v));
    case VT_BSTR:
        return QStringLiteral("BSTR ") +
               QString(reinterpret_cast<const QChar *>(V_BSTR(&v)), SysStringLen(V_BSTR(&v)));
    case VT_DATE:
        return QStringLiteral("DATE %1").arg(V_DATE(&v), 0, 'f', 6);
    case VT_DISPATCH:
        return QStringLiteral("DISPATCH");
    default:
        return QStringLiteral("VT %1").arg(V_VT(&v));
    }
}

// An automation object that records what reaches it and answers as told. Every name but
// "Missing" is a member. Lives on the stack: its references are only counted.
class RecordingDispatch : public IDispatch
{
public:
    ULONG references = 1;
    int invocations = 0;
    WORD flags = 0;
    QStringList arguments; // in array order: element 0 first
    QList<DISPID> named;
    HRESULT failure = S_OK;
    QString source, description, helpFile; // filled into the exception record on failure
    std::function<void(VARIANT *)> answer = [](VARIANT *) {
    };

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **object) override
    {
        *object = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *names, UINT, LCID,
                                            DISPID *ids) override
    {
        if (QString(reinterpret_cast<const QChar *>(names[0])) == QLatin1String("Missing"))
            return DISP_E_UNKNOWNNAME;
        ids[0] = 7;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD invokedFlags,
                                     DISPPARAMS *parameters, VARIANT *result, EXCEPINFO *exception,
                                     UINT *) override
    {
        ++invocations;
        flags = invokedFlags;
        arguments.clear();
        named.clear();
        for (UINT i = 0; i < parameters->cArgs; ++i)
            arguments << arrived(parameters->rgvarg[i]);
        for (UINT i = 0; i < parameters->cNamedArgs; ++i)
            named << parameters->rgdispidNamedArgs[i];
        if (SUCCEEDED(failure)) {
            answer(result);
            return S_OK;
        }
        if (!source.isNull())
            exception->bstrSource = bstr(source);
        if (!description.isNull())
            exception->bstrDescription = bstr(description);
        if (!helpFile.isNull())
            exception->bstrHelpFile = bstr(helpFile);
        return failure;
    }
};

QDateTime fields(int year, int month, int day, int hour, int minute, int second,
                 Qt::TimeSpec spec = Qt::LocalTime)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), spec);
}

// 29 February 2024 13:45:30 as an automation date.
constexpr double kLeapDay = 45351.0 + (13 * 3600 + 45 * 60 + 30) / 86400.0;

} // namespace

class TestComObject : public QObject
{
    Q_OBJECT

    std::optional<ComApartment> m_apartment;

private slots:
    void initTestCase() { m_apartment.emplace(); }
    void cleanupTestCase() { m_apartment.reset(); }

    void hresultText_data()
    {
        QTest::addColumn<qint64>("result");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(S_OK) << "0x00000000";
        QTest::newRow("false") << qint64(S_FALSE) << "0x00000001";
        QTest::newRow("exception") << qint64(DISP_E_EXCEPTION) << "0x80020009";
        QTest::newRow("class") << qint64(REGDB_E_CLASSNOTREG) << "0x80040154";
        QTest::newRow("memory, lower case") << qint64(E_OUTOFMEMORY) << "0x8007000e";
    }

    void hresultText()
    {
        QFETCH(qint64, result);
        QFETCH(QString, text);
        QCOMPARE(Orv::hresultText(HRESULT(result)), text);
    }

    void metatypeName()
    {
        QCOMPARE(QMetaType::fromName("Orv::ComObject"), QMetaType::fromType<ComObject>());
    }

    // Apartments are per thread, so each case runs on a fresh one and reports back.
    void apartmentCountsOnlyItsOwnEntry()
    {
        auto creation = [] {
            IDispatch *created = nullptr;
            return CoCreateInstance(IID_NULL, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                    reinterpret_cast<void **>(&created));
        };
        bool entered = false;
        HRESULT inside = S_OK;
        HRESULT after = S_OK;
        std::thread([&] {
            {
                const ComApartment own;
                entered = own.entered();
                inside = creation();
            }
            after = creation();
        }).join();
        QVERIFY(entered);
        QCOMPARE(inside, REGDB_E_CLASSNOTREG);
        QCOMPARE(after, CO_E_NOTINITIALIZED);

        // A thread the framework has put into the apartment first keeps it after the guard.
        std::thread([&] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            entered = ComApartment().entered();
            inside = creation();
            CoUninitialize();
        }).join();
        QVERIFY(!entered);
        QCOMPARE(inside, REGDB_E_CLASSNOTREG);

        std::thread([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            entered = ComApartment().entered();
            CoUninitialize();
        }).join();
        QVERIFY(!entered);
    }

    void create()
    {
        Test::StandInSigning standIn;
        QVERIFY(standIn.isValid());
        const QString storeId = QStringLiteral("{7CBD72D9-76A3-4939-930C-52C4D6CA206B}");
        const QString unknownId = QStringLiteral("{00000000-0000-0000-0000-0000000000AB}");
        QString error = QStringLiteral("было");
        QVERIFY(!ComObject::create(QStringLiteral("CAdESCOM.Store"), {}, &error).isNull());
        QVERIFY(!ComObject::create(QStringLiteral("Orv.Nothing"), storeId, &error).isNull());
        QCOMPARE(error, QStringLiteral("было"));

        QVERIFY(ComObject::create(QStringLiteral("Orv.Nothing"), {}, &error).isNull());
        QCOMPARE(error, QStringLiteral("Компонент Orv.Nothing не зарегистрирован (0x800401f3)"));
        QVERIFY(
            ComObject::create(QStringLiteral("Orv.Nothing"), QStringLiteral("{nonsense}"), &error)
                .isNull());
        QCOMPARE(error, QStringLiteral("Компонент Orv.Nothing не зарегистрирован (0x800401f3)"));
        QVERIFY(ComObject::create(QStringLiteral("Orv.Nothing"), unknownId, &error).isNull());
        QCOMPARE(error, QStringLiteral("Не удалось создать компонент Orv.Nothing (0x80040154)"));
        QVERIFY(ComObject::create(QStringLiteral("Orv.Nothing"), unknownId).isNull());

        bool outsideEmpty = false;
        std::thread([&] {
            outsideEmpty = ComObject::create(QStringLiteral("CAdESCOM.Store"), {}, &error).isNull();
        }).join();
        QVERIFY(outsideEmpty);
        QCOMPARE(error, QStringLiteral("Не удалось создать компонент CAdESCOM.Store (0x800401f0)"));
        QCOMPARE(ComStandIn::liveObjectCount(), 0);
    }

    void argumentsArriveLastFirst()
    {
        RecordingDispatch target;
        const ComObject object(&target);
        QString error;
        QVERIFY(
            !object.call(QStringLiteral("Open"), {2, QStringLiteral("My"), 0}, &error).isValid());
        QCOMPARE(target.flags, WORD(DISPATCH_METHOD | DISPATCH_PROPERTYGET));
        QCOMPARE(target.arguments, QStringList({"I4 0", "BSTR My", "I4 2"}));
        QVERIFY(target.named.isEmpty());
        QVERIFY(error.isEmpty());

        object.property(QStringLiteral("Value"));
        QCOMPARE(target.flags, WORD(DISPATCH_PROPERTYGET));
        QVERIFY(target.arguments.isEmpty());
    }

    void propertyPutNamesItsArgument()
    {
        RecordingDispatch target;
        const ComObject object(&target);
        QString error = QStringLiteral("было");
        QVERIFY(object.setProperty(QStringLiteral("Flag"), true, &error));
        QCOMPARE(target.flags, WORD(DISPATCH_PROPERTYPUT));
        QCOMPARE(target.arguments, QStringList({"BOOL -1"}));
        QCOMPARE(target.named, QList<DISPID>({DISPID_PROPERTYPUT}));
        QCOMPARE(error, QStringLiteral("было"));

        target.failure = E_FAIL;
        QVERIFY(!object.setProperty(QStringLiteral("Flag"), false));
        QVERIFY(!object.setProperty(QStringLiteral("Flag"), false, &error));
        QCOMPARE(error, QStringLiteral("Ошибка вызова Flag (0x80004005)"));
        QCOMPARE(target.arguments, QStringList({"BOOL 0"}));
    }

    void refusedArgument_data()
    {
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<QString>("error");
        QTest::newRow("double second") << QVariantList{QStringLiteral("text"), 1.5}
                                       << "Не удалось передать аргумент 1 метода M";
        QTest::newRow("highest position named")
            << QVariantList{1.5, QStringLiteral("x"), QByteArray("b"), 3}
            << "Не удалось передать аргумент 2 метода M";
        QTest::newRow("64-bit beyond 4 bytes")
            << QVariantList{1, qlonglong(1) << 40} << "Не удалось передать аргумент 1 метода M";
        QTest::newRow("64-bit below 4 bytes")
            << QVariantList{qlonglong(std::numeric_limits<LONG>::min()) - 1}
            << "Не удалось передать аргумент 0 метода M";
        QTest::newRow("unsigned beyond 4 bytes")
            << QVariantList{uint(0x80000000u)} << "Не удалось передать аргумент 0 метода M";
        QTest::newRow("unsigned 64-bit")
            << QVariantList{qulonglong(1)} << "Не удалось передать аргумент 0 метода M";
        QTest::newRow("empty handle") << QVariantList{QVariant::fromValue(ComObject())}
                                      << "Не удалось передать аргумент 0 метода M";
        QTest::newRow("invalid") << QVariantList{QVariant()}
                                 << "Не удалось передать аргумент 0 метода M";
    }

    void refusedArgument()
    {
        QFETCH(QVariantList, arguments);
        QFETCH(QString, error);
        RecordingDispatch target;
        const ComObject object(&target);
        const int strings = ComStandIn::liveStringCount();
        QString text;
        QVERIFY(!object.call(QStringLiteral("M"), arguments, &text).isValid());
        QCOMPARE(text, error);
        QCOMPARE(target.invocations, 0);
        QCOMPARE(ComStandIn::liveStringCount(), strings);
    }

    void failures()
    {
        RecordingDispatch target;
        const ComObject object(&target);
        const int strings = ComStandIn::liveStringCount();
        QString error;

        QVERIFY(!ComObject().call(QStringLiteral("Open"), {1}, &error).isValid());
        QCOMPARE(error, QStringLiteral("Обращение к пустому COM-объекту (Open)"));
        QVERIFY(!object.call(QStringLiteral("Missing"), {}, &error).isValid());
        QCOMPARE(error,
                 QStringLiteral("У компонента нет метода или свойства Missing (0x80020006)"));
        QCOMPARE(target.invocations, 0);

        target.failure = DISP_E_EXCEPTION;
        target.source = QStringLiteral("CAdESCOM.CadesSignedData");
        target.description = QStringLiteral("  \tНеверный PIN-код \n");
        target.helpFile = QStringLiteral("cades.chm");
        QVERIFY(!object.call(QStringLiteral("SignCades"), {QStringLiteral("a")}, &error).isValid());
        QCOMPARE(error, QStringLiteral("SignCades: Неверный PIN-код"));
        // The argument and all three texts of the exception record are freed.
        QCOMPARE(ComStandIn::liveStringCount(), strings);

        target.description = QStringLiteral("   ");
        QVERIFY(!object.call(QStringLiteral("SignCades"), {}, &error).isValid());
        QCOMPARE(error, QStringLiteral("Ошибка вызова SignCades (0x80020009)"));
        target.description.clear();
        target.failure = DISP_E_TYPEMISMATCH;
        target.answer = [](VARIANT *result) {
            V_VT(result) = VT_I4;
        };
        QVERIFY(!object.property(QStringLiteral("Count"), &error).isValid());
        QCOMPARE(error, QStringLiteral("Ошибка вызова Count (0x80020005)"));
        QCOMPARE(ComStandIn::liveStringCount(), strings);
    }

    void results()
    {
        RecordingDispatch target;
        RecordingDispatch inner;
        const ComObject object(&target);
        QString error = QStringLiteral("было");

        QVERIFY(!object.call(QStringLiteral("Close"), {}, &error).isValid());
        QCOMPARE(error, QStringLiteral("было"));

        target.answer = [](VARIANT *result) {
            V_VT(result) = VT_BSTR;
            V_BSTR(result) = bstr(QStringLiteral("abc"));
        };
        QCOMPARE(object.property(QStringLiteral("Name")), QVariant(QStringLiteral("abc")));
        QVERIFY(object.object(QStringLiteral("Name"), {}, &error).isNull());
        QCOMPARE(error, QStringLiteral("было"));

        target.answer = [&](VARIANT *result) {
            inner.AddRef();
            V_VT(result) = VT_DISPATCH;
            V_DISPATCH(result) = &inner;
        };
        {
            const ComObject child = object.object(QStringLiteral("Item"), {1});
            QCOMPARE(child.dispatch(), &inner);
            QCOMPARE(inner.references, ULONG(2));
        }
        QCOMPARE(inner.references, ULONG(1));
        QCOMPARE(target.references, ULONG(2));
    }

    void handleReferences()
    {
        RecordingDispatch a;
        RecordingDispatch b;
        {
            ComObject first(&a);
            ComObject second(first);
            QCOMPARE(a.references, ULONG(3));
            ComObject third(std::move(second));
            QVERIFY(second.isNull());
            QCOMPARE(a.references, ULONG(3));
            ComObject other(&b);
            third = other;
            QCOMPARE(a.references, ULONG(2));
            QCOMPARE(b.references, ULONG(3));
            third = third;
            QCOMPARE(b.references, ULONG(3));
            first = std::move(other);
            QCOMPARE(a.references, ULONG(1));
            QCOMPARE(b.references, ULONG(3));
            QVERIFY(other.isNull());
            QVariant carried = QVariant::fromValue(first);
            QCOMPARE(b.references, ULONG(4));
        }
        QCOMPARE(a.references, ULONG(1));
        QCOMPARE(b.references, ULONG(1));
    }

    void toVariant_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("arrives");
        QTest::newRow("true") << QVariant(true) << "BOOL -1";
        QTest::newRow("false") << QVariant(false) << "BOOL 0";
        QTest::newRow("int") << QVariant(-7) << "I4 -7";
        QTest::newRow("unsigned") << QVariant(uint(0x7fffffff)) << "I4 2147483647";
        QTest::newRow("64-bit in range") << QVariant(qlonglong(-2147483648LL)) << "I4 -2147483648";
        QTest::newRow("text") << QVariant(QStringLiteral("Мой")) << "BSTR Мой";
        QTest::newRow("local date-time") << QVariant(fields(2024, 2, 29, 13, 45, 30))
                                         << QStringLiteral("DATE %1").arg(kLeapDay, 0, 'f', 6);
        QTest::newRow("UTC date-time keeps its fields")
            << QVariant(fields(2024, 2, 29, 13, 45, 30, Qt::UTC))
            << QStringLiteral("DATE %1").arg(kLeapDay, 0, 'f', 6);
        QTest::newRow("milliseconds dropped")
            << QVariant(fields(2024, 2, 29, 13, 45, 30).addMSecs(999))
            << QStringLiteral("DATE %1").arg(kLeapDay, 0, 'f', 6);
        QTest::newRow("before 1899-12-30")
            << QVariant(fields(1899, 12, 29, 6, 0, 0)) << "DATE -1.250000";
        QTest::newRow("year 10000") << QVariant(fields(10000, 1, 1, 0, 0, 0)) << "";
        QTest::newRow("invalid date-time") << QVariant(QDateTime()) << "";
        QTest::newRow("double") << QVariant(1.0) << "";
        QTest::newRow("bytes") << QVariant(QByteArray("x")) << "";
        QTest::newRow("list") << QVariant(QVariantList{1}) << "";
        QTest::newRow("map") << QVariant(QVariantMap{{"a", 1}}) << "";
    }

    void toVariant()
    {
        QFETCH(QVariant, value);
        QFETCH(QString, arrives);
        VARIANT converted;
        V_VT(&converted) = VT_I4;
        const bool ok = ComObject::toVariant(value, &converted);
        QCOMPARE(ok, !arrives.isEmpty());
        QCOMPARE(ok ? arrived(converted) : QString(), arrives);
        if (!ok)
            QCOMPARE(V_VT(&converted), VARTYPE(VT_EMPTY));
        VariantClear(&converted);
    }

    void textKeepsEveryCharacter()
    {
        const QString text =
            QString(QChar(0xfeff)) + QStringLiteral("a") + QChar(0) + QStringLiteral("б");
        VARIANT converted;
        QVERIFY(ComObject::toVariant(text, &converted));
        QCOMPARE(SysStringLen(V_BSTR(&converted)), UINT(4));
        QCOMPARE(ComObject::fromVariant(converted), QVariant(text));
        VariantClear(&converted);
    }

    void objectsBothWays()
    {
        RecordingDispatch target;
        VARIANT converted;
        QVERIFY(ComObject::toVariant(QVariant::fromValue(ComObject(&target)), &converted));
        QCOMPARE(V_VT(&converted), VARTYPE(VT_DISPATCH));
        QCOMPARE(target.references, ULONG(2));
        const QVariant back = ComObject::fromVariant(converted);
        QCOMPARE(back.value<ComObject>().dispatch(), &target);
        QCOMPARE(target.references, ULONG(3));
        VariantClear(&converted);
        QCOMPARE(target.references, ULONG(2));
        V_DISPATCH(&converted) = nullptr;
        V_VT(&converted) = VT_DISPATCH;
        QVERIFY(!ComObject::fromVariant(converted).isValid());
    }

    void fromVariant_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<qint64>("raw");
        QTest::addColumn<QVariant>("value");
        QTest::newRow("I2 sign-extended") << int(VT_I2) << qint64(-5) << QVariant(-5);
        QTest::newRow("I4") << int(VT_I4) << qint64(-70000) << QVariant(-70000);
        QTest::newRow("INT") << int(VT_INT) << qint64(12) << QVariant(12);
        QTest::newRow("BOOL -1") << int(VT_BOOL) << qint64(-1) << QVariant(true);
        QTest::newRow("BOOL 1") << int(VT_BOOL) << qint64(1) << QVariant(true);
        QTest::newRow("BOOL 0") << int(VT_BOOL) << qint64(0) << QVariant(false);
        QTest::newRow("EMPTY") << int(VT_EMPTY) << qint64(0) << QVariant();
        QTest::newRow("NULL") << int(VT_NULL) << qint64(0) << QVariant();
        QTest::newRow("UI4") << int(VT_UI4) << qint64(5) << QVariant();
        QTest::newRow("I8") << int(VT_I8) << qint64(5) << QVariant();
        QTest::newRow("R4") << int(VT_R4) << qint64(0) << QVariant();
        QTest::newRow("by reference") << int(VT_BYREF | VT_I4) << qint64(0) << QVariant();
    }

    void fromVariant()
    {
        QFETCH(int, type);
        QFETCH(qint64, raw);
        QFETCH(QVariant, value);
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VARTYPE(type);
        if (type == VT_I2)
            V_I2(&v) = SHORT(raw);
        else if (type == VT_BOOL)
            V_BOOL(&v) = VARIANT_BOOL(raw);
        else if (type == VT_INT)
            V_INT(&v) = INT(raw);
        else
            V_I4(&v) = LONG(raw);
        const QVariant converted = ComObject::fromVariant(v);
        QCOMPARE(converted, value);
        QCOMPARE(converted.typeId(), value.typeId());
    }

    void datesAndDoublesFromVariant()
    {
        VARIANT v;
        V_VT(&v) = VT_R8;
        V_R8(&v) = 2.5;
        QCOMPARE(ComObject::fromVariant(v), QVariant(2.5));
        V_VT(&v) = VT_DATE;
        V_DATE(&v) = kLeapDay;
        const QDateTime date = ComObject::fromVariant(v).toDateTime();
        QCOMPARE(date, fields(2024, 2, 29, 13, 45, 30));
        QCOMPARE(date.timeSpec(), Qt::LocalTime);
        V_DATE(&v) = 1e9;
        QVERIFY(!ComObject::fromVariant(v).isValid());
    }
};

QTEST_GUILESS_MAIN(TestComObject)
#include "tst_comobject.moc"
