#include "core/devicetokenstore.h"

#include "core/util.h"
#include "platform/dataprotect.h"

#include <QFile>
#include <QSaveFile>

namespace Orv {

DeviceTokenStore::DeviceTokenStore(const QString &path)
    : m_path(path)
{}

QString DeviceTokenStore::load() const
{
    QFile file(m_path);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly)) {
        logItems(Warn, "не удалось прочитать файл токена:", m_path);
        return {};
    }
    const QByteArray plain = unprotectData(file.readAll());
    file.close();
    if (plain.isEmpty()) {
        logMessage(
            Warn,
            QStringLiteral("токен не расшифровывается, потребуется повторное подключение агента"));
        return {};
    }
    return QString::fromUtf8(plain);
}

bool DeviceTokenStore::save(const QString &token, QString *error)
{
    const QByteArray blob = protectData(token.toUtf8(), error);
    if (blob.isEmpty())
        return false;
    // The blob goes to a temporary file that is owner-only before it holds a byte, is flushed to
    // disk and replaces the old file in one rename; a write that fails anywhere on the way leaves
    // the token already stored untouched. Unbuffered, because a short write while QSaveFile
    // flushes its buffer inside commit() goes unnoticed and would replace the token with a stub.
    QSaveFile file(m_path);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
                         file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
                         file.write(blob) == blob.size() && file.commit();
    if (!written) {
        setError(error, QStringLiteral("Не удалось сохранить токен в %1").arg(m_path));
        return false;
    }
    return true;
}

bool DeviceTokenStore::clear()
{
    return !QFile::exists(m_path) || QFile::remove(m_path);
}

} // namespace Orv
