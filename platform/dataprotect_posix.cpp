// Stands in for the Windows data protection API (CryptProtectData and CryptUnprotectData bound
// to the current user) where there is none. It keeps DPAPI's promises: a blob is opaque,
// different on every call, integrity-checked (damaged or foreign bytes open to nothing, never to
// garbage), carries its description, opens only with the current user's secret, and the data is
// never stored in plain text.
// How it differs: the user's secret is not derived from the logon password but is a random
// 256-bit key, created on first use in a file of its own, "tellvane-orv/dataprotect.key" under
// the user's configuration folder ($XDG_CONFIG_HOME or ~/.config), owner-only (file 0600 in a
// folder 0700). Whoever can read that file (root, a copy of the home folder) can open the blobs,
// and deleting it makes every blob useless. The blob format is our own: "ODP1", the description's
// length in bytes (16 bits, little-endian) and its UTF-16LE text, a 12-byte nonce, the AES-256-GCM
// ciphertext and its 16-byte tag, with everything before the nonce authenticated.
// The environment variable ORV_DATAPROTECT_KEY names another key file; tests play another user
// with it.
#include "platform/dataprotect.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <cerrno>
#include <iterator>
#include <limits>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Orv {
namespace {

constexpr char kMagic[] = "ODP1";
constexpr qsizetype kMagicSize = 4;
constexpr qsizetype kHeadFixedSize = kMagicSize + 2;
constexpr int kKeySize = 32;
constexpr int kNonceSize = 12;
constexpr int kTagSize = 16;
constexpr char16_t kDescription[] = u"orvagent device token";

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

struct Key
{
    std::array<unsigned char, kKeySize> bytes{};
    ~Key() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

const unsigned char *bytesOf(const QByteArray &array)
{
    return reinterpret_cast<const unsigned char *>(array.constData());
}

QByteArray keyPath()
{
    const QByteArray overridden = qgetenv("ORV_DATAPROTECT_KEY");
    if (!overridden.isEmpty())
        return overridden;
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (config.isEmpty())
        return {};
    return QFile::encodeName(config + QStringLiteral("/tellvane-orv/dataprotect.key"));
}

// Moves `size` bytes through `step` (a read or a write at an offset), resuming after signals
// and short transfers; false when the file ends or fails first.
template<typename Step> bool transferFully(size_t size, Step step)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = step(done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// Only a regular file of this user's, readable by nobody else and of the exact size, is taken
// as the key; anything else could have been planted or read by someone else.
bool readKey(const QByteArray &path, Key &key)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
                    (st.st_mode & 077) == 0 && st.st_size == kKeySize &&
                    transferFully(key.bytes.size(), [&](size_t done) {
                        return ::read(fd, key.bytes.data() + done, key.bytes.size() - done);
                    });
    ::close(fd);
    return ok;
}

// A folder we create is 0700. An existing one must be ours and writable by nobody else; it is
// not tightened, because the variable may point into a folder that is not only for keys.
bool keyFolderReady(const QByteArray &folder)
{
    const QFileInfo info(QFile::decodeName(folder));
    QDir().mkpath(info.absolutePath());
    const bool created = ::mkdir(folder.constData(), 0700) == 0;
    if (!created && errno != EEXIST)
        return false;
    if (created)
        return ::chmod(folder.constData(), 0700) == 0;
    struct stat st;
    return ::lstat(folder.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::geteuid() && (st.st_mode & 022) == 0;
}

// Written in full under a temporary name (created 0600 by mkstemp) and then linked into place:
// no reader ever sees half a key, and when two processes race the first key stays.
bool createKey(const QByteArray &path)
{
    const QByteArray folder = QFile::encodeName(QFileInfo(QFile::decodeName(path)).absolutePath());
    if (!keyFolderReady(folder))
        return false;
    QByteArray temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return false;
    Key key;
    bool ok =
        RAND_bytes(key.bytes.data(), kKeySize) == 1 &&
        transferFully(key.bytes.size(),
                      [&](size_t done) {
                          return ::write(fd, key.bytes.data() + done, key.bytes.size() - done);
                      }) &&
        ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && (::link(temporary.constData(), path.constData()) == 0 || errno == EEXIST);
    ::unlink(temporary.constData());
    return ok;
}

bool userKey(Key &key, bool createMissing)
{
    const QByteArray path = keyPath();
    if (path.isEmpty())
        return false;
    struct stat st;
    if (createMissing && ::lstat(path.constData(), &st) != 0 && errno == ENOENT &&
        !createKey(path)) {
        return false;
    }
    return readKey(path, key);
}

QByteArray head()
{
    const qsizetype units = std::size(kDescription) - 1;
    QByteArray bytes(kMagic, kMagicSize);
    bytes.append(char((units * 2) & 0xff));
    bytes.append(char((units * 2) >> 8));
    for (qsizetype i = 0; i < units; ++i) {
        bytes.append(char(kDescription[i] & 0xff));
        bytes.append(char(kDescription[i] >> 8));
    }
    return bytes;
}

QByteArray sealed(const QByteArray &data)
{
    Key key;
    if (data.size() > std::numeric_limits<int>::max() - 1024 || !userKey(key, true))
        return {};
    const QByteArray authenticated = head();
    QByteArray blob = authenticated;
    blob.resize(authenticated.size() + kNonceSize + data.size() + kTagSize);
    auto *nonce = reinterpret_cast<unsigned char *>(blob.data()) + authenticated.size();
    unsigned char *cipher = nonce + kNonceSize;
    unsigned char *tag = cipher + data.size();
    CipherContext context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    int length = 0;
    const bool ok =
        context && RAND_bytes(nonce, kNonceSize) == 1 &&
        EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.bytes.data(), nonce) ==
            1 &&
        EVP_EncryptUpdate(context.get(), nullptr, &length, bytesOf(authenticated),
                          int(authenticated.size())) == 1 &&
        EVP_EncryptUpdate(context.get(), cipher, &length, bytesOf(data), int(data.size())) == 1 &&
        EVP_EncryptFinal_ex(context.get(), cipher + length, &length) == 1 &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) == 1;
    return ok ? blob : QByteArray();
}

} // namespace

QByteArray protectData(const QByteArray &data, QString *error)
{
    const QByteArray blob = sealed(data);
    if (blob.isEmpty() && error)
        *error = QStringLiteral("Не удалось зашифровать токен средствами Windows (DPAPI)");
    return blob;
}

QByteArray unprotectData(const QByteArray &blob)
{
    if (blob.size() < kHeadFixedSize || !blob.startsWith(kMagic))
        return {};
    const qsizetype descriptionSize =
        qsizetype(uchar(blob[kMagicSize])) | qsizetype(uchar(blob[kMagicSize + 1])) << 8;
    const qsizetype headSize = kHeadFixedSize + descriptionSize;
    const qsizetype dataSize = blob.size() - headSize - kNonceSize - kTagSize;
    if (descriptionSize % 2 != 0 || dataSize < 0 ||
        dataSize > std::numeric_limits<int>::max() - 1024) {
        return {};
    }
    Key key;
    if (!userKey(key, false))
        return {};
    const unsigned char *nonce = bytesOf(blob) + headSize;
    const unsigned char *cipher = nonce + kNonceSize;
    const unsigned char *tag = cipher + dataSize;
    QByteArray data(dataSize, Qt::Uninitialized);
    auto *plain = reinterpret_cast<unsigned char *>(data.data());
    CipherContext context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    int length = 0;
    const bool ok =
        context &&
        EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.bytes.data(), nonce) ==
            1 &&
        EVP_DecryptUpdate(context.get(), nullptr, &length, bytesOf(blob), int(headSize)) == 1 &&
        EVP_DecryptUpdate(context.get(), plain, &length, cipher, int(dataSize)) == 1 &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTagSize,
                            const_cast<unsigned char *>(tag)) == 1 &&
        EVP_DecryptFinal_ex(context.get(), plain + length, &length) == 1;
    if (!ok) {
        OPENSSL_cleanse(data.data(), size_t(data.size()));
        return {};
    }
    return data;
}

} // namespace Orv
