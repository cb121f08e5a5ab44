#include "core/canonicaljson.h"

#include "platform/sha256.h"

#include <QVarLengthArray>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <numeric>

namespace Orv {
namespace {

// Payloads carry whole documents (base64, XML). The text is written as UTF-8 into one buffer;
// with a hash to feed, the buffer passes into it each time it is full, so the whole text is
// never held and the hash runs while it is written.
class CanonicalWriter
{
public:
    explicit CanonicalWriter(Sha256 *hash = nullptr)
        : m_hash(hash)
        , m_out(hash ? kChunkBytes : 256, Qt::Uninitialized)
        , m_data(m_out.data())
    {}

    QByteArray take()
    {
        m_out.truncate(m_used);
        return std::move(m_out);
    }

    // Hands what is left to the hash.
    void finish()
    {
        m_hash->add(m_data, m_used);
        m_used = 0;
    }

    // Works on a value and on a reference into an object or array alike; the reference is read
    // in place.
    template<typename Value> void value(const Value &value)
    {
        switch (value.type()) {
        case QJsonValue::Bool:
            value.toBool() ? put("true", 4) : put("false", 5);
            break;
        case QJsonValue::Double:
            number(value.toDouble());
            break;
        case QJsonValue::String:
            quoted(value.toString());
            break;
        case QJsonValue::Array:
            array(value.toArray());
            break;
        case QJsonValue::Object:
            object(value.toObject());
            break;
        default:
            put("null", 4);
            break;
        }
    }

    void array(const QJsonArray &array)
    {
        put('[');
        for (auto it = array.constBegin(), end = array.constEnd(); it != end; ++it) {
            if (it != array.constBegin())
                put(',');
            value(*it);
        }
        put(']');
    }

    // QJsonObject keeps its members in the order of their keys' UTF-16 units only while no key
    // beyond U+FFFF meets one from U+E000 to U+FFFF: keys read from plain UTF-8 it orders by code
    // points. Members are sorted here only where its order differs. An undefined value cannot be
    // stored in it, so every member is written.
    void object(const QJsonObject &object)
    {
        QVarLengthArray<QString, 16> keys;
        for (auto it = object.constBegin(), end = object.constEnd(); it != end; ++it)
            keys.append(it.key());
        QVarLengthArray<qsizetype, 16> order(keys.size());
        std::iota(order.begin(), order.end(), 0);
        // QString compares by UTF-16 units.
        if (!std::is_sorted(keys.cbegin(), keys.cend())) {
            std::stable_sort(order.begin(), order.end(),
                             [&](qsizetype a, qsizetype b) { return keys[a] < keys[b]; });
        }
        put('{');
        for (const qsizetype i : order) {
            if (i != order.front())
                put(',');
            quoted(keys[i]);
            put(':');
            value((object.constBegin() + i).value());
        }
        put('}');
    }

    void number(double v)
    {
        // The range test comes first: converting a double outside the int64 range is undefined
        // behaviour, and NaN fails both comparisons.
        constexpr double kTwoPow63 = 9223372036854775808.0;
        constexpr int kLongest = 32;
        char *const out = room(kLongest);
        std::to_chars_result end;
        if (v >= -kTwoPow63 && v < kTwoPow63 && double(qint64(v)) == v)
            end = std::to_chars(out, out + kLongest, qint64(v));
        else // to_chars rounds exactly like printf and ignores the locale
            end = std::to_chars(out, out + kLongest, v, std::chars_format::general, 17);
        m_used = end.ptr - m_data;
    }

    void quoted(QStringView text)
    {
        put('"');
        while (!text.isEmpty()) {
            // A surrogate pair is never split between two slices.
            qsizetype size = std::min(text.size(), kSliceUnits);
            while (size < text.size() && text.at(size - 1).isHighSurrogate())
                ++size;
            escape(text.first(size));
            text = text.sliced(size);
        }
        put('"');
    }

private:
    static constexpr qsizetype kSliceUnits = 4096;
    static constexpr qsizetype kChunkBytes = 64 * 1024;

    // Room for `size` more bytes after the text written so far.
    char *room(qsizetype size)
    {
        if (m_used + size > m_out.size()) {
            if (m_hash) {
                m_hash->add(m_data, m_used);
                m_used = 0;
            }
            if (m_used + size > m_out.size())
                m_out.resize(std::max(m_used + size, 2 * m_out.size()));
            m_data = m_out.data();
        }
        return m_data + m_used;
    }

    void put(char c)
    {
        *room(1) = c;
        ++m_used;
    }

    void put(const char *text, qsizetype size)
    {
        std::memcpy(room(size), text, size_t(size));
        m_used += size;
    }

    // The characters of a string literal, without its quotes.
    void escape(QStringView text)
    {
        // Room for the worst case: six bytes per UTF-16 unit.
        char *out = room(6 * text.size());
        const char16_t *it = text.utf16();
        const char16_t *const end = it + text.size();
        while (it != end) {
            // Printable ASCII, the bulk of base64 and XML documents, four units at a time.
            std::uint64_t units;
            while (end - it >= 4 && (std::memcpy(&units, it, sizeof units), isPlain(units))) {
                for (int i = 0; i < 4; ++i)
                    *out++ = char(units >> (16 * i));
                it += 4;
            }
            if (it == end)
                break;
            const char16_t u = *it++;
            if (u < 0x80) {
                if (u >= 0x20 && u != u'"' && u != u'\\') {
                    *out++ = char(u);
                    continue;
                }
                *out++ = '\\';
                switch (u) {
                case u'"':
                    *out++ = '"';
                    break;
                case u'\\':
                    *out++ = '\\';
                    break;
                case u'\b':
                    *out++ = 'b';
                    break;
                case u'\f':
                    *out++ = 'f';
                    break;
                case u'\n':
                    *out++ = 'n';
                    break;
                case u'\r':
                    *out++ = 'r';
                    break;
                case u'\t':
                    *out++ = 't';
                    break;
                default:
                    out = escaped(out, u);
                    break;
                }
            } else if (u < 0x800) {
                *out++ = char(0xc0 | (u >> 6));
                *out++ = char(0x80 | (u & 0x3f));
            } else if (!QChar::isSurrogate(u)) {
                *out++ = char(0xe0 | (u >> 12));
                *out++ = char(0x80 | ((u >> 6) & 0x3f));
                *out++ = char(0x80 | (u & 0x3f));
            } else if (QChar::isHighSurrogate(u) && it != end && QChar::isLowSurrogate(*it)) {
                const char32_t c = QChar::surrogateToUcs4(u, *it++);
                *out++ = char(0xf0 | (c >> 18));
                *out++ = char(0x80 | ((c >> 12) & 0x3f));
                *out++ = char(0x80 | ((c >> 6) & 0x3f));
                *out++ = char(0x80 | (c & 0x3f));
            } else {
                // A lone surrogate has no UTF-8 form; it stays visible as an escape.
                *out++ = '\\';
                out = escaped(out, u);
            }
        }
        m_used = out - m_data;
    }

    // Whether four UTF-16 units (in the machine's little-endian order) are all ASCII that is
    // written as itself: not below U+0020, not a quotation mark, not a backslash.
    static bool isPlain(std::uint64_t units)
    {
        constexpr std::uint64_t kOnes = 0x0001000100010001;
        constexpr std::uint64_t kHigh = 0x8000800080008000;
        if (units & 0xff80ff80ff80ff80) // beyond ASCII
            return false;
        // With every unit below 0x80, a unit below `c` or equal to 0 borrows into its top bit.
        const auto below = [](std::uint64_t x, std::uint64_t c) {
            return (x - c * kOnes) & kHigh;
        };
        const auto hasZero = [&](std::uint64_t x) {
            return below(x, 1) & ~x;
        };
        return !below(units, 0x20) && !hasZero(units ^ (u'"' * kOnes)) &&
               !hasZero(units ^ (u'\\' * kOnes));
    }

    // "u" and four lower-case hexadecimal digits (the backslash is already written).
    static char *escaped(char *out, char16_t u)
    {
        static const char digits[] = "0123456789abcdef";
        *out++ = 'u';
        for (int shift = 12; shift >= 0; shift -= 4)
            *out++ = digits[(u >> shift) & 0xf];
        return out;
    }

    Sha256 *m_hash;
    QByteArray m_out;
    char *m_data;
    qsizetype m_used = 0;
};

} // namespace

QString canonicalJson(const QJsonValue &value)
{
    CanonicalWriter writer;
    writer.value(value);
    return QString::fromUtf8(writer.take());
}

QString canonicalJsonObject(const QJsonObject &object)
{
    CanonicalWriter writer;
    writer.object(object);
    return QString::fromUtf8(writer.take());
}

QString canonicalJsonArray(const QJsonArray &array)
{
    CanonicalWriter writer;
    writer.array(array);
    return QString::fromUtf8(writer.take());
}

QString jsonQuote(const QString &text)
{
    CanonicalWriter writer;
    writer.quoted(text);
    return QString::fromUtf8(writer.take());
}

QString canonicalJsonSha256(const QJsonObject &object)
{
    Sha256 hash;
    CanonicalWriter writer(&hash);
    writer.object(object);
    writer.finish();
    return hash.hexResult();
}

} // namespace Orv
