// Stands in for the COM automation runtime of Windows (ole32, oleaut32) on other systems: the
// calls the program makes, with the results and HRESULT values the Windows documentation gives.
// It differs from the real runtime in what it leaves out: apartments are only counted per thread
// (no message loop, no marshalling between threads), classes are in-process only and come from
// the stand-in registry and the emulated CAdESCOM objects of this folder (no DLLs are loaded),
// and SAFEARRAYs and by-reference VARIANTs are not supported.

#include "platform/comcompat.h"

#include "platform/cadesobjects.h"
#include "platform/comstandin.h"
#include "platform/registry.h"

#include <QDate>
#include <QString>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<int> liveStrings{0};

struct Apartment
{
    int entries = 0;
    bool singleThreaded = false;
};
thread_local Apartment apartment;

QString oleText(LPCOLESTR text)
{
    qsizetype length = 0;
    while (text[length])
        ++length;
    return QString(reinterpret_cast<const QChar *>(text), length);
}

QString guidText(const GUID &guid)
{
    QString text = QStringLiteral("{%1-%2-%3-")
                       .arg(guid.Data1, 8, 16, QChar(u'0'))
                       .arg(guid.Data2, 4, 16, QChar(u'0'))
                       .arg(guid.Data3, 4, 16, QChar(u'0'));
    for (int i = 0; i < 8; ++i) {
        if (i == 2)
            text += u'-';
        text += QStringLiteral("%1").arg(guid.Data4[i], 2, 16, QChar(u'0'));
    }
    return text.toUpper() + u'}';
}

bool parseGuid(const QString &text, GUID *guid)
{
    if (text.size() != 38 || text.front() != u'{' || text.back() != u'}')
        return false;
    for (int dash : {9, 14, 19, 24}) {
        if (text.at(dash) != u'-')
            return false;
    }
    bool ok = true;
    auto field = [&](int from, int length) {
        std::uint32_t value = 0;
        for (int i = from; i < from + length; ++i) {
            const auto digit = QStringView(u"0123456789abcdef").indexOf(text.at(i).toLower());
            ok = ok && digit >= 0;
            value = value * 16 + std::uint32_t(qMax(digit, qsizetype(0)));
        }
        return value;
    };
    guid->Data1 = field(1, 8);
    guid->Data2 = std::uint16_t(field(10, 4));
    guid->Data3 = std::uint16_t(field(15, 4));
    guid->Data4[0] = std::uint8_t(field(20, 2));
    guid->Data4[1] = std::uint8_t(field(22, 2));
    for (int i = 0; i < 6; ++i)
        guid->Data4[2 + i] = std::uint8_t(field(25 + 2 * i, 2));
    return ok;
}

const QDate kDateZero(1899, 12, 30);
constexpr double kSecondsPerDay = 86400.0;

} // namespace

bool operator==(const GUID &a, const GUID &b)
{
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

const IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit)
{
    if (reserved)
        return E_INVALIDARG;
    const bool singleThreaded = coInit & COINIT_APARTMENTTHREADED;
    if (apartment.entries > 0 && apartment.singleThreaded != singleThreaded)
        return RPC_E_CHANGED_MODE;
    apartment.singleThreaded = singleThreaded;
    return ++apartment.entries == 1 ? S_OK : S_FALSE;
}

void CoUninitialize()
{
    if (apartment.entries > 0)
        --apartment.entries;
}

HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid)
{
    if (!progId || !clsid)
        return E_INVALIDARG;
    const QString registered = Orv::registryText(
        QStringLiteral("HKEY_CLASSES_ROOT\\%1\\CLSID").arg(oleText(progId)), QString());
    return parseGuid(registered, clsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid)
{
    if (!text || !clsid)
        return E_INVALIDARG;
    return parseGuid(oleText(text), clsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown *outer, DWORD context, REFIID riid,
                         LPVOID *object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (apartment.entries == 0)
        return CO_E_NOTINITIALIZED;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    const QString id = guidText(clsid);
    if (!(context & CLSCTX_INPROC_SERVER) ||
        Orv::registryText(QStringLiteral("HKEY_CLASSES_ROOT\\CLSID\\%1\\InprocServer32").arg(id),
                          QString())
            .isEmpty())
        return REGDB_E_CLASSNOTREG;
    IDispatch *created = Orv::ComStandIn::createCadesObject(id);
    if (!created)
        return REGDB_E_CLASSNOTREG;
    const HRESULT result = created->QueryInterface(riid, object);
    created->Release();
    return result;
}

BSTR SysAllocString(const OLECHAR *text)
{
    if (!text)
        return nullptr;
    UINT length = 0;
    while (text[length])
        ++length;
    return SysAllocStringLen(text, length);
}

// A BSTR points just past a 4-byte count of its bytes and is followed by a zero character.
BSTR SysAllocStringLen(const OLECHAR *text, UINT length)
{
    if (length > (UINT_MAX - sizeof(std::uint32_t)) / sizeof(OLECHAR) - 1)
        return nullptr;
    const std::uint32_t bytes = length * sizeof(OLECHAR);
    auto *block = static_cast<char *>(std::calloc(1, sizeof bytes + bytes + sizeof(OLECHAR)));
    if (!block)
        return nullptr;
    std::memcpy(block, &bytes, sizeof bytes);
    auto *string = reinterpret_cast<BSTR>(block + sizeof bytes);
    if (text)
        std::memcpy(string, text, bytes);
    ++liveStrings;
    return string;
}

UINT SysStringLen(BSTR text)
{
    if (!text)
        return 0;
    std::uint32_t bytes;
    std::memcpy(&bytes, reinterpret_cast<char *>(text) - sizeof bytes, sizeof bytes);
    return bytes / sizeof(OLECHAR);
}

void SysFreeString(BSTR text)
{
    if (!text)
        return;
    --liveStrings;
    std::free(reinterpret_cast<char *>(text) - sizeof(std::uint32_t));
}

void VariantInit(VARIANTARG *variant)
{
    variant->vt = VT_EMPTY;
    variant->wReserved1 = variant->wReserved2 = variant->wReserved3 = 0;
}

HRESULT VariantClear(VARIANTARG *variant)
{
    if (!variant)
        return E_INVALIDARG;
    switch (variant->vt) {
    case VT_BSTR:
        SysFreeString(variant->bstrVal);
        break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
        if (variant->punkVal)
            variant->punkVal->Release();
        break;
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_ERROR:
    case VT_BOOL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
        break;
    default:
        // By-reference values own nothing; arrays are never made by this runtime.
        if (!(variant->vt & VT_BYREF))
            return DISP_E_BADVARTYPE;
        break;
    }
    VariantInit(variant);
    return S_OK;
}

// Days since 30 December 1899; the fraction is the time of day also for negative (earlier) days.
INT SystemTimeToVariantTime(LPSYSTEMTIME systemTime, DOUBLE *variantTime)
{
    if (!systemTime || !variantTime)
        return FALSE;
    const SYSTEMTIME &t = *systemTime;
    const QDate date(t.wYear, t.wMonth, t.wDay);
    if (t.wYear < 100 || t.wYear > 9999 || !date.isValid() || t.wHour > 23 || t.wMinute > 59 ||
        t.wSecond > 59)
        return FALSE;
    const double days = double(kDateZero.daysTo(date));
    const double time = (t.wHour * 3600 + t.wMinute * 60 + t.wSecond) / kSecondsPerDay;
    *variantTime = days < 0 ? days - time : days + time;
    return TRUE;
}

// Rounds to the nearest second, like the documented call.
INT VariantTimeToSystemTime(DOUBLE variantTime, LPSYSTEMTIME systemTime)
{
    constexpr double kFirst = -657434.0; // 1 January 100
    constexpr double kLast = 2958466.0;  // 1 January 10000
    if (!systemTime || !(variantTime >= kFirst && variantTime < kLast))
        return FALSE;
    const double days = std::trunc(variantTime);
    long long seconds = std::llround(std::fabs(variantTime - days) * kSecondsPerDay);
    QDate date = kDateZero.addDays(qint64(days));
    if (seconds >= 86400) {
        date = date.addDays(1);
        seconds -= 86400;
    }
    if (date.year() > 9999)
        return FALSE;
    SYSTEMTIME &t = *systemTime;
    t.wYear = WORD(date.year());
    t.wMonth = WORD(date.month());
    t.wDay = WORD(date.day());
    t.wDayOfWeek = WORD(date.dayOfWeek() % 7);
    t.wHour = WORD(seconds / 3600);
    t.wMinute = WORD(seconds / 60 % 60);
    t.wSecond = WORD(seconds % 60);
    t.wMilliseconds = 0;
    return TRUE;
}

namespace Orv::ComStandIn {

int liveStringCount()
{
    return liveStrings;
}

} // namespace Orv::ComStandIn
