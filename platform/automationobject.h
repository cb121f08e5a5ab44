#pragma once

#include "platform/comcompat.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>

namespace Orv::ComStandIn {

// What one member call of an emulated object comes to. A failure with a description is raised
// as an automation exception (DISP_E_EXCEPTION carrying `code` and the description), as the
// real objects do; one without a description is answered by Invoke itself (a wrong argument).
struct CallOutcome
{
    HRESULT code = S_OK;
    QString description;

    static CallOutcome raise(HRESULT code, const QString &description)
    {
        return {code, description};
    }
};

class AutomationObject;

// The arguments of a call in the caller's order, read leniently where automation converts.
class Arguments
{
public:
    explicit Arguments(const DISPPARAMS *parameters);
    int count() const;
    const VARIANT &at(int index) const;
    bool toInt(int index, int *value) const;
    bool toBool(int index, bool *value) const;
    bool toText(int index, QString *value) const;
    bool toDate(int index, QDateTime *value) const;
    AutomationObject *toObject(int index) const;
    // The answer to an argument of the wrong type; Invoke reports which one.
    CallOutcome mismatch(int index) const;

private:
    const DISPPARAMS *m_parameters;
    mutable int m_mismatch = -1;
    friend class AutomationObject;
};

// Results of members.
void setText(VARIANT *result, const QString &text);
void setInt(VARIANT *result, int value);
void setBool(VARIANT *result, bool value);
void setDate(VARIANT *result, const QDateTime &local);     // local calendar fields, whole seconds
void setObject(VARIANT *result, AutomationObject *object); // takes the caller's reference
QDateTime dateOf(const VARIANT &value);                    // local time; invalid if not a date

// An IDispatch whose members are declared by name, with late binding as scripts use it: names
// are looked up case-insensitively, property writes need the named argument DISPID_PROPERTYPUT,
// and every call passes through the injected faults and the call log. Starts with one reference.
class AutomationObject : public IDispatch
{
public:
    explicit AutomationObject(const QString &className);
    virtual ~AutomationObject();
    AutomationObject(const AutomationObject &) = delete;
    AutomationObject &operator=(const AutomationObject &) = delete;

    QString className() const { return m_className; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo **info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR *names, UINT count, LCID locale,
                                            DISPID *ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID locale, WORD flags,
                                     DISPPARAMS *parameters, VARIANT *result, EXCEPINFO *exception,
                                     UINT *argumentError) override;

protected:
    using Getter = std::function<CallOutcome(VARIANT *result)>;
    using Setter = std::function<CallOutcome(const Arguments &value)>;
    using Method = std::function<CallOutcome(const Arguments &arguments, VARIANT *result)>;

    void addProperty(const QString &name, Getter get, Setter put = {});
    void addMethod(const QString &name, int minArguments, int maxArguments, Method method);

private:
    struct Member
    {
        QString name;
        Getter get;
        Setter put;
        Method method;
        int minArguments = 0;
        int maxArguments = 0;
    };

    CallOutcome dispatch(const Member &member, WORD flags, const Arguments &arguments,
                         VARIANT *result);

    QString m_className;
    QList<Member> m_members;
    ULONG m_references = 1;
};

// The call log's form of a value.
QString describe(const VARIANT &value);
void logCall(const QString &line);

} // namespace Orv::ComStandIn
