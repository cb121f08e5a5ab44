#pragma once

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

} // namespace Orv
