#include "signing/comobject.h"

#include "core/util.h"
#include "platform/comvalues.h"

#include <QDateTime>

#include <limits>
#include <utility>
#include <vector>

namespace Orv {

namespace {

[[maybe_unused]] const int kComObjectType = qRegisterMetaType<ComObject>("Orv::ComObject");

LPCOLESTR oleText(const QString &text)
{
    return reinterpret_cast<LPCOLESTR>(text.utf16());
}

// A 4-byte integer argument takes only values that fit: a cut-off number would reach the object
// as a different, valid-looking one.
bool toInt32(const QVariant &value, LONG *out)
{
    bool ok = false;
    const qlonglong number = value.toLongLong(&ok);
    if (!ok || number < std::numeric_limits<LONG>::min() ||
        number > std::numeric_limits<LONG>::max())
        return false;
    *out = LONG(number);
    return true;
}

} // namespace

QString hresultText(HRESULT result)
{
    return QStringLiteral("0x%1").arg(quint32(result), 8, 16, QChar(u'0'));
}

ComApartment::ComApartment()
    : m_entered(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) == S_OK)
{}

ComApartment::~ComApartment()
{
    if (m_entered)
        CoUninitialize();
}

ComObject::ComObject(IDispatch *dispatch)
    : m_dispatch(dispatch)
{
    if (m_dispatch)
        m_dispatch->AddRef();
}

ComObject::ComObject(const ComObject &other)
    : ComObject(other.m_dispatch)
{}

ComObject::ComObject(ComObject &&other) noexcept
    : m_dispatch(std::exchange(other.m_dispatch, nullptr))
{}

ComObject &ComObject::operator=(const ComObject &other)
{
    if (other.m_dispatch != m_dispatch) {
        if (other.m_dispatch)
            other.m_dispatch->AddRef();
        if (m_dispatch)
            m_dispatch->Release();
        m_dispatch = other.m_dispatch;
    }
    return *this;
}

ComObject &ComObject::operator=(ComObject &&other) noexcept
{
    if (&other != this) {
        if (m_dispatch)
            m_dispatch->Release();
        m_dispatch = std::exchange(other.m_dispatch, nullptr);
    }
    return *this;
}

ComObject::~ComObject()
{
    if (m_dispatch)
        m_dispatch->Release();
}

ComObject ComObject::create(const QString &progId, const QString &classId, QString *error)
{
    CLSID clsid;
    HRESULT result = CLSIDFromProgID(oleText(progId), &clsid);
    if (FAILED(result) && !classId.isEmpty())
        result = CLSIDFromString(oleText(classId), &clsid);
    if (FAILED(result)) {
        setError(error, QStringLiteral("Компонент %1 не зарегистрирован (%2)")
                            .arg(progId, hresultText(result)));
        return {};
    }
    IDispatch *dispatch = nullptr;
    result = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                              IID_IDispatch, reinterpret_cast<void **>(&dispatch));
    if (FAILED(result) || !dispatch) {
        if (dispatch)
            dispatch->Release();
        setError(error, QStringLiteral("Не удалось создать компонент %1 (%2)")
                            .arg(progId, hresultText(result)));
        return {};
    }
    ComObject object(dispatch);
    dispatch->Release();
    return object;
}

QVariant ComObject::invoke(const QString &name, const QVariantList &arguments, WORD flags,
                           QString *error) const
{
    if (!m_dispatch) {
        setError(error, QStringLiteral("Обращение к пустому COM-объекту (%1)").arg(name));
        return {};
    }
    QString member = name;
    LPOLESTR names[] = {reinterpret_cast<LPOLESTR>(member.data())};
    DISPID id = 0;
    HRESULT result = m_dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(result)) {
        setError(error, QStringLiteral("У компонента нет метода или свойства %1 (%2)")
                            .arg(name, hresultText(result)));
        return {};
    }

    // Automation takes the arguments last first.
    const qsizetype count = arguments.size();
    std::vector<VARIANT> values(static_cast<size_t>(count));
    for (qsizetype i = count - 1; i >= 0; --i) {
        VARIANT &slot = values[size_t(count - 1 - i)];
        if (!toVariant(arguments.at(i), &slot)) {
            for (qsizetype done = 0; done < count - 1 - i; ++done)
                VariantClear(&values[size_t(done)]);
            setError(error, QStringLiteral("Не удалось передать аргумент %1 метода %2")
                                .arg(QString::number(i), name));
            return {};
        }
    }
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS parameters = {values.data(), nullptr, UINT(count), 0};
    if (flags & DISPATCH_PROPERTYPUT) {
        parameters.rgdispidNamedArgs = &putId;
        parameters.cNamedArgs = 1;
    }

    VARIANT answer;
    VariantInit(&answer);
    EXCEPINFO exception = {};
    UINT argumentError = 0;
    result = m_dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &parameters, &answer,
                                &exception, &argumentError);
    for (VARIANT &value : values)
        VariantClear(&value);
    const QString description =
        exception.bstrDescription ? fromBstr(exception.bstrDescription).trimmed() : QString();
    // The object allocated all three texts for us; each must go, whichever we read.
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    if (FAILED(result)) {
        VariantClear(&answer);
        setError(error, description.isEmpty()
                            ? QStringLiteral("Ошибка вызова %1 (%2)").arg(name, hresultText(result))
                            : QStringLiteral("%1: %2").arg(name, description));
        return {};
    }
    const QVariant converted = fromVariant(answer);
    VariantClear(&answer);
    return converted;
}

QVariant ComObject::call(const QString &name, const QVariantList &arguments, QString *error) const
{
    return invoke(name, arguments, DISPATCH_METHOD | DISPATCH_PROPERTYGET, error);
}

QVariant ComObject::property(const QString &name, QString *error) const
{
    return invoke(name, {}, DISPATCH_PROPERTYGET, error);
}

bool ComObject::setProperty(const QString &name, const QVariant &value, QString *error) const
{
    QString failure;
    invoke(name, {value}, DISPATCH_PROPERTYPUT, &failure);
    if (!failure.isEmpty())
        setError(error, failure);
    return failure.isEmpty();
}

ComObject ComObject::object(const QString &name, const QVariantList &arguments,
                            QString *error) const
{
    const QVariant result = call(name, arguments, error);
    return result.metaType() == QMetaType::fromType<ComObject>() ? result.value<ComObject>()
                                                                 : ComObject();
}

bool ComObject::toVariant(const QVariant &value, VARIANT *out)
{
    VariantInit(out);
    switch (value.typeId()) {
    case QMetaType::Bool:
        V_VT(out) = VT_BOOL;
        V_BOOL(out) = value.toBool() ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong: {
        LONG number = 0;
        if (!toInt32(value, &number))
            return false;
        V_VT(out) = VT_I4;
        V_I4(out) = number;
        return true;
    }
    case QMetaType::QString: {
        BSTR string = toBstr(value.toString());
        if (!string)
            return false;
        V_VT(out) = VT_BSTR;
        V_BSTR(out) = string;
        return true;
    }
    case QMetaType::QDateTime: {
        DATE date = 0;
        if (!toVariantTime(value.toDateTime(), &date))
            return false;
        V_VT(out) = VT_DATE;
        V_DATE(out) = date;
        return true;
    }
    default:
        break;
    }
    if (!value.canConvert<ComObject>())
        return false;
    const ComObject object = value.value<ComObject>();
    if (object.isNull())
        return false;
    object.m_dispatch->AddRef();
    V_VT(out) = VT_DISPATCH;
    V_DISPATCH(out) = object.m_dispatch;
    return true;
}

QVariant ComObject::fromVariant(const VARIANT &value)
{
    switch (V_VT(&value)) {
    case VT_I2:
        return int(V_I2(&value));
    case VT_I4:
        return int(V_I4(&value));
    case VT_INT:
        return int(V_INT(&value));
    case VT_R8:
        return double(V_R8(&value));
    case VT_DATE: {
        QDateTime moment;
        if (!fromVariantTime(V_DATE(&value), &moment))
            return {};
        return moment;
    }
    case VT_BSTR:
        return fromBstr(V_BSTR(&value));
    case VT_DISPATCH:
        if (!V_DISPATCH(&value))
            return {};
        return QVariant::fromValue(ComObject(V_DISPATCH(&value)));
    case VT_BOOL:
        return V_BOOL(&value) != VARIANT_FALSE;
    default:
        return {};
    }
}

} // namespace Orv
