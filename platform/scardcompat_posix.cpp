// Stands in for WinSCard's wide-character calls on top of pcsc-lite, which names readers in UTF-8
// only: the names are converted to and from UTF-16 around the narrow calls. Differences from
// Windows: the reader groups are ignored (pcsc-lite ignores them too), SCARD_AUTOALLOCATE is
// refused as an invalid parameter, and listing asks pcsc-lite twice, so a reader plugged in
// between the two questions ends the call with SCARD_E_INSUFFICIENT_BUFFER.

#include "platform/scardcompat.h"

#include <QByteArray>
#include <QString>

#include <algorithm>

namespace {

LONG readerNames(SCARDCONTEXT context, QString *names)
{
    DWORD length = 0;
    LONG code = SCardListReaders(context, nullptr, nullptr, &length);
    if (code != SCARD_S_SUCCESS)
        return code;
    QByteArray narrow(qsizetype(length), '\0');
    code = SCardListReaders(context, nullptr, narrow.data(), &length);
    if (code != SCARD_S_SUCCESS)
        return code;
    *names = QString::fromUtf8(narrow.constData(), std::min(narrow.size(), qsizetype(length)));
    return SCARD_S_SUCCESS;
}

} // namespace

LONG SCardListReadersW(SCARDCONTEXT context, LPCWSTR, LPWSTR readers, LPDWORD length)
{
    if (!length || (readers && *length == SCARD_AUTOALLOCATE))
        return SCARD_E_INVALID_PARAMETER;
    QString names;
    const LONG code = readerNames(context, &names);
    if (code != SCARD_S_SUCCESS)
        return code;
    const DWORD needed = DWORD(names.size());
    if (readers && *length < needed) {
        *length = needed;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    if (readers)
        std::copy(names.utf16(), names.utf16() + names.size(), readers);
    *length = needed;
    return SCARD_S_SUCCESS;
}

LONG SCardConnectW(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode, DWORD preferredProtocols,
                   LPSCARDHANDLE card, LPDWORD activeProtocol)
{
    const QByteArray name = reader ? QString::fromUtf16(reader).toUtf8() : QByteArray();
    return SCardConnect(context, reader ? name.constData() : nullptr, shareMode, preferredProtocols,
                        card, activeProtocol);
}
