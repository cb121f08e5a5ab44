// SHA-256 through the system's cryptography (CNG).

#include "platform/sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <climits>

namespace Orv {

namespace {

constexpr ULONG kDigestBytes = 32;

// Opened once for the process: opening the provider costs more than hashing a short text.
BCRYPT_ALG_HANDLE algorithm()
{
    static const BCRYPT_ALG_HANDLE handle = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        if (!BCRYPT_SUCCESS(
                BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
            opened = nullptr;
        return opened;
    }();
    return handle;
}

} // namespace

Sha256::Sha256()
    : m_context(nullptr)
{
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (algorithm() &&
        BCRYPT_SUCCESS(BCryptCreateHash(algorithm(), &hash, nullptr, 0, nullptr, 0, 0)))
        m_context = hash;
}

Sha256::~Sha256()
{
    if (m_context)
        BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(m_context));
}

void Sha256::add(const char *data, qsizetype size)
{
    // One call takes at most 4 GiB.
    while (m_context && size > 0) {
        const ULONG piece = ULONG(std::min<qsizetype>(size, ULONG_MAX));
        BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(m_context),
                       reinterpret_cast<PUCHAR>(const_cast<char *>(data)), piece, 0);
        data += piece;
        size -= piece;
    }
}

QString Sha256::hexResult()
{
    UCHAR digest[kDigestBytes] = {};
    if (m_context)
        BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(m_context), digest, kDigestBytes, 0);
    return QString::fromLatin1(
        QByteArray::fromRawData(reinterpret_cast<const char *>(digest), int(kDigestBytes)).toHex());
}

} // namespace Orv
