#include "core/canonicaljson.h"

#include "platform/sha256.h"

#include <QVarLengthArray>
#include <QtAlgorithms>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <vector>

namespace Orv {
namespace {

#ifdef __SIZEOF_INT128__
using Wide = unsigned __int128;

constexpr std::array<Wide, 33> powersOfFive()
{
    std::array<Wide, 33> powers{1};
    for (std::size_t i = 1; i < powers.size(); ++i)
        powers[i] = powers[i - 1] * 5;
    return powers;
}

// printf's "%.17g" of `v`, not an integer, for magnitudes from 1e-16 below 1e17, where the
// fractions of payloads lie, several times faster than to_chars: the 17 digits are the exact
// value times a power of ten, rounded half to even, in 128-bit integers. Nothing is written
// (nullptr) outside that range.
char *seventeenDigits(char *out, double v)
{
    static constexpr std::array<Wide, 33> kFive = powersOfFive();
    constexpr std::uint64_t kLow = 10000000000000000; // 10^16
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int biased = int(bits >> 52) & 0x7ff;
    if (biased == 0 || biased == 0x7ff) // zero, subnormal, infinite, NaN
        return nullptr;
    const Wide mantissa = (bits & ((std::uint64_t(1) << 52) - 1)) | (std::uint64_t(1) << 52);
    const int binary = biased - 1075; // v = ±mantissa · 2^binary
    // floor(log10 |v|) is this or one less: 78913 / 2^18 is log10(2) to within 3e-8, far closer
    // than the binary exponents need (the shift floors negative products too).
    int decimal = ((biased - 1023) * 78913 >> 18) + 1;
    std::uint64_t digits = 0;
    for (int attempt = 0; attempt < 2; ++attempt, --decimal) {
        const int k = 16 - decimal; // |v| · 10^k = mantissa · 5^k · 2^(k + binary)
        if (k < 0 || k >= int(kFive.size()))
            return nullptr;
        const Wide scaled = mantissa * kFive[std::size_t(k)];
        const int shift = -(k + binary);
        if (shift <= 0) {
            digits = std::uint64_t(scaled << -shift);
        } else {
            digits = std::uint64_t(scaled >> shift);
            const Wide rest = scaled & ((Wide(1) << shift) - 1);
            const Wide half = Wide(1) << (shift - 1);
            // Short of 17 digits the estimate was one too high: done again, nothing to round.
            if (digits >= kLow && (rest > half || (rest == half && (digits & 1))))
                ++digits;
        }
        if (digits >= kLow)
            break;
    }
    if (digits == 10 * kLow) { // rounded up to a power of ten, as 1e-14 is
        digits = kLow;
        ++decimal;
    }
    char text[17];
    std::to_chars(text, text + 17, digits);
    int size = 17;
    while (text[size - 1] == '0')
        --size;
    if (bits >> 63)
        *out++ = '-';
    if (decimal < -4) { // where %g turns to an exponent (from 1e17 on it would too)
        *out++ = text[0];
        if (size > 1) {
            *out++ = '.';
            out = std::copy(text + 1, text + size, out);
        }
        *out++ = 'e';
        *out++ = '-';
        *out++ = char('0' - decimal / 10);
        *out++ = char('0' - decimal % 10);
        return out;
    }
    if (decimal < 0) {
        *out++ = '0';
        *out++ = '.';
        out = std::fill_n(out, -decimal - 1, '0');
        return std::copy(text, text + size, out);
    }
    // A fraction keeps a digit after the point: it lies at least one unit in the last place
    // from any integer, more than half a unit of its 17th digit.
    out = std::copy(text, text + decimal + 1, out);
    *out++ = '.';
    return std::copy(text + decimal + 1, text + size, out);
}
#else
char *seventeenDigits(char *, double)
{
    return nullptr;
}
#endif

// Payloads carry whole documents (base64, XML). The text is written as UTF-8 into one buffer;
// with a hash to feed, the buffer passes into it each time it is full, so the whole text is
// never held and the hash runs while it is written.
class CanonicalWriter
{
public:
    explicit CanonicalWriter(Sha256 *hash = nullptr, qsizetype capacity = 256)
        : m_hash(hash)
        , m_out(hash ? kChunkBytes : capacity, Qt::Uninitialized)
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
        char *end;
        if (v >= -kTwoPow63 && v < kTwoPow63 && double(qint64(v)) == v)
            end = std::to_chars(out, out + kLongest, qint64(v)).ptr;
        else if (!(end = seventeenDigits(out, v))) // to_chars rounds exactly like printf
            end = std::to_chars(out, out + kLongest, v, std::chars_format::general, 17).ptr;
        wrote(end);
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

    // Ends what was written into `room` at `end`.
    void wrote(char *end) { m_used = end - m_data; }
    qsizetype size() const { return m_used; }
    char *data() { return m_data; }
    void clear() { m_used = 0; }

    // One UTF-16 unit that is not a surrogate, as it stands in a string literal (at most six
    // bytes).
    static char *unit(char *out, char16_t u)
    {
        if (u < 0x80) {
            if (u >= 0x20 && u != u'"' && u != u'\\') {
                *out++ = char(u);
                return out;
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
        } else {
            *out++ = char(0xe0 | (u >> 12));
            *out++ = char(0x80 | ((u >> 6) & 0x3f));
            *out++ = char(0x80 | (u & 0x3f));
        }
        return out;
    }

    // A character beyond U+FFFF in UTF-8.
    static char *fourBytes(char *out, char32_t c)
    {
        *out++ = char(0xf0 | (c >> 18));
        *out++ = char(0x80 | ((c >> 12) & 0x3f));
        *out++ = char(0x80 | ((c >> 6) & 0x3f));
        *out++ = char(0x80 | (c & 0x3f));
        return out;
    }

private:
    static constexpr qsizetype kSliceUnits = 4096;
    static constexpr qsizetype kChunkBytes = 64 * 1024;

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
            if (!QChar::isSurrogate(u)) {
                out = unit(out, u);
            } else if (QChar::isHighSurrogate(u) && it != end && QChar::isLowSurrogate(*it)) {
                out = fourBytes(out, QChar::surrogateToUcs4(u, *it++));
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

// Reads a JSON text strictly and writes the canonical text of what it reads as it goes, so a
// task's payload is hashed from the server's bytes without building its objects first. It takes
// only what Qt's reader takes with the same meaning; on anything else (a key twice, a lone
// surrogate, a key that would need an escape, a number a double cannot hold, Qt's own leniencies
// such as "1." or "\x") it gives up, and the parsed object is hashed instead.
class CanonicalReader
{
public:
    explicit CanonicalReader(QByteArrayView text)
        : m_at(text.data())
        , m_end(text.data() + text.size())
    {}

    // The canonical text of the object under `key` in the object the whole text holds. The other
    // members are read just as strictly, into a writer that is cleared for each.
    bool member(QByteArrayView key, CanonicalWriter *found)
    {
        CanonicalWriter skipped;
        m_out = &skipped;
        bool seen = false;
        const auto member = [&] {
            skipped.clear();
            if (!string(true))
                return false;
            const bool wanted = QByteArrayView(skipped.data() + 1, skipped.size() - 2) == key;
            skipSpace();
            if (!take(':'))
                return false;
            skipSpace();
            if (wanted) {
                if (seen || m_at == m_end || *m_at != '{')
                    return false;
                seen = true;
                m_out = found;
            }
            const bool read = value();
            m_out = &skipped;
            return read;
        };
        skipSpace();
        if (m_at == m_end || *m_at != '{' || !items('}', member))
            return false;
        skipSpace();
        return seen && m_at == m_end;
    }

private:
    // Qt's reader refuses deeper texts too.
    static constexpr int kMaxDepth = 1024;
    // Integers of this many digits are doubles exactly, so they are written as they stand.
    static constexpr qsizetype kExactDigits = 15;

    // Where a member lies in the output: its key's quotation marks and the end of its value.
    struct Member
    {
        qsizetype key;
        qsizetype keyEnd;
        qsizetype end;
    };

    bool take(char c)
    {
        if (m_at == m_end || *m_at != c)
            return false;
        ++m_at;
        return true;
    }

    void skipSpace()
    {
        while (m_at != m_end && (*m_at == ' ' || *m_at == '\n' || *m_at == '\r' || *m_at == '\t'))
            ++m_at;
    }

    bool value()
    {
        if (m_at == m_end)
            return false;
        switch (*m_at) {
        case '{':
            return object();
        case '[':
            return array();
        case '"':
            return string(false);
        case 't':
            return literal("true", 4);
        case 'f':
            return literal("false", 5);
        case 'n':
            return literal("null", 4);
        default:
            return number();
        }
    }

    bool literal(const char *word, qsizetype size)
    {
        if (m_end - m_at < size || std::memcmp(m_at, word, size_t(size)) != 0)
            return false;
        m_at += size;
        m_out->put(word, size);
        return true;
    }

    bool array()
    {
        return items(']', [this] { return value(); });
    }

    // Members are written in the order they come; only an object whose keys come out of order
    // is rearranged at its end.
    bool object()
    {
        const qsizetype first = qsizetype(m_members.size());
        bool sorted = true;
        const auto member = [&] {
            Member member;
            member.key = m_out->size();
            if (!string(true))
                return false;
            member.keyEnd = m_out->size();
            skipSpace();
            if (!take(':'))
                return false;
            m_out->put(':');
            skipSpace();
            if (!value())
                return false;
            member.end = m_out->size();
            // A key equal to the one before is found as a duplicate by `reorder`.
            if (qsizetype(m_members.size()) != first)
                sorted = sorted && compareKeys(m_members.back(), member) < 0;
            m_members.push_back(member);
            return true;
        };
        if (!items('}', member) || (!sorted && !reorder(first)))
            return false;
        m_members.resize(size_t(first));
        return true;
    }

    // The elements of an array or the members of an object, each read by `read`, between the
    // opening bracket at hand and `close`.
    template<typename Read> bool items(char close, Read read)
    {
        if (++m_depth > kMaxDepth)
            return false;
        m_out->put(*m_at++);
        skipSpace();
        if (!take(close)) {
            for (bool first = true;; first = false) {
                if (!first)
                    m_out->put(',');
                if (!read())
                    return false;
                skipSpace();
                if (take(close))
                    break;
                if (!take(','))
                    return false;
                skipSpace();
            }
        }
        m_out->put(close);
        --m_depth;
        return true;
    }

    // Puts the members from `first` on in the order of their keys, in the bytes they hold.
    bool reorder(qsizetype first)
    {
        const auto begin = m_members.begin() + first;
        const qsizetype from = begin->key;
        const qsizetype to = m_members.back().end;
        std::sort(begin, m_members.end(),
                  [this](const Member &a, const Member &b) { return compareKeys(a, b) < 0; });
        if (std::adjacent_find(begin, m_members.end(), [this](const Member &a, const Member &b) {
                return compareKeys(a, b) == 0;
            }) != m_members.end())
            return false;
        m_moved.resize(to - from);
        std::memcpy(m_moved.data(), m_out->data() + from, size_t(to - from));
        char *out = m_out->data() + from;
        for (auto it = begin; it != m_members.end(); ++it) {
            if (it != begin)
                *out++ = ',';
            const qsizetype size = it->end - it->key;
            std::memcpy(out, m_moved.data() + (it->key - from), size_t(size));
            out += size;
        }
        return true;
    }

    // Keys hold no escapes (see `string`), so their UTF-8 bytes compare by code points; only a
    // character beyond U+FFFF (lead byte F0 to F4, a surrogate pair in UTF-16) sorts before
    // U+E000 to U+FFFF (lead byte EE, EF) by UTF-16 units. The bytes at the first difference are
    // both lead bytes or both continuation bytes.
    int compareKeys(const Member &a, const Member &b) const
    {
        const auto *x = reinterpret_cast<const uchar *>(m_out->data()) + a.key + 1;
        const auto *y = reinterpret_cast<const uchar *>(m_out->data()) + b.key + 1;
        const qsizetype xSize = a.keyEnd - a.key - 2;
        const qsizetype ySize = b.keyEnd - b.key - 2;
        const qsizetype common = std::min(xSize, ySize);
        const qsizetype at = std::mismatch(x, x + common, y).first - x;
        if (at == common)
            return xSize < ySize ? -1 : xSize > ySize ? 1 : 0;
        const auto rank = [](uchar c) { return c == 0xee || c == 0xef ? c + 0x10 : int(c); };
        return rank(x[at]) - rank(y[at]);
    }

    // A key must not hold what the canonical text escapes, so that keys compare by their bytes.
    bool string(bool key)
    {
        if (m_at == m_end || *m_at != '"')
            return false;
        // Everything up to a backslash or the closing quotation mark, the opening one included,
        // is copied as it stands once its UTF-8 is checked.
        const char *run = m_at++;
        for (;;) {
            if (m_end - m_at >= 8) {
                std::uint64_t bytes;
                std::memcpy(&bytes, m_at, sizeof bytes);
                const std::uint64_t stops = stopBytes(bytes);
                if (stops == 0) {
                    m_at += 8;
                    continue;
                }
                m_at += qCountTrailingZeroBits(stops) / 8;
            } else {
                while (m_at != m_end && isPlain(uchar(*m_at)))
                    ++m_at;
            }
            if (m_at == m_end)
                return false;
            if (uchar(*m_at) >= 0x80) {
                // Cyrillic letters, two bytes each, in a tight loop of their own.
                while (m_end - m_at >= 2 && uchar(*m_at) - 0xc2u <= 0xdfu - 0xc2u &&
                       (uchar(m_at[1]) & 0xc0) == 0x80)
                    m_at += 2;
                if (m_at != m_end && uchar(*m_at) >= 0x80) {
                    const qsizetype size = utf8Size(m_at, m_end);
                    if (size == 0)
                        return false;
                    m_at += size;
                }
                continue;
            }
            if (*m_at == '"') {
                ++m_at;
                m_out->put(run, m_at - run);
                return true;
            }
            m_out->put(run, m_at - run);
            if (*m_at != '\\' || !escape(key))
                return false;
            run = m_at;
        }
    }

    bool escape(bool key)
    {
        ++m_at;
        if (m_at == m_end)
            return false;
        char16_t u;
        switch (*m_at++) {
        case '"':
            u = u'"';
            break;
        case '\\':
            u = u'\\';
            break;
        case '/':
            u = u'/';
            break;
        case 'b':
            u = u'\b';
            break;
        case 'f':
            u = u'\f';
            break;
        case 'n':
            u = u'\n';
            break;
        case 'r':
            u = u'\r';
            break;
        case 't':
            u = u'\t';
            break;
        case 'u':
            if (!hex(&u))
                return false;
            break;
        default:
            return false;
        }
        if (QChar::isHighSurrogate(u)) {
            char16_t low;
            if (!take('\\') || !take('u') || !hex(&low) || !QChar::isLowSurrogate(low))
                return false;
            m_out->wrote(CanonicalWriter::fourBytes(m_out->room(4), QChar::surrogateToUcs4(u, low)));
            return true;
        }
        if (QChar::isLowSurrogate(u))
            return false;
        char *const at = m_out->room(6);
        char *const end = CanonicalWriter::unit(at, u);
        if (key && *at == '\\') // keys must compare by their bytes
            return false;
        m_out->wrote(end);
        return true;
    }

    // Four hexadecimal digits of a \u escape.
    bool hex(char16_t *u)
    {
        if (m_end - m_at < 4)
            return false;
        unsigned value = 0;
        const auto [end, error] = std::from_chars(m_at, m_at + 4, value, 16);
        if (error != std::errc() || end != m_at + 4)
            return false;
        m_at = end;
        *u = char16_t(value);
        return true;
    }

    // The length of the well-formed UTF-8 character at `at` (not ASCII), or 0: no overlong
    // forms, no surrogates, nothing beyond U+10FFFF.
    static qsizetype utf8Size(const char *at, const char *end)
    {
        const auto c = [at](int i) { return uchar(at[i]); };
        const auto continues = [&](int i) { return (c(i) & 0xc0) == 0x80; };
        const qsizetype left = end - at;
        const uchar lead = c(0);
        if (lead >= 0xc2 && lead <= 0xdf)
            return left >= 2 && continues(1) ? 2 : 0;
        if (lead >= 0xe0 && lead <= 0xef) {
            if (left < 3 || !continues(1) || !continues(2))
                return 0;
            if ((lead == 0xe0 && c(1) < 0xa0) || (lead == 0xed && c(1) > 0x9f))
                return 0;
            return 3;
        }
        if (lead >= 0xf0 && lead <= 0xf4) {
            if (left < 4 || !continues(1) || !continues(2) || !continues(3))
                return 0;
            if ((lead == 0xf0 && c(1) < 0x90) || (lead == 0xf4 && c(1) > 0x8f))
                return 0;
            return 4;
        }
        return 0;
    }

    static bool isPlain(uchar c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

    // The top bit of the first of eight bytes (in the machine's little-endian order) that does
    // not stand for itself in a string literal: beyond ASCII, below U+0020, a quotation mark, a
    // backslash. No borrow reaches it, so it is exact; bits after it may not be.
    static std::uint64_t stopBytes(std::uint64_t bytes)
    {
        constexpr std::uint64_t kOnes = 0x0101010101010101;
        constexpr std::uint64_t kHigh = 0x8080808080808080;
        const auto below = [](std::uint64_t x, std::uint64_t c) { return (x - c * kOnes) & kHigh; };
        const auto zero = [&](std::uint64_t x) { return below(x, 1) & ~x; };
        return (bytes & kHigh) | below(bytes, 0x20) | zero(bytes ^ ('"' * kOnes)) |
               zero(bytes ^ ('\\' * kOnes));
    }

    bool number()
    {
        const char *const start = m_at;
        const bool negative = take('-');
        const char *const digits = m_at;
        if (take('0')) {
        } else if (!skipDigits()) {
            return false;
        }
        const qsizetype integerDigits = m_at - digits;
        bool integer = true;
        if (take('.')) {
            integer = false;
            if (!skipDigits())
                return false;
        }
        if (take('e') || take('E')) {
            integer = false;
            if (!take('+'))
                take('-');
            if (!skipDigits())
                return false;
        }
        if (integer && integerDigits <= kExactDigits) {
            if (negative && *digits == '0') // -0 is the integer 0
                m_out->put('0');
            else
                m_out->put(start, m_at - start);
            return true;
        }
        double value;
        const auto [end, error] = std::from_chars(start, m_at, value);
        if (error != std::errc() || end != m_at)
            return false;
        m_out->number(value);
        return true;
    }

    bool skipDigits()
    {
        const char *const from = m_at;
        while (m_at != m_end && *m_at >= '0' && *m_at <= '9')
            ++m_at;
        return m_at != from;
    }

    const char *m_at;
    const char *const m_end;
    CanonicalWriter *m_out = nullptr;
    int m_depth = 0;
    std::vector<Member> m_members;
    QByteArray m_moved;
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

QString canonicalMemberSha256(QByteArrayView json, QByteArrayView key)
{
    // The canonical text is about as long as the text it is read from.
    CanonicalWriter canonical(nullptr, json.size());
    if (!CanonicalReader(json).member(key, &canonical))
        return {};
    Sha256 hash;
    hash.add(canonical.data(), canonical.size());
    return hash.hexResult();
}

} // namespace Orv
