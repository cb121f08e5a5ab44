#pragma once

#include "core/signer.h"

#include <QByteArray>
#include <QDateTime>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <type_traits>

namespace Orv {

enum LogLevel : int { Debug = 0, Info = 1, Warn = 2, Error = 3 };

// The writable per-user folder of every file the program keeps, created on each call; nobody but
// the user may read what is in it.
QString dataDir();
// Tightens the data folder and the files in it to the user alone: run at start-up, so that what
// an earlier version left open to others is closed too.
void makeDataPrivate();
QString journalPath();
QString deviceTokenPath();

// Writes "<UTC time> [LEVEL] text" to the Qt message log; a level outside 0..3 writes nothing.
void logMessage(int level, const QString &text);

// A text from outside as a message, a log line or the journal shows it: at most 500 characters,
// a cut marked with "…". What is hashed, signed or sent on is never shortened.
QString shortened(const QString &text);
// The same bound for a text whose end says more than its start (what a program printed last):
// the cut, marked with "…", takes the start instead.
QString shortenedTail(const QString &text);

// A log item from outside whose end is kept when it is shortened: a program's output or failure.
struct LogTail
{
    QString text;
};

// Logs the items as a Qt debug stream prints them unquoted, one space apart, trimmed; each text
// shortened, since most of them come from outside.
template<typename... Items> void logItems(int level, const Items &...items)
{
    const auto loggable = [](const auto &item) -> decltype(auto) {
        if constexpr (std::is_same_v<std::decay_t<decltype(item)>, LogTail>)
            return shortenedTail(item.text);
        else if constexpr (std::is_convertible_v<decltype(item), QString>)
            return shortened(item);
        else
            return item;
    };
    QString text;
    {
        QDebug stream(&text);
        stream.noquote();
        (stream << ... << loggable(items));
    }
    logMessage(level, text.trimmed());
}

// Hands a failure's text to a caller that asked for it (`error` not null).
void setError(QString *error, const QString &text);

// Display form of a secret: never more than its first and last four characters.
QString maskSecret(const QString &secret);

// The hint shown when signing software is missing; empty when signing is possible.
QString signerMissingText(SignerAvailability availability);

// Lower-case hexadecimal SHA-256.
QString sha256Hex(const QByteArray &bytes);

// `url` without any of its trailing slashes.
QString withoutTrailingSlashes(QString url);

// The JSON document in `bytes`, every string exactly as sent (the parser alone would drop a
// U+FEFF at the start of one).
QJsonDocument jsonDocumentOf(const QByteArray &bytes);
// The JSON object in `bytes`; anything else, unreadable bytes included, reads as an empty object.
QJsonObject jsonObjectOf(const QByteArray &bytes);

// The instant as ISO 8601 text in UTC, as the server takes dates; empty for an invalid one.
QString isoUtcText(const QDateTime &at);

} // namespace Orv
