#pragma once

// The COM automation interface the signer is written against: on Windows the system's own
// headers; elsewhere our declarations of the same subset (types, constants and calls as the
// Windows API documents them), implemented by the stand-in runtime of this folder.

#include <QtGlobal>

#if defined(Q_OS_WIN)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#else

#include <cstdint>

#define STDMETHODCALLTYPE

using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using SHORT = std::int16_t;
using INT = int;
using UINT = unsigned int;
using BOOL = int;
using DOUBLE = double;
using DATE = double;
using LCID = DWORD;
using DISPID = LONG;
using VARTYPE = unsigned short;
using VARIANT_BOOL = short;
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR *;
using LPCOLESTR = const OLECHAR *;
using BSTR = OLECHAR *;
using LPVOID = void *;

namespace OrvComDetail {
constexpr HRESULT hresultOf(std::uint32_t value)
{
    return static_cast<HRESULT>(value);
}
} // namespace OrvComDetail

constexpr bool SUCCEEDED(HRESULT result)
{
    return result >= 0;
}
constexpr bool FAILED(HRESULT result)
{
    return result < 0;
}

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_UNEXPECTED = OrvComDetail::hresultOf(0x8000FFFF);
constexpr HRESULT E_NOTIMPL = OrvComDetail::hresultOf(0x80004001);
constexpr HRESULT E_NOINTERFACE = OrvComDetail::hresultOf(0x80004002);
constexpr HRESULT E_POINTER = OrvComDetail::hresultOf(0x80004003);
constexpr HRESULT E_FAIL = OrvComDetail::hresultOf(0x80004005);
constexpr HRESULT E_ACCESSDENIED = OrvComDetail::hresultOf(0x80070005);
constexpr HRESULT E_OUTOFMEMORY = OrvComDetail::hresultOf(0x8007000E);
constexpr HRESULT E_INVALIDARG = OrvComDetail::hresultOf(0x80070057);
constexpr HRESULT CLASS_E_NOAGGREGATION = OrvComDetail::hresultOf(0x80040110);
constexpr HRESULT REGDB_E_CLASSNOTREG = OrvComDetail::hresultOf(0x80040154);
constexpr HRESULT CO_E_NOTINITIALIZED = OrvComDetail::hresultOf(0x800401F0);
constexpr HRESULT CO_E_CLASSSTRING = OrvComDetail::hresultOf(0x800401F3);
constexpr HRESULT RPC_E_CHANGED_MODE = OrvComDetail::hresultOf(0x80010106);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = OrvComDetail::hresultOf(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = OrvComDetail::hresultOf(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = OrvComDetail::hresultOf(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = OrvComDetail::hresultOf(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = OrvComDetail::hresultOf(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = OrvComDetail::hresultOf(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = OrvComDetail::hresultOf(0x80020008);
constexpr HRESULT DISP_E_EXCEPTION = OrvComDetail::hresultOf(0x80020009);
constexpr HRESULT DISP_E_BADPARAMCOUNT = OrvComDetail::hresultOf(0x8002000E);

struct GUID
{
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID &;
using REFCLSID = const CLSID &;
using LPCLSID = CLSID *;

bool operator==(const GUID &a, const GUID &b);
inline bool operator!=(const GUID &a, const GUID &b)
{
    return !(a == b);
}

extern const IID IID_NULL;
extern const IID IID_IUnknown;
extern const IID IID_IDispatch;

enum COINIT : DWORD { COINIT_MULTITHREADED = 0x0, COINIT_APARTMENTTHREADED = 0x2 };
enum CLSCTX : DWORD { CLSCTX_INPROC_SERVER = 0x1, CLSCTX_LOCAL_SERVER = 0x4 };

constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
};

struct ITypeInfo;

struct IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

struct IDispatch;

struct VARIANT
{
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONG lVal;
        SHORT iVal;
        INT intVal;
        UINT uintVal;
        ULONG ulVal;
        std::int64_t llVal;
        std::uint64_t ullVal;
        float fltVal;
        DOUBLE dblVal;
        DATE date;
        BSTR bstrVal;
        IUnknown *punkVal;
        IDispatch *pdispVal;
        VARIANT_BOOL boolVal;
        void *byref;
    };
};
using VARIANTARG = VARIANT;

// The accessors of the documented V_ macros, usable as lvalues like those.
inline VARTYPE &V_VT(VARIANT *v)
{
    return v->vt;
}
inline VARTYPE V_VT(const VARIANT *v)
{
    return v->vt;
}
inline SHORT &V_I2(VARIANT *v)
{
    return v->iVal;
}
inline SHORT V_I2(const VARIANT *v)
{
    return v->iVal;
}
inline LONG &V_I4(VARIANT *v)
{
    return v->lVal;
}
inline LONG V_I4(const VARIANT *v)
{
    return v->lVal;
}
inline INT &V_INT(VARIANT *v)
{
    return v->intVal;
}
inline INT V_INT(const VARIANT *v)
{
    return v->intVal;
}
inline DOUBLE &V_R8(VARIANT *v)
{
    return v->dblVal;
}
inline DOUBLE V_R8(const VARIANT *v)
{
    return v->dblVal;
}
inline DATE &V_DATE(VARIANT *v)
{
    return v->date;
}
inline DATE V_DATE(const VARIANT *v)
{
    return v->date;
}
inline BSTR &V_BSTR(VARIANT *v)
{
    return v->bstrVal;
}
inline BSTR V_BSTR(const VARIANT *v)
{
    return v->bstrVal;
}
inline IDispatch *&V_DISPATCH(VARIANT *v)
{
    return v->pdispVal;
}
inline IDispatch *V_DISPATCH(const VARIANT *v)
{
    return v->pdispVal;
}
inline VARIANT_BOOL &V_BOOL(VARIANT *v)
{
    return v->boolVal;
}
inline VARIANT_BOOL V_BOOL(const VARIANT *v)
{
    return v->boolVal;
}

struct DISPPARAMS
{
    VARIANTARG *rgvarg;
    DISPID *rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO
{
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void *pvReserved;
    HRESULT(STDMETHODCALLTYPE *pfnDeferredFillIn)(EXCEPINFO *);
    SCODE scode;
};

struct SYSTEMTIME
{
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME *;

struct IDispatch : IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo **info) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR *names, UINT count,
                                                    LCID locale, DISPID *ids) = 0;
    virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID locale, WORD flags,
                                             DISPPARAMS *parameters, VARIANT *result,
                                             EXCEPINFO *exception, UINT *argumentError) = 0;
};

// Apartments are counted per thread: the first entry answers S_OK, every further one S_FALSE,
// and each successful entry needs one CoUninitialize.
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
void CoUninitialize();
HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid);
HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown *outer, DWORD context, REFIID riid,
                         LPVOID *object);

BSTR SysAllocString(const OLECHAR *text);
BSTR SysAllocStringLen(const OLECHAR *text, UINT length);
UINT SysStringLen(BSTR text);
void SysFreeString(BSTR text);

void VariantInit(VARIANTARG *variant);
HRESULT VariantClear(VARIANTARG *variant);

INT SystemTimeToVariantTime(LPSYSTEMTIME systemTime, DOUBLE *variantTime);
INT VariantTimeToSystemTime(DOUBLE variantTime, LPSYSTEMTIME systemTime);

#endif
