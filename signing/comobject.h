#pragma once

#include "platform/comcompat.h"

#include <QMetaType>
#include <QString>
#include <QVariant>
#include <QVariantList>

namespace Orv {

// "0x" and the HRESULT as eight lower-case hexadecimal digits.
QString hresultText(HRESULT result);

// Asks for a single-threaded COM apartment for the owner's lifetime. It counts as entered only
// when this request opened the apartment (S_OK); then, and only then, it is left again.
class ComApartment
{
public:
    ComApartment();
    ~ComApartment();
    Q_DISABLE_COPY_MOVE(ComApartment)

    bool entered() const { return m_entered; }

private:
    bool m_entered = false;
};

// A reference-counted handle on one automation object, driven by member name with Qt variants
// as arguments and results. Failures come back as an empty handle, an invalid variant or false,
// with a text for the user in `error` when it is given; `error` is written only on failure.
// Handles belong to the thread that made them and must go before its apartment does.
class ComObject
{
public:
    ComObject() = default;
    explicit ComObject(IDispatch *dispatch); // adds its own reference
    ComObject(const ComObject &other);
    ComObject(ComObject &&other) noexcept;
    ComObject &operator=(const ComObject &other);
    ComObject &operator=(ComObject &&other) noexcept;
    ~ComObject();

    bool isNull() const { return !m_dispatch; }
    IDispatch *dispatch() const { return m_dispatch; }

    // Looks the ProgID up, falls back to the class id text when that is given.
    static ComObject create(const QString &progId, const QString &classId,
                            QString *error = nullptr);

    QVariant invoke(const QString &name, const QVariantList &arguments, WORD flags,
                    QString *error = nullptr) const;
    // A method or a parameterised property: the object decides which.
    QVariant call(const QString &name, const QVariantList &arguments = {},
                  QString *error = nullptr) const;
    QVariant property(const QString &name, QString *error = nullptr) const;
    bool setProperty(const QString &name, const QVariant &value, QString *error = nullptr) const;
    // `call`, then the result as a handle; the empty handle when it holds none.
    ComObject object(const QString &name, const QVariantList &arguments = {},
                     QString *error = nullptr) const;

    // `out` is initialised empty first; false when the value has no automation form.
    static bool toVariant(const QVariant &value, VARIANT *out);
    static QVariant fromVariant(const VARIANT &value);

private:
    IDispatch *m_dispatch = nullptr;
};

} // namespace Orv

Q_DECLARE_METATYPE(Orv::ComObject)
