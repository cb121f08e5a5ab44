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
    QString description; // with the source and a help file, into the exception record
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
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *) override { return E_NOTIMPL; }
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
        exception->bstrSource = bstr(QStringLiteral("CAdESCOM.CadesSignedData"));
        exception->bstrDescription = bstr(description);
        exception->bstrHelpFile = bstr(QStringLiteral("cades.chm"));
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
const QString kLeapDayArrives = QStringLiteral("DATE %1").arg(kLeapDay, 0, 'f', 6);
// A byte-order mark and a zero character, which a text measured up to its first zero would lose.
const QString kText = QString(QChar(0xfeff)) + QStringLiteral("a") + QChar(0) + QStringLiteral("б");

} // namespace

class TestComObject : public QObject
{
    Q_OBJECT

    std::optional<ComApartment> m_apartment;

private slots:
    void initTestCase() { m_apartment.emplace(); }
    void cleanupTestCase() { m_apartment.reset(); }

    void hresultText()
    {
        QCOMPARE(Orv::hresultText(S_FALSE), QStringLiteral("0x00000001"));
        QCOMPARE(Orv::hresultText(E_OUTOFMEMORY), QStringLiteral("0x8007000e"));
    }

    // Apartments are per thread, so each case runs on a fresh one. The guard leaves only an
    // apartment it entered: a thread the framework put there first stays there.
    void apartmentLeavesOnlyWhatItEntered()
    {
        for (const bool framework : {false, true}) {
            bool entered = false;
            HRESULT again = S_OK;
            std::thread([&] {
                if (framework)
                    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
                entered = ComApartment().entered();
                again = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            }).join();
            QCOMPARE(entered, !framework);
            QCOMPARE(again, framework ? S_FALSE : S_OK);
        }
    }

    // The class id fallback and the creation failure show in the signer's texts.
    void create()
    {
        const Test::StandInSigning standIn; // a registry of the test's own
        QString error;
        const QString nothing = QStringLiteral("Orv.Nothing");
        QVERIFY(ComObject::create(nothing, QStringLiteral("{nonsense}"), &error).isNull());
        QCOMPARE(error, QStringLiteral("Компонент Orv.Nothing не зарегистрирован (0x800401f3)"));
        std::thread([&] {
            ComObject::create(QStringLiteral("CAdESCOM.Store"), {}, &error);
        }).join();
        QCOMPARE(error, QStringLiteral("Не удалось создать компонент CAdESCOM.Store (0x800401f0)"));
    }

    void argumentsArriveLastFirst()
    {
        RecordingDispatch target;
        const ComObject object(&target);
        QVERIFY(!object.call(QStringLiteral("Open"), {2, QStringLiteral("My"), 0}).isValid());
        QCOMPARE(target.flags, WORD(DISPATCH_METHOD | DISPATCH_PROPERTYGET));
        QCOMPARE(target.arguments, QStringList({"I4 0", "BSTR My", "I4 2"}));
        QVERIFY(target.named.isEmpty());

        object.property(QStringLiteral("Value"));
        QCOMPARE(target.flags, WORD(DISPATCH_PROPERTYGET));
        QVERIFY(target.arguments.isEmpty());
    }

    void propertyPutNamesItsArgument()
    {
        RecordingDispatch target;
        const ComObject object(&target);
        // A success leaves the caller's text alone, so one text can collect a run of puts.
        QString error = QStringLiteral("было");
        QVERIFY(object.setProperty(QStringLiteral("Flag"), true, &error));
        QCOMPARE(target.flags, WORD(DISPATCH_PROPERTYPUT));
        QCOMPARE(target.arguments, QStringList({"BOOL -1"}));
        QCOMPARE(target.named, QList<DISPID>({DISPID_PROPERTYPUT}));
        QCOMPARE(error, QStringLiteral("было"));

        target.failure = E_FAIL;
        QVERIFY(!object.setProperty(QStringLiteral("Flag"), false, &error));
        QCOMPARE(error, QStringLiteral("Ошибка вызова Flag (0x80004005)"));
        QCOMPARE(target.arguments, QStringList({"BOOL 0"}));
    }

    // Arguments convert last first: the failing one with the highest position is named, and
    // the ones already converted are freed.
    void refusedArgument()
    {
        RecordingDispatch target;
        const ComObject object(&target);
        const int strings = ComStandIn::liveStringCount();
        QString error;
        QVERIFY(!object
                     .call(QStringLiteral("M"),
                           {1.5, QStringLiteral("x"), QByteArray("b"), QStringLiteral("y")}, &error)
                     .isValid());
        QCOMPARE(error, QStringLiteral("Не удалось передать аргумент 2 метода M"));
        object.call(QStringLiteral("M"), {qlonglong(1) << 40, QStringLiteral("x")}, &error);
        QCOMPARE(error, QStringLiteral("Не удалось передать аргумент 0 метода M"));
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
        target.description = QStringLiteral("  \tНеверный PIN-код \n");
        QVERIFY(!object.call(QStringLiteral("SignCades"), {QStringLiteral("a")}, &error).isValid());
        QCOMPARE(error, QStringLiteral("SignCades: Неверный PIN-код"));
        // The argument and all three texts of the exception record are freed.
        QCOMPARE(ComStandIn::liveStringCount(), strings);

        target.description = QStringLiteral("   ");
        QVERIFY(!object.call(QStringLiteral("SignCades"), {}, &error).isValid());
        QCOMPARE(error, QStringLiteral("Ошибка вызова SignCades (0x80020009)"));
    }

    void resultsAndReferences()
    {
        RecordingDispatch target;
        RecordingDispatch inner;
        const ComObject object(&target);
        QVERIFY(!object.call(QStringLiteral("Close")).isValid());

        target.answer = [](VARIANT *result) {
            V_VT(result) = VT_BSTR;
            V_BSTR(result) = bstr(QStringLiteral("abc"));
        };
        QCOMPARE(object.property(QStringLiteral("Name")), QVariant(QStringLiteral("abc")));
        QVERIFY(object.object(QStringLiteral("Name")).isNull());

        target.answer = [&](VARIANT *result) {
            inner.AddRef();
            V_VT(result) = VT_DISPATCH;
            V_DISPATCH(result) = &inner;
        };
        {
            const ComObject child = object.object(QStringLiteral("Item"), {1});
            QCOMPARE(child.dispatch(), &inner);
            QCOMPARE(inner.references, ULONG(2));
            VARIANT converted;
            QVERIFY(ComObject::toVariant(QVariant::fromValue(child), &converted));
            QCOMPARE(V_VT(&converted), VARTYPE(VT_DISPATCH));
            QCOMPARE(inner.references, ULONG(3));
            VariantClear(&converted);
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
            const ComObject third(std::move(second));
            QVERIFY(second.isNull());
            QCOMPARE(a.references, ULONG(3));
            ComObject other(&b);
            second = other;
            first = std::move(other);
            QVERIFY(other.isNull());
            QCOMPARE(a.references, ULONG(2));
            QCOMPARE(b.references, ULONG(3));
        }
        QCOMPARE(a.references, ULONG(1));
        QCOMPARE(b.references, ULONG(1));
    }

    void toVariant_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("arrives"); // empty: refused
        const qlonglong int32Min = std::numeric_limits<LONG>::min();
        QTest::newRow("true") << QVariant(true) << "BOOL -1";
        QTest::newRow("int") << QVariant(-7) << "I4 -7";
        QTest::newRow("text, every character kept") << QVariant(kText) << "BSTR " + kText;
        // Integers reach the object only when they fit in 4 bytes: cut off, they would be
        // other valid-looking numbers.
        QTest::newRow("unsigned in range") << QVariant(uint(0x7fffffff)) << "I4 2147483647";
        QTest::newRow("64-bit in range") << QVariant(int32Min) << "I4 -2147483648";
        QTest::newRow("unsigned beyond") << QVariant(uint(0x80000000u)) << "";
        QTest::newRow("64-bit beyond") << QVariant(qlonglong(1) << 40) << "";
        QTest::newRow("64-bit below") << QVariant(int32Min - 1) << "";
        QTest::newRow("unsigned 64-bit") << QVariant(qulonglong(1)) << "";
        QTest::newRow("local date-time")
            << QVariant(fields(2024, 2, 29, 13, 45, 30)) << kLeapDayArrives;
        QTest::newRow("UTC date-time keeps its fields")
            << QVariant(fields(2024, 2, 29, 13, 45, 30, Qt::UTC)) << kLeapDayArrives;
        QTest::newRow("milliseconds dropped")
            << QVariant(fields(2024, 2, 29, 13, 45, 30).addMSecs(999)) << kLeapDayArrives;
        QTest::newRow("invalid date-time") << QVariant(QDateTime()) << "";
        QTest::newRow("double") << QVariant(1.0) << "";
        QTest::newRow("empty handle") << QVariant::fromValue(ComObject()) << "";
        QTest::newRow("invalid") << QVariant() << "";
    }

    void toVariant()
    {
        QFETCH(QVariant, value);
        QFETCH(QString, arrives);
        VARIANT converted;
        V_VT(&converted) = VT_I4;
        const bool ok = ComObject::toVariant(value, &converted);
        QCOMPARE(ok ? arrived(converted) : QString(), arrives);
        if (!ok)
            QCOMPARE(V_VT(&converted), VARTYPE(VT_EMPTY));
        if (V_VT(&converted) == VT_BSTR)
            QCOMPARE(ComObject::fromVariant(converted), value);
        VariantClear(&converted);
    }

    void fromVariant_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<double>("raw");
        QTest::addColumn<QVariant>("value");
        QTest::newRow("I2 sign-extended") << int(VT_I2) << -5.0 << QVariant(-5);
        QTest::newRow("I4") << int(VT_I4) << -70000.0 << QVariant(-70000);
        QTest::newRow("BOOL -1") << int(VT_BOOL) << -1.0 << QVariant(true);
        QTest::newRow("BOOL 1") << int(VT_BOOL) << 1.0 << QVariant(true);
        QTest::newRow("BOOL 0") << int(VT_BOOL) << 0.0 << QVariant(false);
        QTest::newRow("R8") << int(VT_R8) << 2.5 << QVariant(2.5);
        QTest::newRow("DATE") << int(VT_DATE) << kLeapDay
                              << QVariant(fields(2024, 2, 29, 13, 45, 30));
        QTest::newRow("DATE out of range") << int(VT_DATE) << 1e9 << QVariant();
        QTest::newRow("EMPTY") << int(VT_EMPTY) << 0.0 << QVariant();
        QTest::newRow("by reference") << int(VT_BYREF | VT_I4) << 0.0 << QVariant();
    }

    void fromVariant()
    {
        QFETCH(int, type);
        QFETCH(double, raw);
        QFETCH(QVariant, value);
        VARIANT v;
        V_VT(&v) = VARTYPE(type);
        if (type == VT_I2)
            V_I2(&v) = SHORT(raw);
        else if (type == VT_BOOL)
            V_BOOL(&v) = VARIANT_BOOL(raw);
        else if (type == VT_R8)
            V_R8(&v) = raw;
        else if (type == VT_DATE)
            V_DATE(&v) = raw;
        else
            V_I4(&v) = LONG(raw);
        const QVariant converted = ComObject::fromVariant(v);
        QCOMPARE(converted, value);
        QCOMPARE(converted.typeId(), value.typeId());
        if (type == VT_DATE && value.isValid())
            QCOMPARE(converted.toDateTime().timeSpec(), Qt::LocalTime);
    }
};

QTEST_GUILESS_MAIN(TestComObject)
#include "tst_comobject.moc"