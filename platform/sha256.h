#pragma once

#include <QByteArray>
#include <QString>

namespace Orv {

// SHA-256 of bytes handed over piece by piece, so that a long text can be hashed as it is
// produced: the system's own on Windows, OpenSSL's elsewhere. Not copyable; `hexResult` ends it.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void add(const char *data, qsizetype size);
    void add(const QByteArray &bytes) { add(bytes.constData(), bytes.size()); }
    // Lower-case hexadecimal digest of everything added.
    QString hexResult();

private:
    void *m_context; // the platform's hash object
};

} // namespace Orv
