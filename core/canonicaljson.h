#pragma once

#include <QByteArrayView>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

namespace Orv {

// The canonical JSON text over which the server computes a task's "payloadHash". It is a wire
// contract and must match the server byte for byte: members sorted by their keys' UTF-16 code
// units, no whitespace, every number read as a double and written as a plain integer when it is
// one within the signed 64-bit range, otherwise as printf's "%.17g"; strings escaped as the Qt
// JSON writer escapes them (lone surrogates as \uXXXX).
QString canonicalJson(const QJsonValue &value);
QString canonicalJsonObject(const QJsonObject &object);
QString canonicalJsonArray(const QJsonArray &array);

// The JSON string literal of `text`, quotes included.
QString jsonQuote(const QString &text);

// Lower-case hexadecimal SHA-256 of the UTF-8 canonical text of `object`.
QString canonicalJsonSha256(const QJsonObject &object);

// The same hash for the object under `key` in the JSON object `json` (UTF-8), read straight from
// those bytes, several times faster than building the object first. Empty when the text holds
// anything this strict reading does not vouch for (a key twice, a lone surrogate, a key that needs
// an escape, text Qt's reader takes only by leniency): then hash the object Qt parsed.
QString canonicalMemberSha256(QByteArrayView json, QByteArrayView key);

} // namespace Orv
