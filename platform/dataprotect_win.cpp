#include "platform/dataprotect.h"

#include <windows.h>
#include <dpapi.h>

namespace Orv {
namespace {

DATA_BLOB blobOf(const QByteArray &bytes)
{
    DATA_BLOB blob;
    blob.cbData = static_cast<DWORD>(bytes.size());
    blob.pbData = reinterpret_cast<BYTE *>(const_cast<char *>(bytes.constData()));
    return blob;
}

} // namespace

QByteArray protectData(const QByteArray &data, QString *error)
{
    DATA_BLOB in = blobOf(data);
    DATA_BLOB out = {};
    // Flags 0: bound to the current user, and no prompt can appear.
    if (!CryptProtectData(&in, L"orvagent device token", nullptr, nullptr, nullptr, 0, &out)) {
        if (error)
            *error = QStringLiteral("Не удалось зашифровать токен средствами Windows (DPAPI)");
        return {};
    }
    const QByteArray blob(reinterpret_cast<const char *>(out.pbData), qsizetype(out.cbData));
    LocalFree(out.pbData);
    return blob;
}

QByteArray unprotectData(const QByteArray &blob)
{
    DATA_BLOB in = blobOf(blob);
    DATA_BLOB out = {};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &out))
        return {};
    const QByteArray data(reinterpret_cast<const char *>(out.pbData), qsizetype(out.cbData));
    SecureZeroMemory(out.pbData, out.cbData); // the plain token should not linger in freed memory
    LocalFree(out.pbData);
    return data;
}

} // namespace Orv
