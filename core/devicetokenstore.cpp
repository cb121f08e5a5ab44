#include "core/devicetokenstore.h"

#include "core/util.h"
#include "platform/atomicfile.h"
#include "platform/dataprotect.h"

#include <QFile>

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
    // Owner-only before it holds a byte; a write that fails anywhere on the way leaves the token
    // already stored untouched.
    if (!replaceFileContents(m_path, blob, QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
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
