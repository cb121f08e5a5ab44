// Part of the COM stand-in of non-Windows builds: late binding for the emulated automation
// objects as IDispatch documents it (names, DISPIDs, property puts with their named argument,
// automation exceptions), with fault injection and a call log for tests. Type libraries and
// by-reference arguments are not offered.

#include "platform/automationobject.h"

#include "platform/comstandin.h"
#include "platform/comvalues.h"

#include <QStringList>

#include <atomic>

namespace Orv::ComStandIn {

namespace {

struct Fault
{
    QString className;
    QString member;
    HRESULT code = S_OK;
    QString description;
};

// The stand-in serves the GUI thread only, like the objects it emulates.
QList<Fault> faults;
bool callLogEnabled = false;
QStringList calls;
std::atomic<int> liveObjects{0};

const Fault *findFault(const QString &className, const QString &member)
{
    for (const Fault &fault : faults) {
        if (fault.className.compare(className, Qt::CaseInsensitive) == 0 &&
            fault.member.compare(member, Qt::CaseInsensitive) == 0)
            return &fault;
    }
    return nullptr;
}

void addFault(const Fault &fault)
{
    faults.removeIf([&](const Fault &old) {
        return old.className.compare(fault.className, Qt::CaseInsensitive) == 0 &&
               old.member.compare(fault.member, Qt::CaseInsensitive) == 0;
    });
    faults.append(fault);
}

QString callLine(const QString &className, const QString &member, WORD flags,
                 const DISPPARAMS &parameters)
{
    const QString name = className + u'.' + member;
    const Arguments arguments(&parameters);
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))
        return name + QStringLiteral(" = ") +
               (arguments.count() > 0 ? describe(arguments.at(0)) : QString());
    if (flags == DISPATCH_PROPERTYGET)
        return name;
    QStringList values;
    for (int i = 0; i < arguments.count(); ++i)
        values << describe(arguments.at(i));
    return name + u'(' + values.join(QStringLiteral(", ")) + u')';
}

} // namespace

void setFault(const QString &className, const QString &member, HRESULT code,
              const QString &description)
{
    addFault({className, member, code, description});
}

void setEmptyResult(const QString &className, const QString &member)
{
    addFault({className, member, S_OK, {}});
}

void clearFaults()
{
    faults.clear();
}

void setCallLogEnabled(bool enabled)
{
    callLogEnabled = enabled;
}

QStringList callLog()
{
    return calls;
}

void clearCallLog()
{
    calls.clear();
}

void logCall(const QString &line)
{
    if (callLogEnabled)
        calls.append(line);
}

int liveObjectCount()
{
    return liveObjects;
}

Arguments::Arguments(const DISPPARAMS *parameters)
    : m_parameters(parameters)
{}

int Arguments::count() const
{
    return int(m_parameters->cArgs);
}

// Automation passes the last argument first.
const VARIANT &Arguments::at(int index) const
{
    return m_parameters->rgvarg[m_parameters->cArgs - 1 - UINT(index)];
}

bool Arguments::toInt(int index, int *value) const
{
    const VARIANT &v = at(index);
    switch (V_VT(&v)) {
    case VT_I2:
        *value = V_I2(&v);
        return true;
    case VT_I4:
        *value = V_I4(&v);
        return true;
    case VT_INT:
        *value = V_INT(&v);
        return true;
    default:
        return false;
    }
}

bool Arguments::toBool(int index, bool *value) const
{
    const VARIANT &v = at(index);
    int number = 0;
    if (V_VT(&v) == VT_BOOL)
        *value = V_BOOL(&v) != VARIANT_FALSE;
    else if (toInt(index, &number))
        *value = number != 0;
    else
        return false;
    return true;
}

bool Arguments::toText(int index, QString *value) const
{
    const VARIANT &v = at(index);
    if (V_VT(&v) != VT_BSTR)
        return false;
    *value = fromBstr(V_BSTR(&v));
    return true;
}

bool Arguments::toDate(int index, QDateTime *value) const
{
    *value = dateOf(at(index));
    return value->isValid();
}

AutomationObject *Arguments::toObject(int index) const
{
    const VARIANT &v = at(index);
    if (V_VT(&v) != VT_DISPATCH)
        return nullptr;
    return dynamic_cast<AutomationObject *>(V_DISPATCH(&v));
}

CallOutcome Arguments::mismatch(int index) const
{
    m_mismatch = index;
    return {DISP_E_TYPEMISMATCH, {}};
}

void setText(VARIANT *result, const QString &text)
{
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = toBstr(text);
}

void setInt(VARIANT *result, int value)
{
    V_VT(result) = VT_I4;
    V_I4(result) = value;
}

void setBool(VARIANT *result, bool value)
{
    V_VT(result) = VT_BOOL;
    V_BOOL(result) = value ? VARIANT_TRUE : VARIANT_FALSE;
}

void setDate(VARIANT *result, const QDateTime &moment)
{
    DATE date = 0;
    if (toVariantTime(moment.toLocalTime(), &date)) {
        V_VT(result) = VT_DATE;
        V_DATE(result) = date;
    }
}

void setObject(VARIANT *result, AutomationObject *object)
{
    V_VT(result) = VT_DISPATCH;
    V_DISPATCH(result) = object;
}

QDateTime dateOf(const VARIANT &value)
{
    QDateTime moment;
    if (V_VT(&value) != VT_DATE || !fromVariantTime(V_DATE(&value), &moment))
        return {};
    return moment;
}

QString describe(const VARIANT &value)
{
    switch (V_VT(&value)) {
    case VT_EMPTY:
        return QStringLiteral("empty");
    case VT_I2:
        return QString::number(V_I2(&value));
    case VT_I4:
        return QString::number(V_I4(&value));
    case VT_INT:
        return QString::number(V_INT(&value));
    case VT_R8:
        return QString::number(V_R8(&value));
    case VT_BOOL:
        if (V_BOOL(&value) == VARIANT_TRUE)
            return QStringLiteral("true");
        if (V_BOOL(&value) == VARIANT_FALSE)
            return QStringLiteral("false");
        return QStringLiteral("bool %1").arg(V_BOOL(&value));
    case VT_BSTR:
        return u'"' + fromBstr(V_BSTR(&value)) + u'"';
    case VT_DATE:
        return u'#' + dateOf(value).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + u'#';
    case VT_DISPATCH: {
        if (!V_DISPATCH(&value))
            return QStringLiteral("<null>");
        const auto *object = dynamic_cast<const AutomationObject *>(V_DISPATCH(&value));
        return u'<' + (object ? object->className() : QStringLiteral("object")) + u'>';
    }
    default:
        return QStringLiteral("vt %1").arg(V_VT(&value));
    }
}

AutomationObject::AutomationObject(const QString &className)
    : m_className(className)
{
    ++liveObjects;
}

AutomationObject::~AutomationObject()
{
    --liveObjects;
}

HRESULT AutomationObject::QueryInterface(REFIID riid, void **object)
{
    if (!object)
        return E_POINTER;
    if (riid != IID_IUnknown && riid != IID_IDispatch) {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    *object = static_cast<IDispatch *>(this);
    return S_OK;
}

ULONG AutomationObject::AddRef()
{
    return ++m_references;
}

ULONG AutomationObject::Release()
{
    const ULONG left = --m_references;
    if (left == 0)
        delete this;
    return left;
}

HRESULT AutomationObject::GetTypeInfoCount(UINT *count)
{
    if (!count)
        return E_INVALIDARG;
    *count = 0;
    return S_OK;
}

HRESULT AutomationObject::GetTypeInfo(UINT, LCID, ITypeInfo **info)
{
    if (info)
        *info = nullptr;
    return E_NOTIMPL;
}

HRESULT AutomationObject::GetIDsOfNames(REFIID riid, LPOLESTR *names, UINT count, LCID, DISPID *ids)
{
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    if (!names || !ids || count == 0)
        return E_INVALIDARG;
    // Only the member name is known; named parameters are not.
    for (UINT i = 0; i < count; ++i)
        ids[i] = DISPID_UNKNOWN;
    qsizetype length = 0;
    while (names[0][length])
        ++length;
    const QString name(reinterpret_cast<const QChar *>(names[0]), length);
    for (int i = 0; i < m_members.size(); ++i) {
        if (m_members[i].name.compare(name, Qt::CaseInsensitive) == 0)
            ids[0] = DISPID(i + 1);
    }
    return ids[0] == DISPID_UNKNOWN || count > 1 ? DISP_E_UNKNOWNNAME : S_OK;
}

HRESULT AutomationObject::Invoke(DISPID member, REFIID riid, LCID, WORD flags,
                                 DISPPARAMS *parameters, VARIANT *result, EXCEPINFO *exception,
                                 UINT *argumentError)
{
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    if (member < 1 || member > m_members.size())
        return DISP_E_MEMBERNOTFOUND;
    const Member &called = m_members[member - 1];
    const DISPPARAMS none = {nullptr, nullptr, 0, 0};
    const DISPPARAMS &given = parameters ? *parameters : none;
    if (callLogEnabled)
        logCall(callLine(m_className, called.name, flags, given));
    if (result)
        VariantInit(result);

    VARIANT value;
    VariantInit(&value);
    CallOutcome outcome;
    if (const Fault *fault = findFault(m_className, called.name)) {
        outcome = {fault->code, fault->description};
    } else {
        const Arguments arguments(&given);
        outcome = dispatch(called, flags, arguments, &value);
        if (arguments.m_mismatch >= 0 && argumentError)
            *argumentError = given.cArgs - 1 - UINT(arguments.m_mismatch);
    }
    if (FAILED(outcome.code)) {
        VariantClear(&value);
        if (outcome.description.isEmpty())
            return outcome.code;
        if (exception) {
            *exception = {};
            exception->bstrSource = toBstr(m_className);
            exception->bstrDescription = toBstr(outcome.description);
            exception->scode = outcome.code;
        }
        return DISP_E_EXCEPTION;
    }
    if (result)
        *result = value;
    else
        VariantClear(&value);
    return S_OK;
}

CallOutcome AutomationObject::dispatch(const Member &member, WORD flags, const Arguments &arguments,
                                       VARIANT *result)
{
    const DISPPARAMS &parameters = *arguments.m_parameters;
    const int count = arguments.count();
    if (flags & DISPATCH_PROPERTYPUT) {
        if (!member.put)
            return {DISP_E_MEMBERNOTFOUND, {}};
        if (parameters.cNamedArgs != 1 || parameters.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
            return {DISP_E_PARAMNOTFOUND, {}};
        if (count != 1)
            return {DISP_E_BADPARAMCOUNT, {}};
        return member.put(arguments);
    }
    if (parameters.cNamedArgs > 0)
        return {DISP_E_NONAMEDARGS, {}};
    if (member.method && (flags & DISPATCH_METHOD)) {
        if (count < member.minArguments || count > member.maxArguments)
            return {DISP_E_BADPARAMCOUNT, {}};
        return member.method(arguments, result);
    }
    if (member.get && (flags & DISPATCH_PROPERTYGET)) {
        if (count != 0)
            return {DISP_E_BADPARAMCOUNT, {}};
        return member.get(result);
    }
    return {DISP_E_MEMBERNOTFOUND, {}};
}

void AutomationObject::addProperty(const QString &name, Getter get, Setter put)
{
    m_members.append({name, std::move(get), std::move(put), {}, 0, 0});
}

void AutomationObject::addMethod(const QString &name, int minArguments, int maxArguments,
                                 Method method)
{
    m_members.append({name, {}, {}, std::move(method), minArguments, maxArguments});
}

} // namespace Orv::ComStandIn
