// SHA-256 through OpenSSL, which the signing stand-in of these builds links anyway.

#include "platform/sha256.h"

#include <openssl/evp.h>

namespace Orv {

namespace {

// Fetched once: looking the algorithm up again for every small hash costs more than hashing.
const EVP_MD *sha256()
{
    static EVP_MD *const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return algorithm;
}

} // namespace

Sha256::Sha256()
    : m_context(EVP_MD_CTX_new())
{
    EVP_DigestInit_ex(static_cast<EVP_MD_CTX *>(m_context), sha256(), nullptr);
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(m_context));
}

void Sha256::add(const char *data, qsizetype size)
{
    EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(m_context), data, size_t(size));
}

QString Sha256::hexResult()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(m_context), digest, &length);
    return QString::fromLatin1(
        QByteArray::fromRawData(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

} // namespace Orv
